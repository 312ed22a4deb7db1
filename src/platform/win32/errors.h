// Windows errors as the program's failures: the one table that turns
// Windows error numbers into failure codes.
#pragma once

#include <windows.h>

#include <cstdint>

namespace faxjob::win32 {

/// The failure code for a Windows error, or `fallback` for one the table does not know.
std::int32_t FailureCodeFor(DWORD error, std::int32_t fallback);

/// Raises the failure for the calling thread's last error.
[[noreturn]] void ThrowLastError(std::int32_t fallback);

}  // namespace faxjob::win32
