#include "platform/platform_win32.h"

#include <windows.h>

#include <cfenv>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/fault_path.h"
#include "platform/held_file_win32.h"
#include "platform/library_exits_win32.h"
#include "platform/long_path.h"
#include "platform/removal_mark_win32.h"
#include "platform/unique_handle_win32.h"
#include "run/failure.h"

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

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Opens a file or folder only to ask about it: no data access, any sharing.
UniqueFile OpenForQuery(const wchar_t* path) {
  return UniqueFile(CreateFileW(path, FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

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
  explicit Win32InputFile(UniqueFile file) : file_(std::move(file)) {}

  std::size_t Read(char* buffer, std::size_t size) override {
    DWORD read = 0;
    if (!ReadFile(file_.Get(), buffer, static_cast<DWORD>(size), &read, nullptr)) {
      ThrowLastError(kDeviceIoError);
    }
    return read;
  }

  bool IsSameFileAs(const std::u16string& path) override {
    const UniqueFile other = OpenForQuery(Wide(path));
    return other && SameFileIdentity(file_.Get(), other.Get());
  }

  void Close() override {
    if (!file_.Close()) ThrowLastError(kDeviceIoError);
  }

 private:
  UniqueFile file_;
};

// The armed report's file tells the fault path what it holds at every moment.
class Win32OutputFile : public OutputFile {
 public:
  Win32OutputFile(UniqueFile file, bool marked, fault_path::ReportWatch watch)
      : file_(std::move(file)), marked_(marked), watch_(std::move(watch)) {}
  ~Win32OutputFile() override {
    // Given up without a Close: what it holds is in doubt.
    watch_.Changing();
    file_.Close();
    watch_.Closed(false);
  }

  void Write(const char* data, std::size_t size) override {
    watch_.Changing();
    while (size > 0) {
      const DWORD chunk = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
      DWORD written = 0;
      if (!WriteFile(file_.Get(), data, chunk, &written, nullptr)) ThrowLastError(kDeviceIoError);
      // A full disk may report success with fewer bytes, or none, written.
      if (written == 0) throw Failure(kDiskFull);
      data += written;
      size -= written;
    }
    watch_.Written();
  }

  void Close() override {
    watch_.Changing();
    const bool closed = file_.Close();
    const DWORD error = GetLastError();
    watch_.Closed(closed);
    if (!closed) throw Failure(FailureCodeFor(error, kDeviceIoError));
  }

  bool marked() const override { return marked_; }

  void Keep() override {
    if (!marked_) return;
    watch_.Changing();
    if (!SetRemovalMark(file_.Get(), false)) ThrowLastError(kDeviceIoError);
    marked_ = false;
    watch_.Written();
  }

 private:
  UniqueFile file_;
  bool marked_;
  fault_path::ReportWatch watch_;
};

// The turn is one byte of the folder's lock file, locked exclusively. The
// system drops the lock when the process ends, however it ends; given back
// here before the handle closes, so a file server sees it go at once.
class Win32FolderTurn : public FolderTurn {
 public:
  explicit Win32FolderTurn(UniqueFile lockFile) : lockFile_(std::move(lockFile)) {}
  ~Win32FolderTurn() override {
    OVERLAPPED turnByte{};
    UnlockFileEx(lockFile_.Get(), 0, 1, 0, &turnByte);
  }

 private:
  UniqueFile lockFile_;
};

// Without delete sharing, so nobody removes or renames the file while a run
// holds it, and a later run can never lock a new file of the same name.
UniqueFile OpenTurnFile(const std::u16string& path, DWORD access, DWORD& error) {
  SystemError failed;
  UniqueFile file =
      CreateFileWaitingOutHolds(failed, Wide(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  error = failed.code;
  return file;
}

// Names the file system refuses to create: empty (a path ending in a
// backslash), or holding a reserved character.
bool HasRejectedCharacter(std::u16string_view name) {
  if (name.empty()) return true;
  for (char16_t c : name) {
    if (c < 0x20 || std::u16string_view(u"<>|\"*?").find(c) != std::u16string_view::npos) {
      return true;
    }
  }
  return false;
}

// A device rather than a file, as the running system reads it: its rules
// differ between versions (Windows 11 reads con.txt as a file, earlier ones as
// the console). GetFullPathNameW has already put a name it reads as a device
// straight into the device namespace (\\.\con); the extended-length form of a
// path is read without the prefix, as a caller reads the report.
bool NamesDevice(const std::u16string& fullPath) {
  if (IsDeviceNamespaceName(fullPath)) return true;
  using IsDosDeviceNameFunction = ULONG(WINAPI*)(PCWSTR);
  static const auto isDosDeviceName =
      reinterpret_cast<IsDosDeviceNameFunction>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlIsDosDeviceName_U")));
  return isDosDeviceName != nullptr && isDosDeviceName(Wide(Win32PathOf(fullPath))) != 0;
}

std::u16string Decimal(DWORD value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

class Win32Platform : public Platform {
 public:
  Win32Platform() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // An exception that escapes every handler would end in the runtime's
    // abort box; it ends the run at once instead, with the status of a
    // failure that no report records.
    std::set_terminate([] { TerminateProcess(GetCurrentProcess(), fault_path::kNothingRecorded); });
    LeaveCurrentFolderOutOfLibrarySearch();
  }

  std::u16string RawCommandLine() override {
    return reinterpret_cast<const char16_t*>(GetCommandLineW());
  }

  std::u16string FullPathOf(const std::u16string& path) override {
    std::u16string full(MAX_PATH, u'\0');
    for (;;) {
      const DWORD length = GetFullPathNameW(Wide(path), static_cast<DWORD>(full.size()),
                                            reinterpret_cast<wchar_t*>(full.data()), nullptr);
      if (length == 0) ThrowLastError(kBadFileName);
      const bool fitted = length < full.size();
      full.resize(length);
      // Normalised by Windows now, so the form without a MAX_PATH limit names the same file.
      if (fitted) return ExtendedLengthPathOf(full);
    }
  }

  char16_t FolderSeparator() override { return u'\\'; }

  bool OrdinaryFileMatches(const std::u16string& searchName) override {
    WIN32_FIND_DATAW found;
    const UniqueFileSearch search(FindFirstFileW(Wide(searchName), &found));
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
    } while (FindNextFileW(search.Get(), &found));
    return false;
  }

  std::string ToNarrow(std::u16string_view text) override {
    return Narrow(text, GetACP(), 0, nullptr);
  }

  std::string ToNarrowExactly(std::u16string_view text) override {
    const UINT codePage = GetACP();
    std::string narrow;
    if (codePage == CP_UTF8) {
      // Takes no best-fit flag: every valid text converts exactly, and a lone
      // surrogate is refused.
      narrow = Narrow(text, codePage, WC_ERR_INVALID_CHARS, nullptr);
    } else {
      BOOL usedDefault = FALSE;
      narrow = Narrow(text, codePage, WC_NO_BEST_FIT_CHARS, &usedDefault);
      if (usedDefault) throw Failure(kBadFileName);
    }
    // The narrow text must name what the wide text names, character for character.
    if (FromNarrow(narrow) != text) throw Failure(kBadFileName);
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
    const UniqueModule user32(LoadLibraryW(L"user32.dll"));
    if (!user32 || !WindowStationIsVisible(user32.Get())) return;
    const auto messageBox =
        UserEntry<int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT)>(user32.Get(), "MessageBoxW");
    if (messageBox != nullptr) messageBox(nullptr, Wide(text), L"faxjob", MB_OK | MB_ICONSTOP);
  }

  void* LoadEntryPoint(const std::u16string& fileName, const char* entryName) override {
    // Never freed: the library stays loaded until the process ends.
    const HMODULE module = LoadLibraryW(Wide(fileName));
    if (module == nullptr) ThrowLastError(kLibraryLoadError);
    RedirectProcessEnds(module, fault_path::LibraryEndingProcess());
    return reinterpret_cast<void*>(GetProcAddress(module, entryName));
  }

  void CallLibrary(void (*call)(void* context), void* context) override {
    fault_path::InstallHandler();
    std::fenv_t environment;
    const bool saved = std::fegetenv(&environment) == 0;
    call(context);
    if (saved) std::fesetenv(&environment);
  }

  bool CanNeverCreate(const std::u16string& path) override {
    const std::size_t nameStart = path.rfind(u'\\') + 1;  // 0 when there is no backslash
    if (HasRejectedCharacter(std::u16string_view(path).substr(nameStart)) || NamesDevice(path)) {
      return true;
    }
    const std::u16string folder = nameStart == 0 ? u"." : path.substr(0, nameStart);
    const DWORD folderAttributes = GetFileAttributesW(Wide(folder));
    if (folderAttributes == INVALID_FILE_ATTRIBUTES) {
      switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_DIRECTORY:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
          return true;
        default:
          return false;  // not certain: access refused, say
      }
    }
    if ((folderAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return true;
    // Creating a file over a hidden or system one with normal attributes is
    // refused, as is writing over a read-only one or a folder.
    const DWORD attributes = GetFileAttributesW(Wide(path));
    constexpr DWORD kNeverOverwritten = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY |
                                        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNeverOverwritten) != 0;
  }

  std::unique_ptr<FolderTurn> TakeFolderTurn(const std::u16string& folder) override {
    std::u16string path = folder;
    if (!path.empty() && path.back() != u'\\') path += u'\\';
    path += kFolderTurnFileName;
    // Write access where the file grants it: Wine shows a lock taken through a
    // read-only handle to other wineservers as a shared one. Windows locks
    // exclusively either way, so a user who may only read the file still runs.
    DWORD error;
    UniqueFile lockFile = OpenTurnFile(path, GENERIC_READ | GENERIC_WRITE, error);
    if (!lockFile && error == ERROR_ACCESS_DENIED) {
      lockFile = OpenTurnFile(path, GENERIC_READ, error);
    }
    if (!lockFile) {
      throw Failure(error == ERROR_FILE_NOT_FOUND ? kPathNotFound
                                                  : FailureCodeFor(error, kAccessRefused));
    }
    // Blocking: waits, however long, until the run that holds the turn gives it back.
    OVERLAPPED turnByte{};
    if (!LockFileEx(lockFile.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turnByte)) {
      ThrowLastError(kHeldByAnotherProcess);
    }
    return std::make_unique<Win32FolderTurn>(std::move(lockFile));
  }

  std::unique_ptr<InputFile> OpenForReading(const std::u16string& path) override {
    SystemError error;
    UniqueFile file =
        CreateFileWaitingOutHolds(error, Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (!file) throw Failure(FailureCodeFor(error.code, kAccessRefused));
    return std::make_unique<Win32InputFile>(std::move(file));
  }

  std::unique_ptr<OutputFile> OpenForWriting(const std::u16string& path) override {
    return OpenOutput(path, GENERIC_WRITE, CREATE_ALWAYS);
  }

  std::unique_ptr<OutputFile> OpenForAppending(const std::u16string& path) override {
    // Append access alone: every write lands after the last byte.
    return OpenOutput(path, FILE_APPEND_DATA, OPEN_EXISTING);
  }

  // A removed file that another program still has open stays, pending, under
  // its name until that program closes it, and the name can be neither opened
  // nor created meanwhile. So the file is first renamed aside, within its
  // folder, and then removed under the new name.
  bool RemoveFile(const std::u16string& path) override {
    SystemError error;
    // Shared with everyone, so that a program that shares the file's removal
    // does not stop it; one that does not is waited out.
    UniqueFile file = CreateFileWaitingOutHolds(
        error, Wide(path), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (!file) {
      if (error.code == ERROR_FILE_NOT_FOUND) return false;
      throw Failure(FailureCodeFor(error.code, kAccessRefused));
    }
    // A file that the system will not remove (read-only, a mapped program
    // file, a device) refuses the mark, and is left as it was.
    if (!SetRemovalMark(file.Get(), true)) ThrowLastError(kAccessRefused);
    const std::optional<std::u16string> aside = RenameAside(path, file);
    file.Close();
    if (!aside) {
      // Removed under its own name. Wine takes the removal of a file in a
      // folder the user may not write to and keeps the file: a name still
      // there must not pass for removed.
      if (GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES) throw Failure(kAccessRefused);
      return true;
    }
    // The name is free now. A renamed file that stays held beyond the wait is
    // left behind under its new name.
    WaitOutHolds([&] { return DeleteFileW(Wide(*aside)) ? SystemError{} : LastSystemError(); });
    return true;
  }

  void ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) override {
    fault_path::Arm(reportPath, errorLine);
    faultReportPath_ = reportPath;
  }

  void DisarmFaultPath() override {
    fault_path::Disarm();
    faultReportPath_.reset();
  }

 private:
  // The current folder is often a shared job folder that others can write
  // to. A library folder set for the process takes its place in the search;
  // the program's own folder, which comes first anyway, gives the same order
  // as an empty one, which some Windows implementations read as "not set".
  static void LeaveCurrentFolderOutOfLibrarySearch() {
    std::wstring program(MAX_PATH, L'\0');
    DWORD length;
    while ((length = GetModuleFileNameW(nullptr, program.data(),
                                        static_cast<DWORD>(program.size()))) == program.size()) {
      program.resize(program.size() * 2);
    }
    program.resize(length);
    const std::size_t lastBackslash = program.rfind(L'\\');
    SetDllDirectoryW(
        lastBackslash == std::wstring::npos ? L"" : program.substr(0, lastBackslash).c_str());
  }

  // A window station that is not visible (a service's, a task's run without
  // a logged-on user) shows a box to nobody, and it would wait for good.
  static bool WindowStationIsVisible(HMODULE user32) {
    const auto processStation = UserEntry<HWINSTA(WINAPI*)()>(user32, "GetProcessWindowStation");
    const auto information = UserEntry<BOOL(WINAPI*)(HANDLE, int, void*, DWORD, DWORD*)>(
        user32, "GetUserObjectInformationW");
    USEROBJECTFLAGS flags{};
    if (processStation == nullptr || information == nullptr ||
        !information(processStation(), UOI_FLAGS, &flags, sizeof flags, nullptr)) {
      return true;  // not known: shown, as ever
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
  }

  template <typename Function>
  static Function UserEntry(HMODULE user32, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name)));
  }

  static UniqueFile CreateOutput(const std::u16string& path, DWORD access, DWORD disposition,
                                 SystemError& error) {
    UniqueFile file(CreateFileW(Wide(path), access, FILE_SHARE_READ, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    error = file ? SystemError{} : LastSystemError();
    return file;
  }

  // Renames the file open in `file` and marked for removal to a new name in
  // its folder, `~faxjob-<process>-<number>.tmp`, and returns that name.
  // Returns none where the mark cannot be taken off for the rename: the file
  // then goes under its own name when it is closed. Raises what RemoveFile
  // raises; the file then stays as it was.
  std::optional<std::u16string> RenameAside(const std::u16string& path, const UniqueFile& file) {
    const std::u16string folder = path.substr(0, path.rfind(u'\\') + 1);  // empty: none
    auto newName = [&] {
      return folder + u"~faxjob-" + Decimal(GetCurrentProcessId()) + u"-" +
             Decimal(++renamedAside_) + u".tmp";
    };
    // A file pending removal cannot be renamed.
    if (!SetRemovalMark(file.Get(), false)) return std::nullopt;
    std::u16string aside = newName();
    for (int taken = 1; !MoveFileExW(Wide(path), Wide(aside), 0); ++taken) {
      const DWORD error = GetLastError();
      // Left by an earlier process of the same number: the next number.
      if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) || taken == 100) {
        throw Failure(FailureCodeFor(error, kAccessRefused));
      }
      aside = newName();
    }
    return aside;
  }

  std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, DWORD access,
                                         DWORD disposition) {
    fault_path::ReportWatch watch(faultReportPath_ == path);
    // DELETE, for the mark that removes the file unless it is kept. Where the
    // file's access rules refuse it, the file is written unmarked.
    UniqueFile file;
    bool markable = true;
    const SystemError error = WaitOutHolds([&] {
      SystemError failed;
      file = CreateOutput(path, access | DELETE, disposition, failed);
      markable = true;
      if (!file && failed.code == ERROR_ACCESS_DENIED && !failed.held()) {
        file = CreateOutput(path, access, disposition, failed);
        markable = false;
      }
      return failed;
    });
    if (!file) {
      watch.OpenFailed();
      throw Failure(FailureCodeFor(error.code, kAccessRefused));
    }
    const bool marked = markable && SetRemovalMark(file.Get(), true);
    watch.Opened(file.Get());
    return std::make_unique<Win32OutputFile>(std::move(file), marked, std::move(watch));
  }

  static std::string Narrow(std::u16string_view text, UINT codePage, DWORD flags,
                            BOOL* usedDefault) {
    if (text.empty()) return {};
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(codePage, flags, wide, length, nullptr, 0, nullptr, usedDefault);
    if (size <= 0) {
      if (GetLastError() == ERROR_NO_UNICODE_TRANSLATION) throw Failure(kBadFileName);
      ThrowLastError(kOutOfMemory);
    }
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(codePage, flags, wide, length, narrow.data(), size, nullptr, usedDefault);
    return narrow;
  }

  std::optional<std::u16string> faultReportPath_;
  DWORD renamedAside_ = 0;  // files renamed aside by this process
};

}  // namespace

std::unique_ptr<Platform> CreateWin32Platform() { return std::make_unique<Win32Platform>(); }

}  // namespace faxjob
