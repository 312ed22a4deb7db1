// What every Windows file of the platform layer shares: wide text for the
// system's calls (made through the table of system_calls.h), entry points
// looked up at run time, the owning handle
// types, a file's delete disposition, and the retry of a file that another
// program holds for a moment.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

#include "base/unique_resource.h"
#include "platform/sharing_retry.h"
#include "platform/win32/system_calls.h"

namespace faxjob {

/// The text as the wide calls take it.
inline const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Entry points of system libraries looked up at run time: not every toolchain
// has an import library for ntdll's, and USER32 is loaded only for a box.

/// The address of `name` in `module`, as a pointer of type `Function`; null when it has none.
template <typename Function>
Function EntryOf(HMODULE module, const char* name) noexcept {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

/// The same in ntdll, which every process has loaded.
template <typename Function>
Function NtdllEntry(const char* name) noexcept {
  return EntryOf<Function>(GetModuleHandleW(L"ntdll.dll"), name);
}

// The owning types for the handles the platform layer opens: each with the
// value a failed call reports and the call that releases it.

inline BOOL CloseHandleCall(HANDLE handle) { return win32::gSystem.CloseHandle(handle); }
inline BOOL FindCloseCall(HANDLE search) { return win32::gSystem.FindClose(search); }

template <auto kRelease, bool kFailsAsInvalidValue>
struct HandleTraits {
  using Type = HANDLE;
  static HANDLE Invalid() noexcept { return kFailsAsInvalidValue ? INVALID_HANDLE_VALUE : nullptr; }
  static bool Release(HANDLE handle) noexcept { return kRelease(handle) != 0; }
};

struct ModuleTraits {
  using Type = HMODULE;
  static HMODULE Invalid() noexcept { return nullptr; }
  static bool Release(HMODULE module) noexcept { return win32::gSystem.FreeLibrary(module) != 0; }
};

using UniqueFile = UniqueResource<HandleTraits<&CloseHandleCall, true>>;      // CreateFileW
using UniqueFileSearch = UniqueResource<HandleTraits<&FindCloseCall, true>>;  // FindFirstFileW
using UniqueKernelObject =
    UniqueResource<HandleTraits<&CloseHandleCall, false>>;  // threads, events
using UniqueModule = UniqueResource<ModuleTraits>;          // a library loaded for a moment

/// Protects `handle` from CloseHandle, or takes the protection off: a library that closes a
/// stale handle value cannot close a protected handle of the program's. Where the system
/// refuses, the handle stays as it was. Returns the handle.
inline HANDLE ProtectedFromClose(HANDLE handle, bool protect = true) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    win32::gSystem.SetHandleInformation(handle, HANDLE_FLAG_PROTECT_FROM_CLOSE,
                                        protect ? HANDLE_FLAG_PROTECT_FROM_CLOSE : 0);
  }
  return handle;
}

/// Sets or clears the delete disposition of a file opened with DELETE access: set, Windows
/// removes the file when its last handle is closed, at the latest when the process ends, however
/// it ends. Unlike FILE_FLAG_DELETE_ON_CLOSE it can be taken back. False when the system refuses.
inline bool SetDeleteDisposition(HANDLE file, bool deleted) {
  FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(deleted)};
  return win32::gSystem.SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                                   sizeof disposition) != 0;
}

// Another program's hold on a file: the policy of sharing_retry.h with the
// system's error codes and its sleep.

static_assert(sharing_retry::kAccessDenied == ERROR_ACCESS_DENIED &&
              sharing_retry::kSharingViolation == ERROR_SHARING_VIOLATION &&
              sharing_retry::kLockViolation == ERROR_LOCK_VIOLATION);

/// Why a call failed: its error and the NT status behind it, which alone tells a file pending
/// deletion from other refused access. ERROR_SUCCESS when it did not fail.
struct SystemError {
  DWORD code = ERROR_SUCCESS;
  std::uint32_t ntStatus = 0;

  bool held() const { return sharing_retry::IsHeld(code, ntStatus); }
  /// Held, or a network error that may be gone a moment later.
  bool transient() const { return held() || sharing_retry::IsNetworkBlip(code); }
};

/// The calling thread's last error and NT status: read it right after the call that failed.
inline SystemError LastSystemError() {
  const DWORD code = GetLastError();
  const auto lastNtStatus = win32::gSystem.RtlGetLastNtStatus;
  return {code, lastNtStatus != nullptr ? static_cast<std::uint32_t>(lastNtStatus()) : 0u};
}

/// Repeats `attempt`, which returns how it failed (or a SystemError of ERROR_SUCCESS), while
/// `retried` says that failure may be gone a moment later, as sharing_retry.h says. Returns the
/// last try's SystemError.
template <typename Attempt, typename Retried>
SystemError WaitOut(Attempt&& attempt, Retried&& retried) {
  return sharing_retry::WaitOut(attempt, retried,
                                [](unsigned milliseconds) { win32::gSystem.Sleep(milliseconds); });
}

/// WaitOut while another program holds the file.
template <typename Attempt>
SystemError WaitOutHolds(Attempt&& attempt) {
  return WaitOut(attempt, [](const SystemError& error) { return error.held(); });
}

/// WaitOut while another program holds the file or the network fails for a moment: for the
/// files after the library call, whose failure would lose its outcome.
template <typename Attempt>
SystemError WaitOutTransient(Attempt&& attempt) {
  return WaitOut(attempt, [](const SystemError& error) { return error.transient(); });
}

/// CreateFileW with these arguments, tried again as `waitOut` (WaitOutHolds, WaitOutTransient)
/// says; when it fails at last, `error` says why.
template <typename WaitOutFunction, typename... Arguments>
UniqueFile CreateFileWaitingOut(WaitOutFunction waitOut, SystemError& error,
                                Arguments... arguments) {
  UniqueFile file;
  error = waitOut([&] {
    UniqueFile opened(win32::gSystem.CreateFileW(arguments...));
    const SystemError failed = opened ? SystemError{} : LastSystemError();
    file = std::move(opened);
    return failed;
  });
  return file;
}

/// CreateFileW with these arguments, trying again while another program holds the file.
template <typename... Arguments>
UniqueFile CreateFileWaitingOutHolds(SystemError& error, Arguments... arguments) {
  return CreateFileWaitingOut([](auto attempt) { return WaitOutHolds(attempt); }, error,
                              arguments...);
}

}  // namespace faxjob
