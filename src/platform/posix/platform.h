// The POSIX implementation of the platform interface, for the host build:
// fast unit tests, sanitizers, fuzzing and benchmarks.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace faxjob {

// The narrow code page is the locale's character set; folders are separated
// by a forward slash, as a Linux user types them.
std::unique_ptr<Platform> CreatePosixPlatform(int argc, char** argv);

}  // namespace faxjob
