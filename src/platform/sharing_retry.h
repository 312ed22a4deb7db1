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

// Network errors that a moment later can be gone: the client reconnects to
// the server, or the server answers again. Not ERROR_BAD_NETPATH (53), which
// mostly means a server name that does not resolve and stays so.
inline constexpr std::uint32_t kNetworkBusy = 54;         // ERROR_NETWORK_BUSY
inline constexpr std::uint32_t kUnexpectedNetError = 59;  // ERROR_UNEXP_NET_ERR
inline constexpr std::uint32_t kNetNameDeleted = 64;      // ERROR_NETNAME_DELETED
inline constexpr std::uint32_t kSemaphoreTimeout = 121;   // ERROR_SEM_TIMEOUT

/// True when a file operation on a network share failed for a moment: the connection to the
/// server dropped or timed out and the client may reconnect. Waited out like a hold by the
/// opens, reads and writes after the library call, where failing would lose the outcome.
constexpr bool IsNetworkBlip(std::uint32_t error) {
  return error == kNetworkBusy || error == kUnexpectedNetError || error == kNetNameDeleted ||
         error == kSemaphoreTimeout;
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
