#include "platform/win32/long_path.h"

#include <algorithm>

namespace faxjob {

namespace {

constexpr std::u16string_view kExtendedPrefix = u"\\\\?\\";
constexpr std::u16string_view kExtendedUncPrefix = u"\\\\?\\UNC\\";
constexpr std::size_t kDevicePrefixSize = 4;  // `\\.\` or `\\?\`

bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// `X:\`, the start of a full path on a drive.
bool StartsWithDrive(std::u16string_view path) {
  return path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == u':' && path[2] == u'\\';
}

// `\\.\` or `\\?\`, or either without its last backslash.
bool InDeviceNamespace(std::u16string_view path) {
  return path.starts_with(u"\\\\") && path.size() >= 3 && (path[2] == u'.' || path[2] == u'?') &&
         (path.size() == 3 || path[3] == u'\\');
}

}  // namespace

std::u16string ExtendedLengthPathOf(std::u16string_view fullPath) {
  const std::u16string path(fullPath);
  if (StartsWithDrive(path)) return std::u16string(kExtendedPrefix) + path;
  const bool unc = path.starts_with(u"\\\\") && !InDeviceNamespace(path);
  return unc ? std::u16string(kExtendedUncPrefix) + path.substr(2) : path;
}

std::u16string Win32PathOf(std::u16string_view path) {
  if (path.starts_with(kExtendedUncPrefix)) {
    return u"\\\\" + std::u16string(path.substr(kExtendedUncPrefix.size()));
  }
  if (path.starts_with(kExtendedPrefix) && StartsWithDrive(path.substr(kExtendedPrefix.size()))) {
    return std::u16string(path.substr(kExtendedPrefix.size()));
  }
  return std::u16string(path);
}

bool IsDeviceNamespaceName(std::u16string_view path) {
  if (!InDeviceNamespace(path) || path.size() <= kDevicePrefixSize) return false;
  return path.find(u'\\', kDevicePrefixSize) == std::u16string_view::npos;
}

bool NamesStream(std::u16string_view fullPath) {
  std::u16string_view path = fullPath;
  if (path.starts_with(kExtendedUncPrefix)) {
    path.remove_prefix(kExtendedUncPrefix.size());
  } else if (InDeviceNamespace(path)) {
    path.remove_prefix(std::min(path.size(), kDevicePrefixSize));
  } else if (path.starts_with(u"\\\\")) {
    path.remove_prefix(2);
  }
  // The drive's own colon is the only one a path to a file may hold.
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':') path.remove_prefix(2);
  return path.find(u':') != std::u16string_view::npos;
}

}  // namespace faxjob
