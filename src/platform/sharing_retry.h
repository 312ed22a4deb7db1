// Another program's hold on a file for a moment: virus scanners, the search
// indexer and sync agents open a fresh file briefly, and an open or a removal
// that meets them fails. Such a failure is tried again, with a growing wait,
// for about two seconds in all, before it counts. One policy, free of any
// platform, for the program and the in-memory platform of the unit tests
// alike, so that the tests prove the policy that the program runs.
#pragma once

#include <cstdint>

namespace faxjob::sharing_retry {

// Windows' codes, spelled out so that the policy needs no Windows header.
inline constexpr std::uint32_t kAccessDenied = 5;            // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t kSharingViolation = 32;       // ERROR_SHARING_VIOLATION
inline constexpr std::uint32_t kLockViolation = 33;          // ERROR_LOCK_VIOLATION
inline constexpr std::uint32_t kDeletePending = 0xC0000056;  // STATUS_DELETE_PENDING

/// True when an open or a removal failed only because another program holds the file now: it
/// shares it with nobody, has locked a range of it, or still has it open after its removal
/// (Windows then refuses every access to the name, as access denied, until it is closed).
constexpr bool IsHeld(std::uint32_t error, std::uint32_t ntStatus) {
  return error == kSharingViolation || error == kLockViolation ||
         (error == kAccessDenied && ntStatus == kDeletePending);
}

/// Tries in all, the first included.
inline constexpr int kTries = 13;

/// Milliseconds to wait after failed try number `tried` (from 1): 25 more each time, as SQLite
/// waits out a virus scanner; the 12 waits add up to 1.95 seconds.
constexpr unsigned WaitAfterTry(int tried) { return 25u * static_cast<unsigned>(tried); }

/// Calls `attempt` until `held` says that its result is no hold, or the tries are spent; calls
/// `sleep` with the milliseconds to wait between tries. Returns the last try's result.
template <typename Attempt, typename Held, typename Sleep>
auto WaitOut(Attempt&& attempt, Held&& held, Sleep&& sleep) {
  for (int tried = 1;; ++tried) {
    auto result = attempt();
    if (tried == kTries || !held(result)) return result;
    sleep(WaitAfterTry(tried));
  }
}

}  // namespace faxjob::sharing_retry
