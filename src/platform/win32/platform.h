// The Windows implementation of the platform interface: the product.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace faxjob {

// The Windows parts of the platform, made once for the process. Making them also prepares the
// process for unattended runs: no system error dialogs.
class Win32Platform {
 public:
  Win32Platform();
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;
  ~Win32Platform();

  Platform parts() const;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

/// Ends the process with the run's exit status, unless a fault took the end first (its own
/// status then ends it). Not through ExitProcess: that runs the detach code of every library.
[[noreturn]] void EndProcess(int status);

}  // namespace faxjob
