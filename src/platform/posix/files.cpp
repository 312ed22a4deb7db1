#include "platform/posix/files.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <string_view>
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

unsigned gTemporaries = 0;  // names made by this process

std::string NewTemporaryName(const std::string& path) {
  return path.substr(0, path.rfind('/') + 1) + "~faxjob-" + std::to_string(getpid()) + "-" +
         std::to_string(++gTemporaries) + ".tmp";
}

// The armed report's file tells the fault path what it holds at every moment.
// A new file is written as a temporary file and renamed onto its path
// when it is kept: `path_` is empty when it lies under its path already.
class PosixOutputFile : public OutputFile {
 public:
  PosixOutputFile(UniqueDescriptor fd, std::string temporaryName, std::string path,
                  fault_path::ReportWatch watch)
      : fd_(std::move(fd)),
        temporaryName_(std::move(temporaryName)),
        path_(std::move(path)),
        watch_(std::move(watch)) {
    watch_.Opened(fd_.Get(), path_.empty() ? nullptr : temporaryName_.c_str());
  }

  // POSIX has no delete disposition that can be taken back: a temporary file
  // is deleted when it is given up, and one that a run ended from outside
  // leaves there is deleted by a later run (RemoveStaleTemporaryFiles).
  bool hasDeleteDisposition() const override { return false; }
  void Keep() override {
    watch_.Changing();
    watch_.Keeping();
    if (!path_.empty() && rename(temporaryName_.c_str(), path_.c_str()) != 0) {
      const int error = errno;
      watch_.Kept(false);
      errno = error;
      ThrowErrno(kAccessRefused);
    }
    path_.clear();
    watch_.Kept(true);
  }
  ~PosixOutputFile() override {
    // Given up without a Close: what it holds is in doubt.
    watch_.Changing();
    fd_.Close();
    if (!path_.empty()) unlink(temporaryName_.c_str());
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
    if (!path_.empty()) unlink(temporaryName_.c_str());  // closed without Keep
    watch_.Closed(closed);
    if (!closed) throw Failure(FailureCodeFor(error, kDeviceIoError));
  }

 private:
  UniqueDescriptor fd_;
  std::string temporaryName_;
  std::string path_;
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

std::unique_ptr<OutputFile> CreateOutput(const std::string& path, fault_path::ReportWatch watch) {
  std::string temporaryName;
  UniqueDescriptor fd;
  for (int taken = 1; !fd; ++taken) {
    temporaryName = NewTemporaryName(path);
    fd.Reset(open(temporaryName.c_str(), O_WRONLY | O_CLOEXEC | O_CREAT | O_EXCL, 0666));
    if (!fd && (errno != EEXIST || taken == 100)) {
      const int error = errno;
      watch.OpenFailed();
      errno = error;
      ThrowOpenError(path);
    }
  }
  return std::make_unique<PosixOutputFile>(std::move(fd), std::move(temporaryName), path,
                                           std::move(watch));
}

std::unique_ptr<OutputFile> AppendOutput(const std::string& path, fault_path::ReportWatch watch) {
  UniqueDescriptor fd(open(path.c_str(), O_WRONLY | O_CLOEXEC | O_APPEND));
  if (!fd) {
    const int error = errno;
    watch.OpenFailed();
    errno = error;
    ThrowOpenError(path);
  }
  return std::make_unique<PosixOutputFile>(std::move(fd), std::string(), std::string(),
                                           std::move(watch));
}

bool RemoveFile(const std::string& path) {
  if (unlink(path.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  ThrowErrno(kAccessRefused);
}

void RemoveStaleTemporaryFiles(const std::string& folder) noexcept {
  // No process here holds a file as Windows does: the names of processes
  // that have ended are what they left behind.
  glob_t matches{};
  if (glob((folder + "~faxjob-*.tmp").c_str(), GLOB_NOESCAPE, nullptr, &matches) != 0) return;
  const UniqueGlob owner(&matches);
  for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
    const std::string path = matches.gl_pathv[i];
    const std::size_t name = path.rfind('/') + 1;
    if (!IsTemporaryFileName(std::string_view(path).substr(name))) continue;
    const std::size_t number = name + kTemporaryFilePrefix.size();
    const long process = std::strtol(path.c_str() + number, nullptr, 10);
    if (process > 0 && kill(static_cast<pid_t>(process), 0) != 0 && errno == ESRCH) {
      unlink(path.c_str());
    }
  }
}

}  // namespace faxjob::posix
