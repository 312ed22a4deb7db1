#include "platform/posix/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <utility>

#include "base/failure.h"
#include "platform/fault_path.h"
#include "platform/posix/errors.h"

namespace faxjob::posix {

namespace {

// One byte of the folder's lock file, locked by its open file description
// (not by the process, whose other descriptors' closes would drop it). The
// kernel gives it back when the process ends.
class PosixFolderTurn : public FolderTurn {
 public:
  explicit PosixFolderTurn(UniqueDescriptor lockFile) : lockFile_(std::move(lockFile)) {}

 private:
  UniqueDescriptor lockFile_;
};

}  // namespace

void PrepareProcess() {
  // An exception that escapes every handler ends the run at once, with the
  // status of a failure that no report records.
  std::set_terminate([] { _exit(fault_path::kNothingRecorded); });
}

void ShowStopMessage(const std::string& text) {
  // A message that cannot be written has nowhere else to go.
  (void)std::fprintf(stderr, "faxjob: %s\n", text.c_str());
}

void* LoadEntryPoint(std::string name, const char* entryName) {
  // ZRQINT32.DLL is built as libzrqint32.so here.
  if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".dll") == 0) {
    name.resize(name.size() - 4);
  }
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  name = "lib" + name + ".so";
  errno = 0;
  // Never closed: the library stays loaded until the process ends.
  void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) throw Failure(errno == ENOENT ? kFileNotFound : kLibraryLoadError);
  return dlsym(library, entryName);
}

std::unique_ptr<FolderTurn> TakeFolderTurn(const std::string& path) {
  // Unlike Windows, POSIX lets the file be removed while a run holds it; the
  // next run then locks a new one and does not wait.
  UniqueDescriptor lockFile(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!lockFile) {
    throw Failure(errno == ENOENT ? kPathNotFound : FailureCodeFor(errno, kAccessRefused));
  }
  struct flock turnByte {};
  turnByte.l_type = F_WRLCK;
  turnByte.l_whence = SEEK_SET;
  turnByte.l_len = 1;
  while (fcntl(lockFile.Get(), F_OFD_SETLKW, &turnByte) != 0) {
    if (errno != EINTR) ThrowErrno(kHeldByAnotherProcess);
  }
  return std::make_unique<PosixFolderTurn>(std::move(lockFile));
}

}  // namespace faxjob::posix
