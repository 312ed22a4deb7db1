// The POSIX implementation of the platform interface, for the host build:
// fast unit tests, sanitizers, fuzzing and benchmarks.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace faxjob {

// The POSIX parts of the platform, made once for the process. The narrow code page is the
// locale's character set; folders are separated by a forward slash, as a Linux user types them.
class PosixPlatform {
 public:
  PosixPlatform(int argc, char** argv);
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;
  ~PosixPlatform();

  Platform parts() const;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace faxjob
