// The in-memory platform's names of files: full paths as Windows makes
// them, what a path reaches, the file search and file identity.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "platform/win32/long_path.h"

namespace faxjob::testing {

namespace {

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

}  // namespace

std::u16string FakeFiles::FullPathOf(const std::u16string& path) {
  platform_.Call("FullPathOf");
  return ExtendedLengthPathOf(NormalisedPathOf(path, platform_.world.currentFolder));
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
  const bool digit =
      stem.size() == 4 && ((stem[3] >= u'1' && stem[3] <= u'9') || stem[3] == u'\u00B9' ||
                           stem[3] == u'\u00B2' || stem[3] == u'\u00B3');
  return digit && (stem.starts_with(u"com") || stem.starts_with(u"lpt"));
}

std::u16string FakeFiles::NormalisedPathOf(const std::u16string& given,
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

std::u16string FakeFiles::Resolve(const std::u16string& path) const {
  if (path.size() >= 2 && path[1] == u':') return path;
  if (path.starts_with(u"\\")) return platform_.world.currentFolder.substr(0, 2) + path;
  return platform_.world.currentFolder + u"\\" + path;
}

std::optional<std::u16string> FakeFiles::Reachable(const std::u16string& path) const {
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

std::u16string FakeFiles::Reach(const std::u16string& path) const {
  std::optional<std::u16string> reached = Reachable(path);
  if (!reached) throw Failure(kPathNotFound);
  return *std::move(reached);
}

bool FakeFiles::OrdinaryFileMatches(const std::u16string& searchName) {
  platform_.Call("OrdinaryFileMatches");
  // Windows may list a device like a file; it is never one.
  const std::u16string full = NormalisedPathOf(searchName, platform_.world.currentFolder);
  if (full.starts_with(u"\\\\.\\") || full.starts_with(u"\\\\?\\")) return false;
  const std::u16string folder = FolderOf(searchName);
  const std::u16string pattern = folder.empty() && searchName.find(u'\\') == std::u16string::npos
                                     ? searchName
                                     : searchName.substr(searchName.rfind(u'\\') + 1);
  for (const auto& [path, content] : platform_.world.files) {
    if (FolderOf(path) != folder || platform_.world.hiddenFiles.count(path) != 0) continue;
    const std::u16string name = folder.empty() && path.find(u'\\') == std::u16string::npos
                                    ? path
                                    : path.substr(path.rfind(u'\\') + 1);
    if (Matches(pattern, name)) return true;
  }
  return false;
}

bool FakeFiles::CanNeverCreate(const std::u16string& given) {
  platform_.Call("CanNeverCreate");
  const std::u16string name = given.substr(given.rfind(u'\\') + 1);
  if (name.empty() || name.find_first_of(u"<>|\"*?") != std::u16string::npos) return true;
  // What a path too long reaches is missing, as its attributes are.
  const std::optional<std::u16string> folder = Reachable(FolderOf(given));
  if (!folder || (!folder->empty() && platform_.world.folders.count(*folder) == 0)) return true;
  const std::u16string path = Reachable(given).value_or(u"");
  return platform_.world.folders.count(path) != 0 ||
         platform_.world.readOnlyFiles.count(path) != 0 ||
         platform_.world.hiddenFiles.count(path) != 0 ||
         platform_.world.systemFiles.count(path) != 0;
}

bool FakeFiles::NamesStream(const std::u16string& fullPath) {
  return faxjob::NamesStream(fullPath);
}

std::optional<std::u16string> FakeFiles::FileReachedBy(const std::u16string& given) const {
  std::optional<std::u16string> path =
      Reachable(ExtendedLengthPathOf(NormalisedPathOf(given, platform_.world.currentFolder)));
  if (!path) return std::nullopt;
  // Without ids, files compare by their full paths: other names are not seen as the same file.
  for (const auto& [name, file] : platform_.world.otherNames) {
    if (!platform_.world.zeroFileIds && LowerAscii(name) == LowerAscii(*path)) path = file;
  }
  for (const auto& [file, content] : platform_.world.files) {
    if (LowerAscii(file) == LowerAscii(*path)) return file;
  }
  return std::nullopt;
}

bool FakeFiles::IsSameFile(const std::u16string& first, const std::u16string& second) {
  platform_.Call("IsSameFile");
  const std::optional<std::u16string> file = FileReachedBy(first);
  return file && file == FileReachedBy(second);
}

}  // namespace faxjob::testing
