// errno values as the program's failures: the one table that turns them
// into failure codes, and the owning type for a file descriptor.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>

#include "base/unique_resource.h"

namespace faxjob::posix {

/// The failure code for an errno value, or `fallback` for one the table does not know.
std::int32_t FailureCodeFor(int error, std::int32_t fallback);
/// Raises the failure for errno.
[[noreturn]] void ThrowErrno(std::int32_t fallback);
/// The folder of a path: "." when it has none.
std::string FolderOf(const std::string& path);
/// Raises the failure of an open that failed with errno; a missing folder is told apart from a
/// missing file, as Windows does.
[[noreturn]] void ThrowOpenError(const std::string& path);

struct DescriptorTraits {
  using Type = int;
  static int Invalid() noexcept { return -1; }
  static bool Release(int fd) noexcept { return close(fd) == 0; }
};
using UniqueDescriptor = UniqueResource<DescriptorTraits>;

}  // namespace faxjob::posix
