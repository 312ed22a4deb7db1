#include "platform/win32/library_exits.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string_view>

#include "platform/fault_path.h"
#include "platform/win32/boxes.h"
#include "platform/win32/import_slots.h"
#include "platform/win32/support.h"
#include "platform/win32/system_calls.h"

namespace faxjob {

using win32::gSystem;

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

using GetProcAddressFunction = FARPROC(WINAPI*)(HMODULE, LPCSTR);
using ResolveDelayLoadedFunction = PVOID(NTAPI*)(PVOID, const IMAGE_DELAYLOAD_DESCRIPTOR*, PVOID,
                                                 PVOID, IMAGE_THUNK_DATA*, ULONG);
using SuspendFunction = DWORD(WINAPI*)(HANDLE);
using CompareFunction = BOOL(WINAPI*)(HANDLE, HANDLE);

// What a module loaded during the run is told of: the layout of LDR_DLL_NOTIFICATION_DATA.
struct DllNotification {
  ULONG flags;
  const void* fullName;  // UNICODE_STRINGs
  const void* baseName;
  void* base;
  ULONG size;
};
using NotificationFunction = VOID(CALLBACK*)(ULONG, const DllNotification*, void*);
using RegisterNotificationFunction = LONG(NTAPI*)(ULONG, NotificationFunction, void*, void**);
constexpr ULONG kDllLoaded = 1;

// Set before any slot leads here, and never changed.
EndFunction gEnd = nullptr;
TerminateFunction gTerminateProcess = nullptr;
NtTerminateFunction gNtTerminateProcess = nullptr;
GetProcAddressFunction gGetProcAddress = nullptr;
ResolveDelayLoadedFunction gResolveDelayLoaded = nullptr;  // Windows 8 and later
ResolveDelayLoadedFunction gLdrResolveDelayLoaded = nullptr;
SuspendFunction gSuspendThread = nullptr;
CompareFunction gCompareObjects = nullptr;  // Windows 10 and later
HANDLE gThisProcess = nullptr;              // a real handle, for the comparison
std::atomic<bool> gLibraryOnly{false};      // the library's own takeovers are in the table
// Takeovers is large for the stack of a thread with little left: a global, made once.
Takeovers gTakeovers;
// The library's own filter: remembered, so that it gets back what it set, but never installed.
std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> gLibraryFilter{nullptr};

// The pseudo-handle or any real handle to this process, whatever its rights: the objects are
// compared, or, where the system cannot, a copy of the handle with the right to ask is asked.
bool IsThisProcess(HANDLE process) {
  if (process == gSystem.GetCurrentProcess()) return true;
  if (process == nullptr) return false;
  if (gCompareObjects != nullptr) return gCompareObjects(process, gThisProcess) != FALSE;
  HANDLE query = nullptr;
  if (!gSystem.DuplicateHandle(gSystem.GetCurrentProcess(), process, gSystem.GetCurrentProcess(),
                               &query, PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
    return false;
  }
  const bool same = gSystem.GetProcessId(query) == gSystem.GetCurrentProcessId();
  gSystem.CloseHandle(query);
  return same;
}

// The thread of a handle, whatever its rights; 0 when it cannot be told.
DWORD ThreadIdOf(HANDLE thread) {
  HANDLE query = nullptr;
  if (!gSystem.DuplicateHandle(gSystem.GetCurrentProcess(), thread, gSystem.GetCurrentProcess(),
                               &query, THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
    return 0;
  }
  const DWORD id = gSystem.GetThreadId(query);
  gSystem.CloseHandle(query);
  return id;
}

// The program's own threads run on: suspended, they could neither end the process nor record.
DWORD WINAPI OnSuspendThread(HANDLE thread) {
  if (fault_path::IsOwnThread(ThreadIdOf(thread))) {
    gSystem.SetLastError(ERROR_ACCESS_DENIED);
    return static_cast<DWORD>(-1);
  }
  return gSuspendThread(thread);
}

// What a library looks up is answered as its import table is: a function taken over gives the
// address of its replacement.
FARPROC WINAPI OnGetProcAddress(HMODULE module, LPCSTR name) {
  const FARPROC found = gGetProcAddress(module, name);
  void* const replacement =
      found != nullptr ? gTakeovers.ReplacementFor(reinterpret_cast<void*>(found)) : nullptr;
  return replacement != nullptr ? reinterpret_cast<FARPROC>(replacement) : found;
}

// A delay-load slot that the system fills itself, as the delay-load helper of its own libraries
// has it do, with no GetProcAddress of the library's: a function taken over leads to its
// replacement, as it does through GetProcAddress.
PVOID Redirected(PVOID found, IMAGE_THUNK_DATA* slot) {
  void* const replacement = found != nullptr ? gTakeovers.ReplacementFor(found) : nullptr;
  if (replacement == nullptr) return found;
  if (slot != nullptr) ReplaceSlot(*slot, replacement);
  return replacement;
}

PVOID NTAPI OnResolveDelayLoaded(PVOID base, const IMAGE_DELAYLOAD_DESCRIPTOR* descriptor,
                                 PVOID libraryHook, PVOID systemHook, IMAGE_THUNK_DATA* slot,
                                 ULONG flags) {
  return Redirected(gResolveDelayLoaded(base, descriptor, libraryHook, systemHook, slot, flags),
                    slot);
}

PVOID NTAPI OnLdrResolveDelayLoaded(PVOID base, const IMAGE_DELAYLOAD_DESCRIPTOR* descriptor,
                                    PVOID libraryHook, PVOID systemHook, IMAGE_THUNK_DATA* slot,
                                    ULONG flags) {
  return Redirected(gLdrResolveDelayLoaded(base, descriptor, libraryHook, systemHook, slot, flags),
                    slot);
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

// A library that asks its runtime for boxes gets text instead, as set at the start.
int __cdecl OnSetErrorMode(int) { return kOutToStandardError; }

// A module that exports the C runtime's abort and signal is a C runtime, whatever its name
// (msvcrt.dll, msvcr*.dll, ucrtbase.dll, an api-ms-win-crt forwarder).
bool IsRuntime(HMODULE module) {
  return module != gSystem.GetModuleHandleW(nullptr) &&
         EntryOf<void*>(module, "abort") != nullptr && EntryOf<void*>(module, "signal") != nullptr;
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

// A runtime's own ways of ending the process.
void AddRuntimeEnds(HMODULE runtime) {
  gTakeovers.Add(runtime, {"exit", "_exit", "_Exit", "quick_exit", "abort", "_amsg_exit"},
                 reinterpret_cast<void*>(gEnd));
  if (gLibraryOnly) {
    gTakeovers.Add(runtime, {"_set_error_mode"}, reinterpret_cast<void*>(&OnSetErrorMode));
  }
}

// Told by its name, not by GetModuleHandleW, which searches the disk for a name
// not loaded yet: every module's load would pay for that search.
bool IsUser32(const void* baseName) {
  const auto* const name = static_cast<const UNICODE_STRING*>(baseName);
  constexpr std::wstring_view kUser32 = L"user32.dll";
  if (name == nullptr || name->Buffer == nullptr || name->Length != kUser32.size() * 2) {
    return false;
  }
  for (std::size_t i = 0; i < kUser32.size(); ++i) {
    const wchar_t c = name->Buffer[i];
    if ((c >= L'A' && c <= L'Z' ? c + 32 : c) != kUser32[i]) return false;
  }
  return true;
}

// A module that a load brings in, taken as the loader reports it: its imports are bound and its
// start-up code has not run yet. A runtime's own start-up has not run either: it is quieted only
// once the load is over.
VOID CALLBACK OnDllLoaded(ULONG reason, const DllNotification* loaded, void*) {
  if (reason != kDllLoaded || loaded == nullptr) return;
  const auto module = static_cast<HMODULE>(loaded->base);
  if (IsRuntime(module)) AddRuntimeEnds(module);
  if (IsUser32(loaded->baseName)) AnswerBoxesAtOnce(module);
  TakeSlots(module, gTakeovers);
}

// Every module loaded now: its runtimes' ends taken over; each runtime quieted and its slots taken.
void TakeRuntimes() {
  const auto enumModules = EntryOf<BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*)>(
      gSystem.GetModuleHandleW(L"kernel32.dll"), "K32EnumProcessModules");
  HMODULE modules[512];
  DWORD size = 0;
  if (enumModules == nullptr ||
      !enumModules(gSystem.GetCurrentProcess(), modules, sizeof modules, &size)) {
    size = 0;
  }
  const DWORD moduleCount = std::min<DWORD>(size / sizeof(HMODULE), std::size(modules));
  for (DWORD i = 0; i < moduleCount; ++i) {
    if (IsRuntime(modules[i])) AddRuntimeEnds(modules[i]);
  }
  for (DWORD i = 0; i < moduleCount; ++i) {
    if (!IsRuntime(modules[i])) continue;
    QuietRuntime(modules[i]);
    TakeSlots(modules[i], gTakeovers);
  }
}

}  // namespace

void TakeOverProcessEnds(HMODULE library, void* end) {
  // Again after the load: USER32 told of as the library's import cannot answer yet.
  AnswerBoxesAtOnce(gSystem.GetModuleHandleW(L"user32.dll"));
  if (library != nullptr) {
    TakeRuntimes();
    TakeSlots(library, gTakeovers);
    return;
  }
  const HMODULE kernel32 = gSystem.GetModuleHandleW(L"kernel32.dll");
  const HMODULE kernelbase = gSystem.GetModuleHandleW(L"kernelbase.dll");
  const HMODULE ntdll = gSystem.GetModuleHandleW(L"ntdll.dll");
  gEnd = reinterpret_cast<EndFunction>(end);
  gTerminateProcess = EntryOf<TerminateFunction>(kernel32, "TerminateProcess");
  gNtTerminateProcess = EntryOf<NtTerminateFunction>(ntdll, "NtTerminateProcess");
  gGetProcAddress = EntryOf<GetProcAddressFunction>(kernel32, "GetProcAddress");
  gResolveDelayLoaded = EntryOf<ResolveDelayLoadedFunction>(kernelbase, "ResolveDelayLoadedAPI");
  gLdrResolveDelayLoaded = EntryOf<ResolveDelayLoadedFunction>(ntdll, "LdrResolveDelayLoadedAPI");
  gSuspendThread = EntryOf<SuspendFunction>(kernel32, "SuspendThread");
  gCompareObjects = EntryOf<CompareFunction>(kernelbase, "CompareObjectHandles");
  if (!gSystem.DuplicateHandle(gSystem.GetCurrentProcess(), gSystem.GetCurrentProcess(),
                               gSystem.GetCurrentProcess(), &gThisProcess, 0, FALSE,
                               DUPLICATE_SAME_ACCESS)) {
    gCompareObjects = nullptr;
  }
  ProtectedFromClose(gThisProcess);

  for (HMODULE system : {kernel32, kernelbase}) {
    gTakeovers.Add(
        system,
        {"ExitProcess", "FatalExit", "FatalAppExitA", "FatalAppExitW", "RaiseFailFastException"},
        end);
    gTakeovers.Add(system, {"TerminateProcess"}, reinterpret_cast<void*>(&OnTerminateProcess));
  }
  gTakeovers.Add(ntdll, {"RtlExitUserProcess"}, end);
  gTakeovers.Add(ntdll, {"NtTerminateProcess", "ZwTerminateProcess"},
                 reinterpret_cast<void*>(&OnNtTerminateProcess));
  TakeRuntimes();

  // For the library and what it loads only: the runtimes already here keep their own.
  for (HMODULE system : {kernel32, kernelbase}) {
    gTakeovers.Add(system, {"SetUnhandledExceptionFilter"}, reinterpret_cast<void*>(&OnSetFilter));
    gTakeovers.Add(system, {"GetProcAddress"}, reinterpret_cast<void*>(&OnGetProcAddress));
    gTakeovers.Add(system, {"SuspendThread"}, reinterpret_cast<void*>(&OnSuspendThread));
  }
  gTakeovers.Add(kernelbase, {"ResolveDelayLoadedAPI"},
                 reinterpret_cast<void*>(&OnResolveDelayLoaded));
  gTakeovers.Add(ntdll, {"LdrResolveDelayLoadedAPI"},
                 reinterpret_cast<void*>(&OnLdrResolveDelayLoaded));
  gLibraryOnly = true;
  const auto registerNotification =
      EntryOf<RegisterNotificationFunction>(ntdll, "LdrRegisterDllNotification");
  void* cookie = nullptr;
  if (registerNotification != nullptr) registerNotification(0, OnDllLoaded, nullptr, &cookie);
}

}  // namespace faxjob
