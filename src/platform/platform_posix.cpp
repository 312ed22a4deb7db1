#include "platform/platform_posix.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/failure.h"
#include "platform/fault_path.h"

namespace faxjob {

namespace {

// The one table that turns errno values into failure codes.
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
      return kPathFileAccessError;
    case EBUSY:
    case ETXTBSY:
      return kPermissionDenied;
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

// A missing folder is told apart from a missing file, as Windows does.
[[noreturn]] void ThrowOpenError(int error, const std::string& path) {
  if (error == ENOENT) {
    const std::size_t slash = path.rfind('/');
    struct stat folder;
    if (slash != std::string::npos && slash > 0 &&
        stat(path.substr(0, slash).c_str(), &folder) != 0) {
      throw Failure(kPathNotFound);
    }
  }
  throw Failure(FailureCodeFor(error, kPathFileAccessError));
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { Close(); }

  int get() const { return fd_; }
  bool Close() {
    if (fd_ < 0) return true;
    return close(std::exchange(fd_, -1)) == 0;
  }

 private:
  int fd_;
};

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) throw Failure(kInternalError);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  ~Converter() { iconv_close(cd_); }

  // Converts `input`; a unit the target lacks becomes `replacement`.
  std::string Convert(const char* input, std::size_t size, std::size_t unitSize,
                      std::string_view replacement) {
    std::string output;
    char block[4096];
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(input);
    std::size_t inLeft = size;
    while (inLeft > 0) {
      char* out = block;
      std::size_t outLeft = sizeof block;
      const std::size_t result = iconv(cd_, &in, &inLeft, &out, &outLeft);
      output.append(block, static_cast<std::size_t>(out - block));
      if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
        output.append(replacement);
        const std::size_t skip = std::min(unitSize, inLeft);
        in += skip;
        inLeft -= skip;
      }
    }
    return output;
  }

 private:
  iconv_t cd_;
};

std::string ToNarrowWith(Converter& toNarrow, std::u16string_view text) {
  return toNarrow.Convert(reinterpret_cast<const char*>(text.data()), text.size() * 2, 2, "?");
}

std::string NativePath(Converter& toNarrow, std::u16string_view path) {
  std::string native = ToNarrowWith(toNarrow, path);
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

class PosixInputFile : public InputFile {
 public:
  PosixInputFile(int fd, Converter& toNarrow) : fd_(fd), toNarrow_(toNarrow) {}

  std::size_t Read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t got = read(fd_.get(), buffer, size);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throw Failure(FailureCodeFor(errno, kDeviceIoError));
    }
  }

  bool IsSameFileAs(const std::u16string& path) override {
    struct stat mine;
    struct stat other;
    return fstat(fd_.get(), &mine) == 0 && stat(NativePath(toNarrow_, path).c_str(), &other) == 0 &&
           mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
  }

  void Close() override {
    if (!fd_.Close()) throw Failure(FailureCodeFor(errno, kDeviceIoError));
  }

 private:
  Descriptor fd_;
  Converter& toNarrow_;
};

// The armed report's file tells the fault path what it holds at every moment.
class PosixOutputFile : public OutputFile {
 public:
  PosixOutputFile(int fd, bool isFaultReport) : fd_(fd), isFaultReport_(isFaultReport) {}
  ~PosixOutputFile() override {
    if (isFaultReport_) {
      fault_path::gReport.Changing();
      fd_.Close();
      fault_path::gReport.Closed(false);
    }
  }

  void Write(const char* data, std::size_t size) override {
    if (isFaultReport_) fault_path::gReport.Changing();
    while (size > 0) {
      const ssize_t written = write(fd_.get(), data, size);
      if (written < 0) {
        if (errno == EINTR) continue;
        throw Failure(FailureCodeFor(errno, kDeviceIoError));
      }
      if (written == 0) throw Failure(kDiskFull);
      data += written;
      size -= static_cast<std::size_t>(written);
    }
    if (isFaultReport_) fault_path::gReport.Written();
  }

  void Close() override {
    const bool isFaultReport = std::exchange(isFaultReport_, false);
    if (isFaultReport) fault_path::gReport.Changing();
    const bool closed = fd_.Close();
    const int error = errno;
    if (isFaultReport) fault_path::gReport.Closed(closed);
    if (!closed) throw Failure(FailureCodeFor(error, kDeviceIoError));
  }

 private:
  Descriptor fd_;
  bool isFaultReport_;
};

class PosixLibrary : public DynamicLibrary {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  PosixLibrary(const PosixLibrary&) = delete;
  PosixLibrary& operator=(const PosixLibrary&) = delete;
  ~PosixLibrary() override { dlclose(handle_); }

  void* EntryPoint(const char* name) override { return dlsym(handle_, name); }

 private:
  void* handle_;
};

class PosixPlatform : public Platform {
 public:
  PosixPlatform(int argc, char** argv) {
    setlocale(LC_ALL, "");
    codeSet_ = nl_langinfo(CODESET);
    toNarrow_ = std::make_unique<Converter>(codeSet_.c_str(), "UTF-16LE");
    fromNarrow_ = std::make_unique<Converter>("UTF-16LE", codeSet_.c_str());
    // The arguments arrive already split: joined with single spaces they give
    // the same command text whenever neither path holds a blank or a quote.
    commandLine_ = u"faxjob";
    for (int i = 1; i < argc; ++i) commandLine_ += u" " + PosixPlatform::FromNarrow(argv[i]);
  }

  std::u16string RawCommandLine() override { return commandLine_; }

  bool OrdinaryFileMatches(const std::u16string& searchName) override {
    glob_t matches{};
    const int result = glob(Native(searchName).c_str(), GLOB_NOESCAPE, nullptr, &matches);
    struct GlobFreer {
      glob_t* matches;
      ~GlobFreer() { globfree(matches); }
    } freer{&matches};
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

  std::string ToNarrow(std::u16string_view text) override { return ToNarrowWith(*toNarrow_, text); }

  std::u16string FromNarrow(std::string_view bytes) override {
    const std::string wide = fromNarrow_->Convert(bytes.data(), bytes.size(), 1, "\xFD\xFF");
    return std::u16string(reinterpret_cast<const char16_t*>(wide.data()), wide.size() / 2);
  }

  std::size_t NarrowCharLength(unsigned char leadByte) override {
    if (codeSet_ == "UTF-8") {
      if (leadByte >= 0xF0) return 4;
      if (leadByte >= 0xE0) return 3;
      if (leadByte >= 0xC0) return 2;
      return 1;
    }
    if (codeSet_ == "SHIFT_JIS" || codeSet_ == "CP932" || codeSet_ == "SHIFT-JIS") {
      return (leadByte >= 0x81 && leadByte <= 0x9F) || (leadByte >= 0xE0 && leadByte <= 0xFC) ? 2
                                                                                              : 1;
    }
    return 1;
  }

  void ShowStopMessage(const std::u16string& text) override {
    std::fprintf(stderr, "faxjob: %s\n", ToNarrow(text).c_str());
  }

  std::unique_ptr<DynamicLibrary> OpenLibrary(const std::u16string& fileName) override {
    // ZRQINT32.DLL is built as libzrqint32.so here.
    std::string name = ToNarrow(fileName);
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".dll") == 0) {
      name.resize(name.size() - 4);
    }
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    name = "lib" + name + ".so";
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* reason = dlerror();
      const bool missing = reason != nullptr && std::strstr(reason, "No such file") != nullptr;
      throw Failure(missing ? kFileNotFound : kLibraryLoadError);
    }
    return std::make_unique<PosixLibrary>(handle);
  }

  std::unique_ptr<InputFile> OpenForReading(const std::u16string& path) override {
    const std::string native = Native(path);
    const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ThrowOpenError(errno, native);
    return std::make_unique<PosixInputFile>(fd, *toNarrow_);
  }

  std::unique_ptr<OutputFile> OpenForWriting(const std::u16string& path) override {
    const std::string native = Native(path);
    const bool isFaultReport = faultReportPath_ == path;
    const fault_path::Report before =
        isFaultReport ? fault_path::gReport.Opening() : fault_path::Report::kUntouched;
    const int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
      const int error = errno;
      if (isFaultReport) fault_path::gReport.OpenFailed(before);
      ThrowOpenError(error, native);
    }
    if (isFaultReport) fault_path::gReport.Opened(fd);
    return std::make_unique<PosixOutputFile>(fd, isFaultReport);
  }

  void RemoveFile(const std::u16string& path) override {
    if (unlink(Native(path).c_str()) != 0)
      throw Failure(FailureCodeFor(errno, kPathFileAccessError));
  }

  void ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) override {
    fault_path::Arm(Native(reportPath), errorLine);
    faultReportPath_ = reportPath;
  }

  void DisarmFaultPath() override {
    fault_path::Disarm();
    faultReportPath_.reset();
  }

 private:
  std::string Native(const std::u16string& path) { return NativePath(*toNarrow_, path); }

  std::string codeSet_;
  std::unique_ptr<Converter> toNarrow_;
  std::unique_ptr<Converter> fromNarrow_;
  std::u16string commandLine_;
  std::optional<std::u16string> faultReportPath_;
};

}  // namespace

std::unique_ptr<Platform> CreatePosixPlatform(int argc, char** argv) {
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace faxjob
