// The Windows implementation of the platform interface: the product.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace faxjob {

// Also prepares the process for unattended runs: no system error dialogs.
std::unique_ptr<Platform> CreateWin32Platform();

}  // namespace faxjob
