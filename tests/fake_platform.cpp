#include "fake_platform.h"

#include <algorithm>

namespace faxjob::testing {

FakePlatform* FakePlatform::current = nullptr;

namespace {

std::string Narrow8(const std::u16string& text) { return Utf8(text); }

// Wildcard match of * and ? over whole names, case-insensitive for ASCII.
bool Matches(std::u16string_view pattern, std::u16string_view name) {
  if (pattern.empty()) return name.empty();
  if (pattern.front() == u'*') {
    for (std::size_t skip = 0; skip <= name.size(); ++skip) {
      if (Matches(pattern.substr(1), name.substr(skip))) return true;
    }
    return false;
  }
  if (name.empty()) return false;
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
  if (pattern.front() != u'?' && lower(pattern.front()) != lower(name.front())) return false;
  return Matches(pattern.substr(1), name.substr(1));
}

// An open file's place in the fake's bookkeeping; closed at most once.
class OpenFileEntry {
 public:
  OpenFileEntry(FakePlatform& platform, std::u16string path, std::set<std::u16string>& openSet,
                std::string closeEvent)
      : platform_(platform),
        path_(std::move(path)),
        openSet_(openSet),
        closeEvent_(std::move(closeEvent)) {}
  OpenFileEntry(const OpenFileEntry&) = delete;
  OpenFileEntry& operator=(const OpenFileEntry&) = delete;
  ~OpenFileEntry() { Release(); }

  // Closing gives the handle up even when the call then fails, as on Windows.
  void Close() {
    Release();
    platform_.Call();
  }
  FakePlatform& platform() const { return platform_; }
  const std::u16string& path() const { return path_; }

 private:
  void Release() {
    if (open_) {
      open_ = false;
      openSet_.erase(path_);
      platform_.events.push_back(closeEvent_ + " " + Narrow8(path_));
    }
  }

  FakePlatform& platform_;
  std::u16string path_;
  std::set<std::u16string>& openSet_;
  std::string closeEvent_;
  bool open_ = true;
};

class FakeInputFile : public InputFile {
 public:
  FakeInputFile(FakePlatform& platform, std::u16string path)
      : entry_(platform, std::move(path), platform.openForReading, "close-read"),
        content_(platform.files.at(entry_.path())) {}

  std::size_t Read(char* buffer, std::size_t size) override {
    FakePlatform& platform = entry_.platform();
    platform.Call();
    const std::string& content = content_;
    const std::size_t count =
        std::min({size, platform.readChunk, content.size() - std::min(offset_, content.size())});
    std::copy_n(content.data() + offset_, count, buffer);
    offset_ += count;
    return count;
  }

  bool IsSameFileAs(const std::u16string& path) override {
    entry_.platform().Call();
    return path == entry_.path();
  }

  void Close() override { entry_.Close(); }

 private:
  OpenFileEntry entry_;
  const std::string& content_;  // map nodes stay put while other files change
  std::size_t offset_ = 0;
};

class FakeOutputFile : public OutputFile {
 public:
  FakeOutputFile(FakePlatform& platform, std::u16string path, bool isFaultReport)
      : entry_(platform, std::move(path), platform.openForWriting, "close-write"),
        isFaultReport_(isFaultReport) {}
  ~FakeOutputFile() override {
    if (!closed_) Tell(FakePlatform::FaultReport::kInDoubt);
  }

  void Write(const char* data, std::size_t size) override {
    FakePlatform& platform = entry_.platform();
    Tell(FakePlatform::FaultReport::kInDoubt);
    platform.Call();
    const std::size_t fits = std::min(size, platform.diskSpace);
    platform.files[entry_.path()].append(data, fits);
    platform.diskSpace -= fits;
    if (fits < size) throw Failure(kDiskFull);
    Tell(FakePlatform::FaultReport::kOpen);
  }

  void Close() override {
    closed_ = true;
    Tell(FakePlatform::FaultReport::kInDoubt);
    entry_.Close();
    Tell(FakePlatform::FaultReport::kClosed);
  }

 private:
  void Tell(FakePlatform::FaultReport where) {
    if (isFaultReport_) entry_.platform().faultReport = where;
  }

  OpenFileEntry entry_;
  bool isFaultReport_;
  bool closed_ = false;
};

class FakeLibrary : public DynamicLibrary {
 public:
  FakeLibrary(FakePlatform& platform, bool hasEntry) : platform_(platform), hasEntry_(hasEntry) {}
  void* EntryPoint(const char* name) override {
    platform_.Call();
    if (!hasEntry_ || std::string(name) != kSendPageIntEntryName) return nullptr;
    return reinterpret_cast<void*>(platform_.sendPageInt);
  }

 private:
  FakePlatform& platform_;
  bool hasEntry_;
};

}  // namespace

FakePlatform::FakePlatform() { current = this; }
FakePlatform::~FakePlatform() { current = nullptr; }

void FakePlatform::Call() {
  if (++calls == faultCall) {
    const int status = SimulateFault();
    faultOutcome = FaultOutcome{status, files};
  }
  if (calls == failCall) throw Failure(failCode);
}

std::u16string FakePlatform::FolderOf(const std::u16string& path) {
  const std::size_t slash = path.rfind(u'\\');
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

void FakePlatform::CheckFolder(const std::u16string& path) const {
  const std::u16string folder = FolderOf(path);
  if (!folder.empty() && folders.count(folder) == 0) throw Failure(kPathNotFound);
}

void FakePlatform::AddFile(const std::u16string& path, std::string content) {
  files[path] = std::move(content);
  for (std::u16string folder = FolderOf(path); !folder.empty(); folder = FolderOf(folder)) {
    folders.insert(folder);
  }
}

std::u16string FakePlatform::RawCommandLine() {
  Call();
  return commandLine;
}

bool FakePlatform::OrdinaryFileMatches(const std::u16string& searchName) {
  Call();
  const std::u16string folder = FolderOf(searchName);
  const std::u16string pattern = folder.empty() && searchName.find(u'\\') == std::u16string::npos
                                     ? searchName
                                     : searchName.substr(searchName.rfind(u'\\') + 1);
  for (const auto& [path, content] : files) {
    if (FolderOf(path) != folder || hiddenFiles.count(path) != 0) continue;
    const std::u16string name = folder.empty() && path.find(u'\\') == std::u16string::npos
                                    ? path
                                    : path.substr(path.rfind(u'\\') + 1);
    if (Matches(pattern, name)) return true;
  }
  return false;
}

std::string FakeNarrow(std::u16string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < 0x80) {
      bytes.push_back(static_cast<char>(c));
    } else if (c >= 0xFF61 && c <= 0xFF9F) {
      bytes.push_back(static_cast<char>(0xA1 + (c - 0xFF61)));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      bytes.push_back('?');
      if (c < 0xDC00 && i + 1 < text.size()) ++i;  // the pair's second half
    } else {
      bytes.push_back(static_cast<char>(0x88 + ((c >> 6) & 1)));
      bytes.push_back(static_cast<char>(0x40 + (c & 0x3F)));
    }
  }
  return bytes;
}

std::string FakePlatform::ToNarrow(std::u16string_view text) {
  Call();
  return FakeNarrow(text);
}

std::u16string FakePlatform::FromNarrow(std::string_view bytes) {
  Call();
  return std::u16string(bytes.begin(), bytes.end());
}

std::size_t FakePlatform::NarrowCharLength(unsigned char leadByte) {
  return (leadByte >= 0x81 && leadByte <= 0x9F) || (leadByte >= 0xE0 && leadByte <= 0xFC) ? 2 : 1;
}

// Showing a message box reports no failure on any platform, so it is never
// made to fail here.
void FakePlatform::ShowStopMessage(const std::u16string& text) { messages.push_back(text); }

std::unique_ptr<DynamicLibrary> FakePlatform::OpenLibrary(const std::u16string& fileName) {
  Call();
  ++libraryLoads;
  events.push_back("load " + Narrow8(fileName));
  switch (library) {
    case Library::kMissing:
      throw Failure(kFileNotFound);
    case Library::kNotLoadable:
      throw Failure(kLibraryLoadError);
    case Library::kNoEntryPoint:
      return std::make_unique<FakeLibrary>(*this, false);
    case Library::kPresent:
      break;
  }
  return std::make_unique<FakeLibrary>(*this, true);
}

std::unique_ptr<InputFile> FakePlatform::OpenForReading(const std::u16string& path) {
  Call();
  CheckFolder(path);
  if (files.count(path) == 0)
    throw Failure(folders.count(path) ? kPathFileAccessError : kFileNotFound);
  if (openForWriting.count(path) != 0) throw Failure(kPermissionDenied);
  openForReading.insert(path);
  events.push_back("open-read " + Narrow8(path));
  return std::make_unique<FakeInputFile>(*this, path);
}

std::unique_ptr<OutputFile> FakePlatform::OpenForWriting(const std::u16string& path) {
  Call();
  CheckFolder(path);
  if (folders.count(path) != 0) throw Failure(kPathFileAccessError);
  // Like Windows: a file open for reading without write sharing cannot be opened.
  if (openForReading.count(path) != 0 || openForWriting.count(path) != 0) {
    throw Failure(kPermissionDenied);
  }
  files[path].clear();
  openForWriting.insert(path);
  events.push_back("open-write " + Narrow8(path));
  const bool isFaultReport = faultPath && faultPath->reportPath == path;
  if (isFaultReport) faultReport = FaultReport::kOpen;
  return std::make_unique<FakeOutputFile>(*this, path, isFaultReport);
}

void FakePlatform::RemoveFile(const std::u16string& path) {
  Call();
  if (files.erase(path) == 0) throw Failure(kFileNotFound);
  events.push_back("remove " + Narrow8(path));
}

void FakePlatform::ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) {
  Call();
  faultPath = FaultPath{reportPath, std::string(errorLine)};
  faultReport = FaultReport::kUntouched;
}

void FakePlatform::DisarmFaultPath() { faultPath.reset(); }

int FakePlatform::SimulateFault() {
  if (!faultPath) return 2;
  const std::u16string& path = faultPath->reportPath;
  switch (faultReport) {
    case FaultReport::kInDoubt:
      files.erase(path);
      return 2;
    case FaultReport::kUntouched: {
      // Created or emptied unless OpenForWriting would fail.
      const std::u16string folder = FolderOf(path);
      if ((!folder.empty() && folders.count(folder) == 0) || folders.count(path) != 0 ||
          openForReading.count(path) != 0) {
        return 2;
      }
      files[path].clear();
      break;
    }
    case FaultReport::kClosed:
      if (files.count(path) == 0 || openForReading.count(path) != 0) return 2;
      break;
    case FaultReport::kOpen:
      break;
  }
  const std::string& line = faultPath->errorLine;
  if (line.size() > diskSpace) {
    files.erase(path);
    return 2;
  }
  files[path] += line;
  diskSpace -= line.size();
  return 1;
}

std::string Utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace faxjob::testing
