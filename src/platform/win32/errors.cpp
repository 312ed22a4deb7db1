#include "platform/win32/errors.h"

#include "base/failure.h"

namespace faxjob::win32 {

std::int32_t FailureCodeFor(DWORD error, std::int32_t fallback) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_MOD_NOT_FOUND:
      return kFileNotFound;
    case ERROR_PATH_NOT_FOUND:
      return kPathNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return kAccessRefused;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return kHeldByAnotherProcess;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
    case ERROR_FILENAME_EXCED_RANGE:
      return kBadFileName;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return kDiskFull;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return kOutOfMemory;
    case ERROR_NOT_READY:
    case ERROR_CRC:
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
      return kDeviceIoError;
    case ERROR_BAD_EXE_FORMAT:
      return kLibraryLoadError;
    case ERROR_PROC_NOT_FOUND:
      return kEntryPointNotFound;
    default:
      return fallback;
  }
}

[[noreturn]] void ThrowLastError(std::int32_t fallback) {
  throw Failure(FailureCodeFor(GetLastError(), fallback));
}

}  // namespace faxjob::win32
