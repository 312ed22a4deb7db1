// Entry points of system libraries looked up at run time: not every toolchain
// has an import library for ntdll's, and USER32 is loaded only for a box.
#pragma once

#include <windows.h>

namespace faxjob {

/// The address of `name` in `module`, as a pointer of type `Function`; null when it has none.
template <typename Function>
Function EntryOf(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

/// The same in ntdll, which every process has loaded.
template <typename Function>
Function NtdllEntry(const char* name) {
  return EntryOf<Function>(GetModuleHandleW(L"ntdll.dll"), name);
}

}  // namespace faxjob
