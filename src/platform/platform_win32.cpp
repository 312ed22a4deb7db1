#include "platform/platform_win32.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "platform/failure.h"

namespace faxjob {

namespace {

// The one table that turns Windows error numbers into failure codes.
std::int32_t FailureCodeFor(DWORD error, std::int32_t fallback) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_MOD_NOT_FOUND:
      return kFileNotFound;
    case ERROR_PATH_NOT_FOUND:
      return kPathNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return kPathFileAccessError;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return kPermissionDenied;
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

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  // False when CloseHandle fails; the handle is gone either way.
  bool Close() {
    if (!valid()) return true;
    return CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE)) != 0;
  }

 private:
  HANDLE handle_;
};

bool SameFileIdentity(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION first;
  BY_HANDLE_FILE_INFORMATION second;
  if (!GetFileInformationByHandle(a, &first) || !GetFileInformationByHandle(b, &second)) {
    return false;
  }
  return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

class Win32InputFile : public InputFile {
 public:
  explicit Win32InputFile(HANDLE handle) : handle_(handle) {}

  std::size_t Read(char* buffer, std::size_t size) override {
    DWORD read = 0;
    if (!ReadFile(handle_.get(), buffer, static_cast<DWORD>(size), &read, nullptr)) {
      ThrowLastError(kDeviceIoError);
    }
    return read;
  }

  bool IsSameFileAs(const std::u16string& path) override {
    Handle other(CreateFileW(Wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return other.valid() && SameFileIdentity(handle_.get(), other.get());
  }

  void Close() override {
    if (!handle_.Close()) ThrowLastError(kDeviceIoError);
  }

 private:
  Handle handle_;
};

class Win32OutputFile : public OutputFile {
 public:
  explicit Win32OutputFile(HANDLE handle) : handle_(handle) {}

  void Write(const char* data, std::size_t size) override {
    while (size > 0) {
      const DWORD chunk = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
      DWORD written = 0;
      if (!WriteFile(handle_.get(), data, chunk, &written, nullptr)) ThrowLastError(kDeviceIoError);
      // A full disk may report success with fewer bytes, or none, written.
      if (written == 0) throw Failure(kDiskFull);
      data += written;
      size -= written;
    }
  }

  void Close() override {
    if (!handle_.Close()) ThrowLastError(kDeviceIoError);
  }

 private:
  Handle handle_;
};

class Win32Library : public DynamicLibrary {
 public:
  explicit Win32Library(HMODULE module) : module_(module) {}
  Win32Library(const Win32Library&) = delete;
  Win32Library& operator=(const Win32Library&) = delete;
  ~Win32Library() override { FreeLibrary(module_); }

  void* EntryPoint(const char* name) override {
    return reinterpret_cast<void*>(GetProcAddress(module_, name));
  }

 private:
  HMODULE module_;
};

// The fault handler has no other way to reach the run than a global.
std::function<int()> gOnFault;

LONG WINAPI HandleUnhandledException(EXCEPTION_POINTERS*) {
  std::function<int()> onFault = std::exchange(gOnFault, nullptr);
  ExitProcess(static_cast<UINT>(onFault ? onFault() : 2));  // 2: no report records it
}

class Win32Platform : public Platform {
 public:
  Win32Platform() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  }

  std::u16string RawCommandLine() override {
    return reinterpret_cast<const char16_t*>(GetCommandLineW());
  }

  bool OrdinaryFileMatches(const std::u16string& searchName) override {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(searchName), &found);
    if (search == INVALID_HANDLE_VALUE) {
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
          throw Failure(FailureCodeFor(error, kPathFileAccessError));
      }
    }
    struct SearchCloser {
      HANDLE handle;
      ~SearchCloser() { FindClose(handle); }
    } closer{search};
    constexpr DWORD kNotOrdinary =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    do {
      if ((found.dwFileAttributes & kNotOrdinary) == 0) return true;
    } while (FindNextFileW(search, &found));
    return false;
  }

  std::string ToNarrow(std::u16string_view text) override {
    if (text.empty()) return {};
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) ThrowLastError(kOutOfMemory);
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, length, narrow.data(), size, nullptr, nullptr);
    return narrow;
  }

  std::u16string FromNarrow(std::string_view bytes) override {
    if (bytes.empty()) return {};
    const int length = static_cast<int>(bytes.size());
    const int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (size <= 0) ThrowLastError(kOutOfMemory);
    std::u16string wide(static_cast<std::size_t>(size), u'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, reinterpret_cast<wchar_t*>(wide.data()),
                        size);
    return wide;
  }

  std::size_t NarrowCharLength(unsigned char leadByte) override {
    return IsDBCSLeadByte(leadByte) ? 2 : 1;
  }

  void ShowStopMessage(const std::u16string& text) override {
    // USER32 is loaded only here: imported statically, it and the libraries
    // it pulls in would cost every run more than all its other work, for a
    // box that almost no run shows.
    struct LibraryFreer {
      void operator()(HMODULE module) const { FreeLibrary(module); }
    };
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFreer> user32(
        LoadLibraryW(L"user32.dll"));
    if (user32 == nullptr) return;
    using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
    const auto messageBox = reinterpret_cast<MessageBoxFunction>(
        reinterpret_cast<void*>(GetProcAddress(user32.get(), "MessageBoxW")));
    if (messageBox != nullptr) messageBox(nullptr, Wide(text), L"faxjob", MB_OK | MB_ICONSTOP);
  }

  std::unique_ptr<DynamicLibrary> OpenLibrary(const std::u16string& fileName) override {
    HMODULE module = LoadLibraryW(Wide(fileName));
    if (module == nullptr) ThrowLastError(kLibraryLoadError);
    return std::make_unique<Win32Library>(module);
  }

  std::unique_ptr<InputFile> OpenForReading(const std::u16string& path) override {
    HANDLE handle = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) ThrowLastError(kPathFileAccessError);
    return std::make_unique<Win32InputFile>(handle);
  }

  std::unique_ptr<OutputFile> OpenForWriting(const std::u16string& path) override {
    HANDLE handle = CreateFileW(Wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) ThrowLastError(kPathFileAccessError);
    return std::make_unique<Win32OutputFile>(handle);
  }

  void RemoveFile(const std::u16string& path) override {
    if (!DeleteFileW(Wide(path))) ThrowLastError(kPathFileAccessError);
  }

  void OnFault(std::function<int()> onFault) override {
    gOnFault = std::move(onFault);
    SetUnhandledExceptionFilter(gOnFault ? HandleUnhandledException : nullptr);
  }
};

}  // namespace

std::unique_ptr<Platform> CreateWin32Platform() { return std::make_unique<Win32Platform>(); }

}  // namespace faxjob
