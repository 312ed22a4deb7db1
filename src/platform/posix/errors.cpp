#include "platform/posix/errors.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/failure.h"

namespace faxjob::posix {

std::int32_t FailureCodeFor(int error, std::int32_t fallback) {
  switch (error) {
    case ENOENT:
      return kFileNotFound;
    case ENOTDIR:
      return kPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return kAccessRefused;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK:
      return kHeldByAnotherProcess;
    case ENAMETOOLONG:
    case EILSEQ:
      return kBadFileName;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return kDiskFull;
    case EIO:
      return kDeviceIoError;
    case ENOMEM:
      return kOutOfMemory;
    default:
      return fallback;
  }
}

[[noreturn]] void ThrowErrno(std::int32_t fallback) {
  throw Failure(FailureCodeFor(errno, fallback));
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A missing folder is told apart from a missing file, as Windows does.
[[noreturn]] void ThrowOpenError(const std::string& path) {
  const int error = errno;
  struct stat folder;
  if (error == ENOENT && stat(FolderOf(path).c_str(), &folder) != 0) throw Failure(kPathNotFound);
  throw Failure(FailureCodeFor(error, kAccessRefused));
}

}  // namespace faxjob::posix
