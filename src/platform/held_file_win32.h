// Waiting out another program's hold on a file on Windows: the policy of
// held_file.h with the system's error codes and its sleep.
#pragma once

#include <windows.h>

#include <cstdint>
#include <utility>

#include "platform/held_file.h"
#include "platform/system_entry_win32.h"
#include "platform/unique_handle_win32.h"

namespace faxjob {

static_assert(held_file::kAccessDenied == ERROR_ACCESS_DENIED &&
              held_file::kSharingViolation == ERROR_SHARING_VIOLATION &&
              held_file::kLockViolation == ERROR_LOCK_VIOLATION);

/// Why a call failed: its error and the NT status behind it, which alone tells a file pending
/// deletion from other refused access. ERROR_SUCCESS when it did not fail.
struct SystemError {
  DWORD code = ERROR_SUCCESS;
  std::uint32_t ntStatus = 0;

  bool held() const { return held_file::IsHeld(code, ntStatus); }
};

namespace held_file_detail {
// Not every toolchain has an import library for it: looked up, not linked, and
// at the start, so that no lookup comes between a failed call and its status.
using LastNtStatusFunction = LONG(NTAPI*)();
inline const LastNtStatusFunction kLastNtStatus =
    NtdllEntry<LastNtStatusFunction>("RtlGetLastNtStatus");
}  // namespace held_file_detail

/// The calling thread's last error and NT status: read it right after the call that failed.
inline SystemError LastSystemError() {
  const DWORD code = GetLastError();
  const held_file_detail::LastNtStatusFunction lastNtStatus = held_file_detail::kLastNtStatus;
  return {code, lastNtStatus != nullptr ? static_cast<std::uint32_t>(lastNtStatus()) : 0u};
}

/// Repeats `attempt`, which returns how it failed (or a SystemError of ERROR_SUCCESS), while
/// another program holds the file, as held_file.h says. Returns the last try's SystemError.
template <typename Attempt>
SystemError WaitOutHolds(Attempt&& attempt) {
  return held_file::WaitOut(
      attempt, [](const SystemError& error) { return error.held(); },
      [](unsigned milliseconds) { Sleep(milliseconds); });
}

/// CreateFileW with these arguments, trying again while another program holds the file; when it
/// fails at last, `error` says why.
template <typename... Arguments>
UniqueFile CreateFileWaitingOutHolds(SystemError& error, Arguments... arguments) {
  UniqueFile file;
  error = WaitOutHolds([&] {
    UniqueFile opened(CreateFileW(arguments...));
    const SystemError failed = opened ? SystemError{} : LastSystemError();
    file = std::move(opened);
    return failed;
  });
  return file;
}

}  // namespace faxjob
