#include "platform/win32/library_exits.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <iterator>

#include "platform/win32/support.h"

namespace faxjob {

namespace {

using EndFunction = void(WINAPI*)(UINT);
using TerminateFunction = BOOL(WINAPI*)(HANDLE, UINT);
using NtTerminateFunction = LONG(NTAPI*)(HANDLE, LONG);
using SignalHandler = void(__cdecl*)(int);

// The C runtimes' numbers: SIGABRT, and the older one some of them also take.
constexpr int kAbortSignals[] = {22, 6};
constexpr int kOutToStandardError = 1;          // _set_error_mode: never a box
constexpr int kConsoleApplication = 1;          // __set_app_type: messages as text
constexpr unsigned kAbortMessageAndReport = 3;  // _set_abort_behavior: _WRITE_ABORT_MSG and
                                                // _CALL_REPORTFAULT, both boxes on Windows

// Set before any slot leads here, and never changed.
EndFunction gEnd = nullptr;
TerminateFunction gTerminateProcess = nullptr;
NtTerminateFunction gNtTerminateProcess = nullptr;
// The library's own filter: remembered, so that it gets back what it set, but never installed.
std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> gLibraryFilter{nullptr};

// The pseudo-handle or a real handle to this process. A handle without query access to this
// process counts as another's: the call is passed on.
bool IsThisProcess(HANDLE process) {
  return process == GetCurrentProcess() ||
         (process != nullptr && GetProcessId(process) == GetCurrentProcessId());
}

BOOL WINAPI OnTerminateProcess(HANDLE process, UINT status) {
  if (IsThisProcess(process)) gEnd(status);
  return gTerminateProcess(process, status);
}

// A null handle ends every thread of this process but the caller's.
LONG NTAPI OnNtTerminateProcess(HANDLE process, LONG status) {
  if (process == nullptr || IsThisProcess(process)) gEnd(static_cast<UINT>(status));
  return gNtTerminateProcess(process, status);
}

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI OnSetFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  return gLibraryFilter.exchange(filter);
}

void __cdecl OnAbortSignal(int) { gEnd(3); }

// The addresses taken over, each with where its slots lead instead.
class Takeovers {
 public:
  void Add(HMODULE module, std::initializer_list<const char*> names, void* replacement) {
    if (module == nullptr) return;
    for (const char* name : names) {
      void* const address = EntryOf<void*>(module, name);
      if (address != nullptr && ReplacementFor(address) == nullptr && count_ < kCapacity) {
        entries_[count_++] = {address, replacement};
      }
    }
  }
  void* ReplacementFor(void* address) const {
    for (std::size_t i = 0; i < count_; ++i) {
      if (entries_[i].address == address) return entries_[i].replacement;
    }
    return nullptr;
  }

 private:
  static constexpr std::size_t kCapacity = 96;
  struct Entry {
    void* address;
    void* replacement;
  } entries_[kCapacity];
  std::size_t count_ = 0;
};

using ImportSlot = decltype(IMAGE_THUNK_DATA::u1.Function);

void Replace(ImportSlot& slot, void* replacement) {
  DWORD protection;
  // The import table usually lies in a read-only section once the loader has filled it.
  if (!VirtualProtect(&slot, sizeof slot, PAGE_READWRITE, &protection)) return;
  slot = reinterpret_cast<ImportSlot>(replacement);
  VirtualProtect(&slot, sizeof slot, protection, &protection);
}

// Every slot of the address table, by the address the loader put there: the name table may be
// missing (old Borland and Delphi linkers), an import may be by ordinal or bound.
void TakeSlots(HMODULE module, const Takeovers& takeovers) {
  auto* const base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return;
  for (auto* entry =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       entry->Name != 0; ++entry) {
    for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
         slot->u1.Function != 0; ++slot) {
      // NOLINTNEXTLINE(performance-no-int-to-ptr): an import slot holds an address as a number.
      void* const imported = reinterpret_cast<void*>(slot->u1.Function);
      void* const replacement = takeovers.ReplacementFor(imported);
      if (replacement != nullptr) Replace(slot->u1.Function, replacement);
    }
  }
}

// A module that exports the C runtime's abort and signal is a C runtime, whatever its name
// (msvcrt.dll, msvcr*.dll, ucrtbase.dll, an api-ms-win-crt forwarder).
bool IsRuntime(HMODULE module) {
  return module != GetModuleHandleW(nullptr) && EntryOf<void*>(module, "abort") != nullptr &&
         EntryOf<void*>(module, "signal") != nullptr;
}

// Errors as text (which nobody reads: there is no console), never a box; abort to the fault path.
void QuietRuntime(HMODULE runtime) {
  if (const auto setErrorMode = EntryOf<int(__cdecl*)(int)>(runtime, "_set_error_mode")) {
    setErrorMode(kOutToStandardError);
  }
  for (const char* name : {"__set_app_type", "_set_app_type"}) {
    if (const auto setAppType = EntryOf<void(__cdecl*)(int)>(runtime, name)) {
      setAppType(kConsoleApplication);
    }
  }
  if (const auto setAbortBehavior =
          EntryOf<unsigned(__cdecl*)(unsigned, unsigned)>(runtime, "_set_abort_behavior")) {
    setAbortBehavior(0, kAbortMessageAndReport);
  }
  if (const auto signal = EntryOf<SignalHandler(__cdecl*)(int, SignalHandler)>(runtime, "signal")) {
    for (int abortSignal : kAbortSignals) signal(abortSignal, OnAbortSignal);
  }
}

}  // namespace

void TakeOverProcessEnds(HMODULE library, void* end) {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const HMODULE kernelbase = GetModuleHandleW(L"kernelbase.dll");
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  gEnd = reinterpret_cast<EndFunction>(end);
  gTerminateProcess = EntryOf<TerminateFunction>(kernel32, "TerminateProcess");
  gNtTerminateProcess = EntryOf<NtTerminateFunction>(ntdll, "NtTerminateProcess");

  // Takeovers is large for the stack of a thread with little left: static, as it is made once.
  static Takeovers takeovers;
  for (HMODULE system : {kernel32, kernelbase}) {
    takeovers.Add(system, {"ExitProcess", "FatalExit", "FatalAppExitA", "FatalAppExitW"}, end);
    takeovers.Add(system, {"TerminateProcess"}, reinterpret_cast<void*>(&OnTerminateProcess));
  }
  takeovers.Add(ntdll, {"RtlExitUserProcess"}, end);
  takeovers.Add(ntdll, {"NtTerminateProcess", "ZwTerminateProcess"},
                reinterpret_cast<void*>(&OnNtTerminateProcess));

  const auto enumModules =
      EntryOf<BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*)>(kernel32, "K32EnumProcessModules");
  HMODULE modules[512];
  DWORD size = 0;
  if (enumModules == nullptr || !enumModules(GetCurrentProcess(), modules, sizeof modules, &size)) {
    size = 0;
  }
  const DWORD moduleCount = std::min<DWORD>(size / sizeof(HMODULE), std::size(modules));
  for (DWORD i = 0; i < moduleCount; ++i) {
    if (IsRuntime(modules[i])) {
      takeovers.Add(modules[i], {"exit", "_exit", "_Exit", "quick_exit", "abort", "_amsg_exit"},
                    end);
    }
  }
  for (DWORD i = 0; i < moduleCount; ++i) {
    if (!IsRuntime(modules[i])) continue;
    QuietRuntime(modules[i]);
    TakeSlots(modules[i], takeovers);
  }
  if (library == nullptr) return;
  for (HMODULE system : {kernel32, kernelbase}) {
    takeovers.Add(system, {"SetUnhandledExceptionFilter"}, reinterpret_cast<void*>(&OnSetFilter));
  }
  TakeSlots(library, takeovers);
}

}  // namespace faxjob
