#include "platform/posix/files.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/failure.h"
#include "platform/posix/errors.h"

namespace faxjob::posix {

namespace {

struct GlobTraits {
  using Type = glob_t*;
  static glob_t* Invalid() noexcept { return nullptr; }
  static bool Release(glob_t* matches) noexcept {
    globfree(matches);
    return true;
  }
};
using UniqueGlob = UniqueResource<GlobTraits>;

class PosixInputFile : public InputFile {
 public:
  PosixInputFile(UniqueDescriptor fd, Names& names) : fd_(std::move(fd)), names_(names) {}

  std::size_t Read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t got = read(fd_.Get(), buffer, size);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) ThrowErrno(kDeviceIoError);
    }
  }

  bool IsSameFileAs(const std::u16string& path) override {
    struct stat mine;
    struct stat other;
    return fstat(fd_.Get(), &mine) == 0 && stat(names_.Native(path).c_str(), &other) == 0 &&
           mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
  }

  void Close() override {
    if (!fd_.Close()) ThrowErrno(kDeviceIoError);
  }

 private:
  UniqueDescriptor fd_;
  Names& names_;
};

// The armed report's file tells the fault path what it holds at every moment.
class PosixOutputFile : public OutputFile {
 public:
  PosixOutputFile(UniqueDescriptor fd, fault_path::ReportWatch watch)
      : fd_(std::move(fd)), watch_(std::move(watch)) {}

  // POSIX has no removal on close that can be taken back: the file stays.
  bool marked() const override { return false; }
  void Keep() override {}
  ~PosixOutputFile() override {
    // Given up without a Close: what it holds is in doubt.
    watch_.Changing();
    fd_.Close();
    watch_.Closed(false);
  }

  void Write(const char* data, std::size_t size) override {
    watch_.Changing();
    while (size > 0) {
      const ssize_t written = write(fd_.Get(), data, size);
      if (written < 0) {
        if (errno == EINTR) continue;
        ThrowErrno(kDeviceIoError);
      }
      if (written == 0) throw Failure(kDiskFull);
      data += written;
      size -= static_cast<std::size_t>(written);
    }
    watch_.Written();
  }

  void Close() override {
    watch_.Changing();
    const bool closed = fd_.Close();
    const int error = errno;
    watch_.Closed(closed);
    if (!closed) throw Failure(FailureCodeFor(error, kDeviceIoError));
  }

 private:
  UniqueDescriptor fd_;
  fault_path::ReportWatch watch_;
};

}  // namespace

bool IsSameFile(const std::string& first, const std::string& second) {
  struct stat a;
  struct stat b;
  return stat(first.c_str(), &a) == 0 && stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

bool OrdinaryFileMatches(const std::string& searchName) {
  glob_t matches{};
  const int result = glob(searchName.c_str(), GLOB_NOESCAPE, nullptr, &matches);
  const UniqueGlob owner(&matches);
  if (result == GLOB_NOSPACE) throw Failure(kOutOfMemory);
  if (result != 0) return false;
  for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
    const std::string path = matches.gl_pathv[i];
    const std::size_t slash = path.rfind('/');
    const bool hidden = path[slash == std::string::npos ? 0 : slash + 1] == '.';
    struct stat status;
    if (!hidden && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) return true;
  }
  return false;
}

std::unique_ptr<InputFile> OpenInput(const std::string& path, Names& names) {
  UniqueDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) ThrowOpenError(path);
  return std::make_unique<PosixInputFile>(std::move(fd), names);
}

std::unique_ptr<OutputFile> OpenOutput(const std::string& path, int flags,
                                       fault_path::ReportWatch watch) {
  UniqueDescriptor fd(open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0666));
  if (!fd) {
    const int error = errno;
    watch.OpenFailed();
    errno = error;
    ThrowOpenError(path);
  }
  watch.Opened(fd.Get());
  return std::make_unique<PosixOutputFile>(std::move(fd), std::move(watch));
}

bool RemoveFile(const std::string& path) {
  if (unlink(path.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  ThrowErrno(kAccessRefused);
}

}  // namespace faxjob::posix
