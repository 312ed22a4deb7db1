// The job file's search on Windows: a search name that matches an ordinary
// file, never a device.
#include "base/failure.h"
#include "platform/win32/errors.h"
#include "platform/win32/files.h"
#include "platform/win32/long_path.h"
#include "platform/win32/names.h"
#include "platform/win32/support.h"
#include "platform/win32/system_calls.h"

namespace faxjob::win32 {

namespace {

// A path left in the device namespace, on no drive and no share: a pipe, a
// volume's GUID path, a device's own name.
bool InDeviceNamespaceOffDrive(const std::u16string& win32Path) {
  if (!win32Path.starts_with(u"\\\\.\\") && !win32Path.starts_with(u"\\\\?\\")) return false;
  return win32Path.size() < 7 || win32Path[5] != u':' || win32Path[6] != u'\\';
}

}  // namespace

bool OrdinaryFileMatches(const std::u16string& searchName) {
  // A device is no job file, whatever a search lists: the library would open it and wait on it.
  try {
    const std::u16string full = FullPathOf(searchName);
    if (NamesDevice(full) || InDeviceNamespaceOffDrive(Win32PathOf(full))) return false;
  } catch (const Failure& failure) {
    if (failure.code() != kBadFileName) throw;
    return false;  // a name that cannot be resolved names no file
  }
  WIN32_FIND_DATAW found;
  const UniqueFileSearch search(gSystem.FindFirstFileW(Wide(searchName), &found));
  if (!search) {
    switch (const DWORD error = GetLastError()) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_NO_MORE_FILES:
      case ERROR_INVALID_NAME:
      case ERROR_BAD_PATHNAME:
      case ERROR_DIRECTORY:
      case ERROR_FILENAME_EXCED_RANGE:
        return false;
      default:
        throw Failure(FailureCodeFor(error, kAccessRefused));
    }
  }
  constexpr DWORD kNotOrdinary =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  do {
    if ((found.dwFileAttributes & kNotOrdinary) == 0) return true;
  } while (gSystem.FindNextFileW(search.Get(), &found));
  return false;
}

}  // namespace faxjob::win32
