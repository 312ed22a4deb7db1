#include "platform/platform_posix.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <iconv.h>
#include <langinfo.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfenv>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/fault_path.h"
#include "platform/unique_resource.h"
#include "run/failure.h"

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

struct DescriptorTraits {
  using Type = int;
  static int Invalid() noexcept { return -1; }
  static bool Release(int fd) noexcept { return close(fd) == 0; }
};
using UniqueDescriptor = UniqueResource<DescriptorTraits>;

struct ConverterTraits {
  using Type = iconv_t;
  static iconv_t Invalid() noexcept { return reinterpret_cast<iconv_t>(-1); }
  static bool Release(iconv_t converter) noexcept { return iconv_close(converter) == 0; }
};
using UniqueConverter = UniqueResource<ConverterTraits>;

struct GlobTraits {
  using Type = glob_t*;
  static glob_t* Invalid() noexcept { return nullptr; }
  static bool Release(glob_t* matches) noexcept {
    globfree(matches);
    return true;
  }
};
using UniqueGlob = UniqueResource<GlobTraits>;

// Converts between the locale's character set and UTF-16 with iconv.
class Converter {
 public:
  Converter(const char* to, const char* from) : converter_(iconv_open(to, from)) {
    if (!converter_) throw Failure(kInternalError);
  }

  // Converts `input`; a unit the target lacks becomes `replacement`, or, with
  // none, ends the conversion with nothing.
  std::optional<std::string> Convert(const char* input, std::size_t size, std::size_t unitSize,
                                     std::optional<std::string_view> replacement) {
    std::string output;
    char block[4096];
    iconv(converter_.Get(), nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(input);
    std::size_t inLeft = size;
    while (inLeft > 0) {
      char* out = block;
      std::size_t outLeft = sizeof block;
      const std::size_t result = iconv(converter_.Get(), &in, &inLeft, &out, &outLeft);
      output.append(block, static_cast<std::size_t>(out - block));
      if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
        if (!replacement) return std::nullopt;
        output.append(*replacement);
        const std::size_t skip = std::min(unitSize, inLeft);
        in += skip;
        inLeft -= skip;
      }
    }
    return output;
  }

 private:
  UniqueConverter converter_;
};

// The byte length of the locale's character that starts with `lead`, found
// with the C library's own decoder: the shortest sequence it accepts.
std::size_t CharLengthStartingWith(std::string& prefix) {
  std::mbstate_t state{};
  wchar_t wide;
  const std::size_t result = std::mbrtowc(&wide, prefix.data(), prefix.size(), &state);
  if (result == prefix.size()) return result;
  if (result != static_cast<std::size_t>(-2) || prefix.size() == MB_LEN_MAX) return 0;
  for (int trail = 0xFE; trail >= 0x21; --trail) {
    prefix.push_back(static_cast<char>(trail));
    const std::size_t length = CharLengthStartingWith(prefix);
    prefix.pop_back();
    if (length != 0) return length;
  }
  return 0;
}

std::string NativePath(Converter& toNarrow, const std::u16string& path) {
  return *toNarrow.Convert(reinterpret_cast<const char*>(path.data()), path.size() * 2, 2, "?");
}

class PosixInputFile : public InputFile {
 public:
  PosixInputFile(UniqueDescriptor fd, Converter& toNarrow)
      : fd_(std::move(fd)), toNarrow_(toNarrow) {}

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
    return fstat(fd_.Get(), &mine) == 0 && stat(NativePath(toNarrow_, path).c_str(), &other) == 0 &&
           mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
  }

  void Close() override {
    if (!fd_.Close()) ThrowErrno(kDeviceIoError);
  }

 private:
  UniqueDescriptor fd_;
  Converter& toNarrow_;
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

// One byte of the folder's lock file, locked by its open file description
// (not by the process, whose other descriptors' closes would drop it). The
// kernel gives it back when the process ends.
class PosixFolderTurn : public FolderTurn {
 public:
  explicit PosixFolderTurn(UniqueDescriptor lockFile) : lockFile_(std::move(lockFile)) {}

 private:
  UniqueDescriptor lockFile_;
};

class PosixPlatform : public Platform {
 public:
  PosixPlatform(int argc, char** argv) {
    // An exception that escapes every handler ends the run at once, with the
    // status of a failure that no report records.
    std::set_terminate([] { _exit(fault_path::kNothingRecorded); });
    std::setlocale(LC_ALL, "");
    const char* codeSet = nl_langinfo(CODESET);
    toNarrow_.emplace(codeSet, "UTF-16LE");
    fromNarrow_.emplace("UTF-16LE", codeSet);
    for (int lead = 0; lead < 256; ++lead) {
      std::string prefix(1, static_cast<char>(lead));
      charLengths_[lead] =
          static_cast<unsigned char>(std::max<std::size_t>(1, CharLengthStartingWith(prefix)));
    }
    // The arguments arrive already split: joined with single spaces they give
    // the same command text whenever neither path holds a blank or a quote.
    commandLine_ = u"faxjob";
    for (int i = 1; i < argc; ++i) commandLine_ += u" " + PosixPlatform::FromNarrow(argv[i]);
  }

  std::u16string RawCommandLine() override { return commandLine_; }

  std::u16string FullPathOf(const std::u16string& path) override {
    if (path.starts_with(u'/')) return path;
    std::string folder(PATH_MAX, '\0');
    while (getcwd(folder.data(), folder.size()) == nullptr) {
      if (errno != ERANGE) ThrowErrno(kBadFileName);
      folder.resize(folder.size() * 2);
    }
    folder.resize(std::strlen(folder.c_str()));
    if (!folder.ends_with('/')) folder += '/';
    return FromNarrow(folder) + path;
  }

  char16_t FolderSeparator() override { return u'/'; }

  bool OrdinaryFileMatches(const std::u16string& searchName) override {
    glob_t matches{};
    const int result = glob(Native(searchName).c_str(), GLOB_NOESCAPE, nullptr, &matches);
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

  std::string ToNarrow(std::u16string_view text) override {
    return *toNarrow_->Convert(Bytes(text), text.size() * 2, 2, "?");
  }

  std::string ToNarrowExactly(std::u16string_view text) override {
    std::optional<std::string> narrow = toNarrow_->Convert(Bytes(text), text.size() * 2, 2, {});
    if (!narrow) throw Failure(kBadFileName);
    return *std::move(narrow);
  }

  std::u16string FromNarrow(std::string_view bytes) override {
    const std::string wide = *fromNarrow_->Convert(bytes.data(), bytes.size(), 1, "\xFD\xFF");
    return std::u16string(reinterpret_cast<const char16_t*>(wide.data()), wide.size() / 2);
  }

  std::size_t NarrowCharLength(unsigned char leadByte) override { return charLengths_[leadByte]; }

  void ShowStopMessage(const std::u16string& text) override {
    std::fprintf(stderr, "faxjob: %s\n", ToNarrow(text).c_str());
  }

  void* LoadEntryPoint(const std::u16string& fileName, const char* entryName) override {
    // ZRQINT32.DLL is built as libzrqint32.so here.
    std::string name = ToNarrow(fileName);
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

  void CallLibrary(void (*call)(void* context), void* context) override {
    fault_path::InstallHandler();
    std::fenv_t environment;
    const bool saved = std::fegetenv(&environment) == 0;
    call(context);
    if (saved) std::fesetenv(&environment);
  }

  bool CanNeverCreate(const std::u16string& path) override {
    const std::string native = Native(path);
    if (native.empty() || native.back() == '/') return true;
    struct stat status;
    if (stat(FolderOf(native).c_str(), &status) != 0) return errno == ENOENT || errno == ENOTDIR;
    if (!S_ISDIR(status.st_mode)) return true;
    if (stat(native.c_str(), &status) != 0) return false;
    return S_ISDIR(status.st_mode) || faccessat(AT_FDCWD, native.c_str(), W_OK, AT_EACCESS) != 0;
  }

  std::unique_ptr<FolderTurn> TakeFolderTurn(const std::u16string& folder) override {
    std::string path = Native(folder);
    if (!path.empty() && path.back() != '/') path += '/';
    path += Native(std::u16string(kFolderTurnFileName));
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

  std::unique_ptr<InputFile> OpenForReading(const std::u16string& path) override {
    const std::string native = Native(path);
    UniqueDescriptor fd(open(native.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) ThrowOpenError(native);
    return std::make_unique<PosixInputFile>(std::move(fd), *toNarrow_);
  }

  std::unique_ptr<OutputFile> OpenForWriting(const std::u16string& path) override {
    return OpenOutput(path, O_CREAT | O_TRUNC);
  }

  std::unique_ptr<OutputFile> OpenForAppending(const std::u16string& path) override {
    return OpenOutput(path, O_APPEND);
  }

  bool RemoveFile(const std::u16string& path) override {
    if (unlink(Native(path).c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    ThrowErrno(kAccessRefused);
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
  static const char* Bytes(std::u16string_view text) {
    return reinterpret_cast<const char*>(text.data());
  }

  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, int flags) {
    const std::string native = Native(path);
    fault_path::ReportWatch watch(faultReportPath_ == path);
    UniqueDescriptor fd(open(native.c_str(), O_WRONLY | O_CLOEXEC | flags, 0666));
    if (!fd) {
      const int error = errno;
      watch.OpenFailed();
      errno = error;
      ThrowOpenError(native);
    }
    watch.Opened(fd.Get());
    return std::make_unique<PosixOutputFile>(std::move(fd), std::move(watch));
  }

  std::string Native(const std::u16string& path) { return NativePath(*toNarrow_, path); }

  std::optional<Converter> toNarrow_;
  std::optional<Converter> fromNarrow_;
  unsigned char charLengths_[256];
  std::u16string commandLine_;
  std::optional<std::u16string> faultReportPath_;
};

}  // namespace

std::unique_ptr<Platform> CreatePosixPlatform(int argc, char** argv) {
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace faxjob
