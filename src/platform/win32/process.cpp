#include "platform/win32/process.h"

#include <windows.h>

#include <exception>
#include <utility>

#include "base/bench_guards.h"
#include "base/failure.h"
#include "platform/fault_path.h"
#include "platform/win32/boxes.h"
#include "platform/win32/errors.h"
#include "platform/win32/library_exits.h"
#include "platform/win32/support.h"

namespace faxjob::win32 {

namespace {

// The turn is one byte of the folder's lock file, locked exclusively. The
// system drops the lock when the process ends, however it ends; given back
// here before the handle closes, so a file server sees it go at once.
class Win32FolderTurn : public FolderTurn {
 public:
  explicit Win32FolderTurn(UniqueFile lockFile) : lockFile_(std::move(lockFile)) {}
  ~Win32FolderTurn() override {
    OVERLAPPED turnByte{};
    gSystem.UnlockFileEx(lockFile_.Get(), 0, 1, 0, &turnByte);
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

// The current folder is often a shared job folder that others can write
// to. A library folder set for the process takes its place in the search;
// the program's own folder, which comes first anyway, gives the same order
// as an empty one, which some Windows implementations read as "not set".
void LeaveCurrentFolderOutOfLibrarySearch() {
  std::wstring program(MAX_PATH, L'\0');
  DWORD length;
  while ((length = gSystem.GetModuleFileNameW(
              nullptr, program.data(), static_cast<DWORD>(program.size()))) == program.size()) {
    program.resize(program.size() * 2);
  }
  program.resize(length);
  const std::size_t lastBackslash = program.rfind(L'\\');
  gSystem.SetDllDirectoryW(
      lastBackslash == std::wstring::npos ? L"" : program.substr(0, lastBackslash).c_str());
}

// An entry point of USER32, loaded for the box alone.
template <typename Function>
Function UserEntry(HMODULE user32, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(gSystem.GetProcAddress(user32, name)));
}

// What the program asks of the system: no error box of its own, for a missing disk or a fault.
// Set at the start and again after the library's load, which may have changed it.
void SetQuietErrorMode() {
  gSystem.SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

// Services run in session 0, where nobody sees a box.
bool InSessionZero() {
  DWORD session = 0;
  return gSystem.ProcessIdToSessionId(gSystem.GetCurrentProcessId(), &session) && session == 0;
}

}  // namespace

void PrepareProcess() {
  SetQuietErrorMode();
  // An exception that escapes every handler would end in the runtime's
  // abort box; it ends the run at once instead, with the status of a
  // failure that no report records.
  std::set_terminate(
      [] { gSystem.TerminateProcess(gSystem.GetCurrentProcess(), fault_path::kNothingRecorded); });
  LeaveCurrentFolderOutOfLibrarySearch();
}

void ShowStopMessage(const std::u16string& text) {
  // USER32 is loaded only here: imported statically, it and the libraries
  // it pulls in would cost every run more than all its other work, for a
  // box that almost no run shows.
  const UniqueModule user32(gSystem.LoadLibraryW(L"user32.dll"));
  if (!user32 || InSessionZero() || !WindowStationIsVisible(user32.Get())) return;
  const auto messageBox =
      UserEntry<int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT)>(user32.Get(), "MessageBoxW");
  if (messageBox != nullptr) messageBox(nullptr, Wide(text), L"faxjob", MB_OK | MB_ICONSTOP);
}

void* LoadEntryPoint(const std::u16string& fileName, const char* entryName) {
  if (!Kept(Guard::kLoadGuard)) {
    const HMODULE module = gSystem.LoadLibraryW(Wide(fileName));
    if (module == nullptr) ThrowLastError(kLibraryLoadError);
    return reinterpret_cast<void*>(gSystem.GetProcAddress(module, entryName));
  }
  // The runtimes already loaded quiet before the library's start-up code runs.
  TakeOverProcessEnds(nullptr, fault_path::LibraryEndingProcess());
  struct Load {
    const wchar_t* fileName;
    HMODULE module = nullptr;
    DWORD error = ERROR_SUCCESS;
  } load{Wide(fileName)};
  // Guarded like the call: the library's start-up code is its code too.
  fault_path::CallUntrusted(
      [](void* context) {
        Load& load = *static_cast<Load*>(context);
        load.module = gSystem.LoadLibraryW(load.fileName);
        load.error = load.module == nullptr ? GetLastError() : ERROR_SUCCESS;
      },
      &load);
  SetQuietErrorMode();
  // Never freed: the library stays loaded until the process ends.
  if (load.module == nullptr) throw Failure(FailureCodeFor(load.error, kLibraryLoadError));
  TakeOverProcessEnds(load.module, fault_path::LibraryEndingProcess());
  return reinterpret_cast<void*>(gSystem.GetProcAddress(load.module, entryName));
}

std::unique_ptr<FolderTurn> TakeFolderTurn(const std::u16string& folder) {
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
  if (!gSystem.LockFileEx(lockFile.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turnByte)) {
    ThrowLastError(kHeldByAnotherProcess);
  }
  return std::make_unique<Win32FolderTurn>(std::move(lockFile));
}

}  // namespace faxjob::win32
