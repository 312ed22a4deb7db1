// The owning types for the Windows handles the platform layer opens: each
// with the value a failed call reports and the call that releases it.
#pragma once

#include <windows.h>

#include "platform/unique_resource.h"

namespace faxjob {

template <auto kRelease, bool kFailsAsInvalidValue>
struct HandleTraits {
  using Type = HANDLE;
  static HANDLE Invalid() noexcept { return kFailsAsInvalidValue ? INVALID_HANDLE_VALUE : nullptr; }
  static bool Release(HANDLE handle) noexcept { return kRelease(handle) != 0; }
};

struct ModuleTraits {
  using Type = HMODULE;
  static HMODULE Invalid() noexcept { return nullptr; }
  static bool Release(HMODULE module) noexcept { return FreeLibrary(module) != 0; }
};

using UniqueFile = UniqueResource<HandleTraits<&CloseHandle, true>>;           // CreateFileW
using UniqueFileSearch = UniqueResource<HandleTraits<&FindClose, true>>;       // FindFirstFileW
using UniqueKernelObject = UniqueResource<HandleTraits<&CloseHandle, false>>;  // threads, events
using UniqueModule = UniqueResource<ModuleTraits>;  // a library loaded for a moment

}  // namespace faxjob
