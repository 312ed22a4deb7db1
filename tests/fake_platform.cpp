#include "fake_platform.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/sharing_retry.h"
#include "platform/win32/long_path.h"

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
    platform_.Call(closeEvent_.c_str());
  }
  FakePlatform& platform() const { return platform_; }
  const std::u16string& path() const { return path_; }
  // Renamed by handle: still open, under another name.
  void Rename(const std::u16string& path) {
    openSet_.erase(path_);
    path_ = path;
    openSet_.insert(path_);
  }

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
    platform.Call("Read");
    platform.WaitOutHold(entry_.path(), FakePlatform::Retried::kNetwork, kDeviceIoError);
    const std::string& content = content_;
    const std::size_t count =
        std::min({size, platform.readChunk, content.size() - std::min(offset_, content.size())});
    std::copy_n(content.data() + offset_, count, buffer);
    offset_ += count;
    return count;
  }

  bool IsSameFileAs(const std::u16string& path) override {
    entry_.platform().Call("IsSameFileAs");
    return entry_.platform().Reachable(path) == entry_.path();
  }

  void Close() override { entry_.Close(); }

 private:
  OpenFileEntry entry_;
  const std::string& content_;  // map nodes stay put while other files change
  std::size_t offset_ = 0;
};

// Like Windows: a file marked for removal goes when its handle is closed. A
// new file lies under a name of its own until Keep renames it onto `target_`.
class FakeOutputFile : public OutputFile {
 public:
  FakeOutputFile(FakePlatform& platform, std::u16string path, std::u16string target, bool marked,
                 bool isFaultReport)
      : entry_(platform, std::move(path), platform.openForWriting, "close-write"),
        target_(std::move(target)),
        isFaultReport_(isFaultReport),
        marked_(marked) {
    if (marked_) platform.markedFiles.insert(entry_.path());
    if (isFaultReport_ && !target_.empty()) platform.faultReportTemporary = entry_.path();
  }
  ~FakeOutputFile() override {
    if (!closed_) Tell(ReportStage::kInDoubt);
    RemoveIfMarked();
  }

  bool marked() const override { return marked_; }

  void Keep() override {
    FakePlatform& platform = entry_.platform();
    platform.Call("Keep");
    if (std::exchange(marked_, false)) platform.markedFiles.erase(entry_.path());
    if (target_.empty()) return Tell(ReportStage::kKept);
    // The rename onto the path is a call of its own, and meets another program's hold there;
    // where it fails, the file is marked again, to go when it is closed.
    try {
      platform.Call("RenameOntoPath");
      platform.WaitOutHold(target_);
    } catch (...) {
      marked_ = platform.markedFiles.insert(entry_.path()).second;
      throw;
    }
    platform.files[target_] = std::move(platform.files[entry_.path()]);
    platform.files.erase(entry_.path());
    entry_.Rename(target_);
    target_.clear();
    if (isFaultReport_) platform.faultReportTemporary.reset();
    Tell(ReportStage::kKept);
  }

  void Write(const char* data, std::size_t size) override {
    FakePlatform& platform = entry_.platform();
    Tell(ReportStage::kInDoubt);
    platform.Call("Write");
    // The share's moment of failure, as the report's path meets it.
    platform.WaitOutHold(target_.empty() ? entry_.path() : target_, FakePlatform::Retried::kNetwork,
                         kDeviceIoError);
    const std::size_t fits = std::min(size, platform.diskSpace);
    platform.files[entry_.path()].append(data, fits);
    platform.diskSpace -= fits;
    if (fits < size) throw Failure(kDiskFull);
    Tell(ReportStage::kOpen);
  }

  void Close() override {
    closed_ = true;
    Tell(ReportStage::kInDoubt);
    RemoveIfMarked();
    entry_.Close();
    Tell(ReportStage::kClosed);
  }

 private:
  // A kept report stays kept, whatever happens to its file.
  void Tell(ReportStage where) {
    ReportStage& stage = entry_.platform().faultReport;
    if (isFaultReport_ && stage != ReportStage::kKept) stage = where;
  }
  void RemoveIfMarked() {
    FakePlatform& platform = entry_.platform();
    if (marked_ && platform.markedFiles.erase(entry_.path()) != 0) {
      platform.files.erase(entry_.path());
    }
    if (isFaultReport_ && !target_.empty()) platform.faultReportTemporary.reset();
  }

  OpenFileEntry entry_;
  std::u16string target_;
  bool isFaultReport_;
  bool closed_ = false;
  bool marked_;
};

}  // namespace

FakePlatform::FakePlatform() { current = this; }
FakePlatform::~FakePlatform() { current = nullptr; }

bool FakePlatform::IsStep(std::string_view operation) {
  return operation == "MarkForRemoval" || operation == "RenameAside" ||
         operation == "CloseRemoved" || operation == "RemoveLeftovers";
}

void FakePlatform::Call(const char* operation) {
  calls.emplace_back(operation);
  const int number = static_cast<int>(calls.size());
  if (number == killCall) killOutcome = FilesLeftAtTheEnd();
  if (number == faultCall) faultOutcome = SimulateFault();
  if (IsStep(operation)) return;  // a moment in a call, which cannot fail by itself
  if (faults.atCall != 0 &&
      (number == faults.atCall || (faults.persistent && number > faults.atCall))) {
    ++faultsInjected;
    if (faults.foreign) throw std::runtime_error("not a failure");
    throw Failure(faults.code);
  }
}

std::u16string FakePlatform::FolderOf(const std::u16string& path) {
  const std::size_t slash = path.rfind(u'\\');
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

void FakePlatform::CheckFolder(const std::u16string& path) const {
  const std::u16string folder = FolderOf(path);
  if (!folder.empty() && folders.count(folder) == 0) throw Failure(kPathNotFound);
}

void FakePlatform::WaitOutHold(const std::u16string& path, Retried retried,
                               std::int32_t failureCode) {
  const int call = static_cast<int>(calls.size());
  const bool networkOnly = retried == Retried::kNetwork;  // a read or write, or a new name
  struct Outcome {
    std::uint32_t error = 0;
    std::uint32_t ntStatus = 0;
  };
  auto attempt = [&]() -> Outcome {
    for (Hold& hold : holds) {
      const bool network = sharing_retry::IsNetworkBlip(hold.error);
      if (hold.path == path && call >= hold.fromCall && hold.tries > 0 &&
          (network || !networkOnly)) {
        --hold.tries;
        return {hold.error, hold.ntStatus};
      }
    }
    return {};
  };
  const Outcome last = sharing_retry::WaitOut(
      attempt,
      [retried](Outcome failed) {
        return (retried != Retried::kNetwork &&
                sharing_retry::IsHeld(failed.error, failed.ntStatus)) ||
               (retried != Retried::kHolds && sharing_retry::IsNetworkBlip(failed.error));
      },
      [this](unsigned milliseconds) { waitsMs.push_back(milliseconds); });
  if (sharing_retry::IsNetworkBlip(last.error)) throw Failure(failureCode);
  // As the platform's table of errors says: a pending deletion is refused access.
  if (last.error == sharing_retry::kAccessDenied) throw Failure(kAccessRefused);
  if (last.error != 0) throw Failure(kHeldByAnotherProcess);
}

void FakePlatform::AddFile(const std::u16string& path, std::string content) {
  files[path] = std::move(content);
  for (std::u16string folder = FolderOf(path); !folder.empty(); folder = FolderOf(folder)) {
    folders.insert(folder);
  }
}

std::u16string FakePlatform::RawCommandLine() {
  Call("RawCommandLine");
  return commandLine;
}

std::u16string FakePlatform::FullPathOf(const std::u16string& path) {
  Call("FullPathOf");
  return ExtendedLengthPathOf(NormalisedPathOf(path, currentFolder));
}

namespace {

char16_t LowerAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; }

std::u16string LowerAscii(std::u16string_view text) {
  std::u16string lower(text);
  for (char16_t& c : lower) c = LowerAscii(c);
  return lower;
}

}  // namespace

bool FakeNamesDevice(std::u16string_view name) {
  name = name.substr(0, name.find(u'.'));
  while (!name.empty() && name.back() == u' ') name.remove_suffix(1);
  const std::u16string stem = LowerAscii(name);
  if (stem == u"con" || stem == u"prn" || stem == u"aux" || stem == u"nul") return true;
  return stem.size() == 4 && (stem.starts_with(u"com") || stem.starts_with(u"lpt")) &&
         stem[3] >= u'1' && stem[3] <= u'9';
}

std::u16string FakePlatform::NormalisedPathOf(const std::u16string& given,
                                              const std::u16string& folder) {
  if (given.starts_with(u"\\\\?\\") || given.starts_with(u"\\\\.\\")) return given;
  std::u16string path = given;
  std::replace(path.begin(), path.end(), u'/', u'\\');
  std::u16string root;
  std::u16string rest;
  const bool onDrive = path.size() >= 2 && path[1] == u':';
  if (path.starts_with(u"\\\\")) {  // \\server\share\rest
    const std::size_t share = path.find(u'\\', 2);
    const std::size_t end = share == std::u16string::npos ? share : path.find(u'\\', share + 1);
    root = path.substr(0, end);
    rest = end == std::u16string::npos ? u"" : path.substr(end);
  } else if (onDrive && path.size() >= 3 && path[2] == u'\\') {
    root = path.substr(0, 2);
    rest = path.substr(2);
  } else if (onDrive) {  // drive-relative: the current folder on that drive, or its root
    root = path.substr(0, 2);
    const bool here = LowerAscii(path[0]) == LowerAscii(folder[0]);
    rest = (here ? folder.substr(2) : u"") + u"\\" + path.substr(2);
  } else if (path.starts_with(u"\\")) {
    root = folder.substr(0, 2);
    rest = path;
  } else {
    root = folder.substr(0, 2);
    rest = folder.substr(2) + u"\\" + path;
  }
  std::vector<std::u16string> names;
  for (std::size_t start = 0; start <= rest.size();) {
    std::size_t end = rest.find(u'\\', start);
    if (end == std::u16string::npos) end = rest.size();
    const std::u16string name = rest.substr(start, end - start);
    if (name == u"..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != u".") {
      names.push_back(name);
    }
    start = end + 1;
  }
  const bool endsInFolder = !rest.empty() && rest.back() == u'\\';
  if (!names.empty() && !endsInFolder) {
    std::u16string& last = names.back();
    while (!last.empty() && (last.back() == u'.' || last.back() == u' ')) last.pop_back();
    if (FakeNamesDevice(last)) {
      std::u16string device = last.substr(0, last.find(u'.'));
      while (device.back() == u' ') device.pop_back();
      return u"\\\\.\\" + device;
    }
  }
  std::u16string full = root;
  for (const std::u16string& name : names) full += u"\\" + name;
  if (endsInFolder || names.empty()) full += u'\\';
  return full;
}

std::u16string FakePlatform::Resolve(const std::u16string& path) const {
  if (path.size() >= 2 && path[1] == u':') return path;
  if (path.starts_with(u"\\")) return currentFolder.substr(0, 2) + path;
  return currentFolder + u"\\" + path;
}

std::optional<std::u16string> FakePlatform::Reachable(const std::u16string& path) const {
  constexpr std::size_t kMaxPath = 260;
  std::u16string win32 = Win32PathOf(path);
  if (win32 == path && path.size() >= kMaxPath) return std::nullopt;
  // Like NTFS: the file's unnamed stream is the file itself.
  constexpr std::u16string_view kData = u"::$DATA";
  if (win32.size() > kData.size() &&
      LowerAscii(std::u16string_view(win32).substr(win32.size() - kData.size())) == u"::$data") {
    win32.resize(win32.size() - kData.size());
  }
  return win32;
}

std::u16string FakePlatform::Reach(const std::u16string& path) const {
  std::optional<std::u16string> reached = Reachable(path);
  if (!reached) throw Failure(kPathNotFound);
  return *std::move(reached);
}

bool FakePlatform::OrdinaryFileMatches(const std::u16string& searchName) {
  Call("OrdinaryFileMatches");
  // Windows may list a device like a file; it is never one.
  const std::u16string full = NormalisedPathOf(searchName, currentFolder);
  if (full.starts_with(u"\\\\.\\") || full.starts_with(u"\\\\?\\")) return false;
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

namespace {

bool FakeNarrowLacks(char16_t c) {
  return (c >= 0x80 && c < 0x3000) || (c >= 0xD800 && c <= 0xDFFF);
}

}  // namespace

std::string FakeNarrow(std::u16string_view text) {
  std::string bytes;
  for (const char16_t c : text) {
    if (c < 0x80) {
      bytes.push_back(static_cast<char>(c));
    } else if (c >= 0xFF61 && c <= 0xFF9F) {
      bytes.push_back(static_cast<char>(0xA1 + (c - 0xFF61)));
    } else if (FakeNarrowLacks(c)) {
      bytes.push_back('?');
    } else {
      bytes.push_back(static_cast<char>(0x88 + ((c >> 6) & 1)));
      bytes.push_back(static_cast<char>(0x40 + (c & 0x3F)));
    }
  }
  return bytes;
}

bool FakeNarrowHasAll(std::u16string_view text) {
  return std::none_of(text.begin(), text.end(), FakeNarrowLacks);
}

std::string FakePlatform::ToNarrow(std::u16string_view text) {
  Call("ToNarrow");
  return FakeNarrow(text);
}

std::string FakePlatform::ToNarrowExactly(std::u16string_view text) {
  Call("ToNarrowExactly");
  if (!FakeNarrowHasAll(text)) throw Failure(kBadFileName);
  return FakeNarrow(text);
}

std::u16string FakePlatform::FromNarrow(std::string_view bytes) {
  Call("FromNarrow");
  return std::u16string(bytes.begin(), bytes.end());
}

std::size_t FakePlatform::NarrowCharLength(unsigned char leadByte) {
  return (leadByte >= 0x81 && leadByte <= 0x9F) || (leadByte >= 0xE0 && leadByte <= 0xFC) ? 2 : 1;
}

// Showing a message box reports no failure on any platform, so it is never
// made to fail here.
void FakePlatform::ShowStopMessage(const std::u16string& text) { messages.push_back(text); }

void* FakePlatform::LoadEntryPoint(const std::u16string& fileName, const char* entryName) {
  Call("LoadEntryPoint");
  events.push_back("load " + Narrow8(fileName));
  switch (library) {
    case Library::kMissing:
      throw Failure(kFileNotFound);
    case Library::kNotLoadable:
      throw Failure(kLibraryLoadError);
    case Library::kNoEntryPoint:
      return nullptr;
    case Library::kPresent:
      break;
  }
  return std::string(entryName) == kSendPageIntEntryName ? reinterpret_cast<void*>(sendPageInt)
                                                         : nullptr;
}

bool FakePlatform::CanNeverCreate(const std::u16string& given) {
  Call("CanNeverCreate");
  const std::u16string name = given.substr(given.rfind(u'\\') + 1);
  if (name.empty() || name.find_first_of(u"<>|\"*?") != std::u16string::npos) return true;
  // What a path too long reaches is missing, as its attributes are.
  const std::optional<std::u16string> folder = Reachable(FolderOf(given));
  if (!folder || (!folder->empty() && folders.count(*folder) == 0)) return true;
  const std::u16string path = Reachable(given).value_or(u"");
  return folders.count(path) != 0 || readOnlyFiles.count(path) != 0 ||
         hiddenFiles.count(path) != 0 || systemFiles.count(path) != 0;
}

bool FakePlatform::NamesStream(const std::u16string& fullPath) {
  return faxjob::NamesStream(fullPath);
}

std::optional<std::u16string> FakePlatform::FileReachedBy(const std::u16string& given) const {
  std::optional<std::u16string> path =
      Reachable(ExtendedLengthPathOf(NormalisedPathOf(given, currentFolder)));
  if (!path) return std::nullopt;
  for (const auto& [name, file] : otherNames) {
    if (LowerAscii(name) == LowerAscii(*path)) path = file;
  }
  for (const auto& [file, content] : files) {
    if (LowerAscii(file) == LowerAscii(*path)) return file;
  }
  return std::nullopt;
}

bool FakePlatform::IsSameFile(const std::u16string& first, const std::u16string& second) {
  Call("IsSameFile");
  const std::optional<std::u16string> file = FileReachedBy(first);
  return file && file == FileReachedBy(second);
}

namespace {

// The lock file stays open for the whole turn, written to by nobody else and
// never removed, as on Windows.
class FakeFolderTurn : public FolderTurn {
 public:
  FakeFolderTurn(FakePlatform& platform, std::u16string folder, std::u16string lockFile)
      : platform_(platform), folder_(std::move(folder)), lockFile_(std::move(lockFile)) {
    platform_.openForWriting.insert(lockFile_);
    platform_.events.push_back("turn-take " + Narrow8(folder_));
  }
  ~FakeFolderTurn() override {
    platform_.openForWriting.erase(lockFile_);
    platform_.events.push_back("turn-give " + Narrow8(folder_));
  }

 private:
  FakePlatform& platform_;
  std::u16string folder_;
  std::u16string lockFile_;
};

}  // namespace

std::unique_ptr<FolderTurn> FakePlatform::TakeFolderTurn(const std::u16string& given) {
  Call("TakeFolderTurn");
  const std::u16string folder = Reach(given);
  std::u16string lockFile = given;
  if (!lockFile.empty() && lockFile.back() != u'\\') lockFile += u'\\';
  lockFile = Resolve(Reach(lockFile + std::u16string(kFolderTurnFileName)));
  CheckFolder(lockFile);
  if (folders.count(lockFile) != 0) throw Failure(kAccessRefused);
  files.try_emplace(lockFile);
  return std::make_unique<FakeFolderTurn>(*this, folder, lockFile);
}

std::unique_ptr<InputFile> FakePlatform::OpenForReading(const std::u16string& given) {
  Call("OpenForReading");
  const std::u16string path = Reach(given);
  CheckFolder(path);
  WaitOutHold(path, Retried::kHoldsAndNetwork);
  if (folders.count(path) != 0) throw Failure(kAccessRefused);
  if (files.count(path) == 0) throw Failure(kFileNotFound);
  // Like Windows: a file open for writing without read sharing cannot be opened.
  if (openForWriting.count(path) != 0) throw Failure(kHeldByAnotherProcess);
  openForReading.insert(path);
  events.push_back("open-read " + Narrow8(path));
  return std::make_unique<FakeInputFile>(*this, path);
}

// Like Windows: a new file is created under a name of its own, and only then
// marked for removal, in a call of its own. Where the mark is refused, the
// file is written unmarked under its path.
std::unique_ptr<OutputFile> FakePlatform::OpenForWriting(const std::u16string& given) {
  Call("OpenForWriting");
  const std::u16string path = Reach(given);
  CheckWritable(path);
  events.push_back("open-write " + Narrow8(path));
  if (deleteRefused.count(path) != 0) {
    WaitOutHold(path, Retried::kHoldsAndNetwork);
    files[path].clear();
    return OpenedOutput(path, std::u16string(), false);
  }
  // A name of its own meets no hold, but the share's moment of failure all the same.
  WaitOutHold(path, Retried::kNetwork);
  const std::u16string temporary = NewTemporaryName(path);
  files[temporary].clear();
  openForWriting.insert(temporary);
  Call("MarkForRemoval");
  return OpenedOutput(temporary, path, true);
}

std::unique_ptr<OutputFile> FakePlatform::OpenForAppending(const std::u16string& given) {
  Call("OpenForAppending");
  const std::u16string path = Reach(given);
  WaitOutHold(path, Retried::kHoldsAndNetwork);
  CheckWritable(path);
  if (files.count(path) == 0) throw Failure(kFileNotFound);
  events.push_back("open-append " + Narrow8(path));
  return OpenedOutput(path, std::u16string(), deleteRefused.count(path) == 0);
}

std::u16string FakePlatform::NewTemporaryName(const std::u16string& path) {
  const std::string number = std::to_string(++temporaries);
  return FolderOf(path) + u"\\" + std::u16string(kLeftoverPrefix) + u"1-" +
         std::u16string(number.begin(), number.end()) + std::u16string(kLeftoverSuffix);
}

bool FakePlatform::RemoveFile(const std::u16string& given) {
  Call("RemoveFile");
  const std::u16string path = Reach(given);
  CheckFolder(path);
  WaitOutHold(path);
  if (folders.count(path) != 0 || readOnlyFiles.count(path) != 0) throw Failure(kAccessRefused);
  if (files.count(path) == 0) return false;
  // Like Windows: the program never shares delete access to a file it has open.
  if (openForReading.count(path) != 0 || openForWriting.count(path) != 0) {
    throw Failure(kHeldByAnotherProcess);
  }
  // Like Windows: from here the file goes when the last handle to it is
  // closed; it is renamed aside, then closed, each a call of its own.
  events.push_back("remove " + Narrow8(path));
  markedFiles.insert(path);
  Call("RenameAside");
  const std::u16string aside = NewTemporaryName(path);
  files[aside] = std::move(files[path]);
  files.erase(path);
  markedFiles.erase(path);
  markedFiles.insert(aside);
  Call("CloseRemoved");
  files.erase(aside);
  markedFiles.erase(aside);
  return true;
}

void FakePlatform::RemoveLeftovers(const std::u16string& given) noexcept {
  try {
    Call("RemoveLeftovers");
    const std::u16string folder = Reach(given.empty() ? currentFolder + u"\\" : given);
    for (auto file = files.begin(); file != files.end();) {
      const std::u16string& path = file->first;
      const bool leftover = path.starts_with(folder + std::u16string(kLeftoverPrefix)) &&
                            path.ends_with(kLeftoverSuffix) &&
                            path.find(u'\\', folder.size()) == std::u16string::npos;
      const bool held = openForReading.count(path) != 0 || openForWriting.count(path) != 0 ||
                        markedFiles.count(path) != 0;
      file = leftover && !held ? files.erase(file) : std::next(file);
    }
  } catch (...) {
    // Raises nothing, as the platform's contract says: what stays, stays.
  }
}

// Like Windows: no writing to a folder or a read-only file, and no creating
// over a hidden or system file; no second open of a file the program holds
// open, since it never shares write access.
void FakePlatform::CheckWritable(const std::u16string& path) const {
  CheckFolder(path);
  if (folders.count(path) != 0 || readOnlyFiles.count(path) != 0 || hiddenFiles.count(path) != 0 ||
      systemFiles.count(path) != 0) {
    throw Failure(kAccessRefused);
  }
  if (openForReading.count(path) != 0 || openForWriting.count(path) != 0) {
    throw Failure(kHeldByAnotherProcess);
  }
}

std::unique_ptr<OutputFile> FakePlatform::OpenedOutput(const std::u16string& path,
                                                       const std::u16string& target, bool marked) {
  const std::u16string& report = target.empty() ? path : target;
  const bool isFaultReport = faultPath && faultPath->reportPath == report;
  if (isFaultReport) faultReport = ReportStage::kOpen;
  openForWriting.insert(path);
  return std::make_unique<FakeOutputFile>(*this, path, target, marked, isFaultReport);
}

void FakePlatform::ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) {
  Call("ArmFaultPath");
  // The report's NT path is made now; Windows' conversion fails where its open would.
  const std::optional<std::u16string> path = Reachable(reportPath);
  if (!path) throw Failure(kOutOfMemory);
  faultPath = FaultPath{*path, std::string(errorLine)};
  faultReport = ReportStage::kUntouched;
}

void FakePlatform::DisarmFaultPath(int status) {
  faultPath.reset();
  decidedEnd = status;
}

std::map<std::u16string, std::string> FakePlatform::FilesLeftAtTheEnd() const {
  std::map<std::u16string, std::string> left = files;
  for (const std::u16string& path : markedFiles) left.erase(path);
  return left;
}

FakePlatform::FaultOutcome FakePlatform::SimulateUnseenEnd(UnseenEnd route, int status) const {
  // At the detach, a report being opened stays in doubt: its thread has ended.
  if (route == UnseenEnd::kExitProcess && faultPath) return SimulateFault();
  return {status, FilesLeftAtTheEnd()};
}

FakePlatform::FaultOutcome FakePlatform::SimulateFault() const {
  FaultOutcome outcome{decidedEnd.value_or(2), FilesLeftAtTheEnd()};
  if (!faultPath) return outcome;
  const std::u16string& path = faultPath->reportPath;
  // The run's open report, still under a name of its own or under its path.
  const std::u16string runFile = faultReportTemporary.value_or(path);
  std::map<std::u16string, std::string>& left = outcome.files;
  const ErrorLine action = ErrorLineAt(faultReport);
  switch (action) {
    case ErrorLine::kLeave:
      outcome.status = keptReportStatus;
      return outcome;
    case ErrorLine::kRemove:
      left.erase(runFile);
      return outcome;
    case ErrorLine::kCreate:
    case ErrorLine::kAppendToClosed:
      // Opened again by the handler: refused as OpenForWriting would refuse it.
      try {
        CheckWritable(path);
      } catch (const Failure&) {
        return outcome;
      }
      if (action == ErrorLine::kAppendToClosed && files.count(path) == 0) return outcome;
      if (action == ErrorLine::kCreate) left[path].clear();
      break;
    case ErrorLine::kAppendToOpen:
      // The handler takes the run's file over, keeps it, and gives it its path's name.
      left.erase(runFile);
      left[path] = files.at(runFile);
      break;
  }
  const std::string& line = faultPath->errorLine;
  if (line.size() > diskSpace) {
    left.erase(path);
    return outcome;
  }
  left[path] += line;
  outcome.status = 1;
  return outcome;
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
