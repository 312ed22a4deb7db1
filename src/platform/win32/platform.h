// The Windows implementation of the platform interface: the product.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace faxjob {

// Also prepares the process for unattended runs: no system error dialogs.
std::unique_ptr<Platform> CreateWin32Platform();

/// Ends the process with the run's exit status, unless a fault took the end first (its own
/// status then ends it). Not through ExitProcess: that runs the detach code of every library.
[[noreturn]] void EndProcess(int status);

}  // namespace faxjob
