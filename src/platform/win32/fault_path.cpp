// The fault path on Windows.
//
// Arm starts a recorder thread that waits for a fault. The unhandled-exception
// filter (not a vectored handler: the library may handle its own exceptions)
// runs on the faulting thread, which may have no stack left after an
// overflow, so it only wakes the recorder and gives it a few seconds. The
// recorder reaches the report through system calls alone: NtCreateFile with
// the report's NT path made in advance, because CreateFileW makes it on the
// process heap, which a broken library may hold locked or have overwritten.
// The process ends by TerminateProcess: ExitProcess would run the detach code
// of every library, which takes locks.
//
// A library that ends the process itself (ExitProcess, its runtime's exit)
// would end it with a status of its choosing and leave the report as it
// stands; its imports of those calls lead here instead, and the call is
// recorded like a fault.
//
// The process ends once, by one owner: the first of a fault and the run's own
// end to claim it. A fault after the run's claim ends the process with the
// run's status and touches no file; the run's end after a fault's claim waits
// for the fault path. Both stay armed from the library's load until the end.
//
// A fault does not always reach the filter: the system ends the thread when
// the exception dispatch itself faults, as it does when overwritten heap
// memory held the list of vectored handlers. A third thread watches the
// thread that calls the library and takes the faulting thread's part then.
#include "platform/fault_path.h"

#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/failure.h"
#include "platform/platform.h"
#include "platform/win32/fault_record.h"
#include "platform/win32/support.h"
#include "platform/win32/system_calls.h"

namespace faxjob::fault_path {

using win32::gSystem;

namespace {

// What changes while the fault path is armed: plain globals, not heap blocks.
const Prepared* gPrepared = nullptr;  // read-only once armed
std::atomic<bool> gArmed{false};
std::atomic<bool> gReserveStackTaken{false};

// The process's end, decided once by whoever comes first: a fault, which then records and ends
// the process, or the run, whose exit status then ends it whoever ends it.
constexpr int kUndecided = -1;
constexpr int kRecording = -2;
std::atomic<int> gEnd{kUndecided};

[[noreturn]] void End(int status) {
  gSystem.TerminateProcess(gSystem.GetCurrentProcess(), static_cast<UINT>(status));
  WaitForTheEnd();
}

// True when the fault now owns the end; where the run decided it first, its status ends the
// process at once, and the report stays as the run left it.
bool ClaimForFault() {
  int decided = kUndecided;
  if (gEnd.compare_exchange_strong(decided, kRecording)) return true;
  if (decided >= 0) End(decided);
  return false;  // another fault records
}

// A failed wait (a handle closed after all) is time waited out, never an event.
DWORD WaitChecked(HANDLE object, DWORD milliseconds) {
  const DWORD result = gSystem.WaitForSingleObject(object, milliseconds);
  if (result != WAIT_FAILED) return result;
  gSystem.Sleep(milliseconds == INFINITE ? kMillisecondsToPoll : milliseconds);
  return WAIT_TIMEOUT;
}

DWORD WINAPI RunRecorder(void* parameter) {
  const Prepared& prepared = *static_cast<const Prepared*>(parameter);
  gSystem.SetEvent(prepared.recorderReady);
  // Only a fault wakes it (its claim comes before the event), not an event
  // handle closed, or whose value now names another object.
  while (gEnd != kRecording) {
    if (WaitChecked(prepared.faultSeen, INFINITE) == WAIT_OBJECT_0 && gEnd != kRecording) {
      gSystem.Sleep(kMillisecondsToPoll);
    }
  }
  End(RecordErrorLine(prepared));
}

// Wakes the recorder and gives it a few seconds to end the process.
[[noreturn]] void HandleFault(const Prepared& prepared) {
  if (!ClaimForFault()) WaitForTheEnd();
  if (!gArmed) End(kNothingRecorded);
  gSystem.SetEvent(prepared.faultSeen);
  if (WaitChecked(prepared.recorder, kMillisecondsToRecord) == WAIT_TIMEOUT) {
    int working = kWorking;
    if (!gProgress.compare_exchange_strong(working, kAbandoned)) {
      // The line is whole: the recorder's last two calls are under way.
      WaitChecked(prepared.recorder, kMillisecondsToFinish);
    }
  }
  End(kNothingRecorded);
}

// The main thread ends only with the process, unless the system ended it for a fault. A
// signalled thread has ended, whatever exit code it gave (STILL_ACTIVE included). A failed wait
// is no end of the thread: it is found again by its id. Only a thread that has ended, or is gone
// with every handle to it, counts.
DWORD WINAPI WatchMainThread(void* parameter) {
  const Prepared& prepared = *static_cast<const Prepared*>(parameter);
  gSystem.SetEvent(prepared.watcherReady);
  HANDLE mainThread = prepared.mainThread;
  UniqueKernelObject foundAgain;
  while (gSystem.WaitForSingleObject(mainThread, INFINITE) != WAIT_OBJECT_0) {
    foundAgain = UniqueKernelObject(gSystem.OpenThread(SYNCHRONIZE, FALSE, prepared.mainThreadId));
    if (!foundAgain) break;
    mainThread = foundAgain.Get();
    gSystem.Sleep(kMillisecondsToPoll);
  }
  HandleFault(prepared);
}

[[noreturn]] void HandleFaultOnReserveStack() { HandleFault(*gPrepared); }

// After a stack overflow, what is left of the thread's stack may not hold even the wait for the
// recorder: a second overflow there ends the process before the report has its line and its
// name. The thread goes on, for good, on a stack of its own; its own is never used again.
[[noreturn]] void SwitchToReserveStack(const Prepared& prepared) {
  char* const top = prepared.reserveStack + kReserveStack;
  // The thread's stack bounds in its information block (fs:4, fs:8), then the stack itself.
  __asm__ volatile("movl %0, %%fs:4\n\tmovl %1, %%fs:8\n\tmovl %2, %%esp\n\tcall *%3"
                   :
                   : "r"(top), "r"(prepared.reserveStack), "r"(top - 16),
                     "r"(&HandleFaultOnReserveStack)
                   : "memory");
  __builtin_unreachable();
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
  if (gPrepared == nullptr) End(kNothingRecorded);
  if (exception != nullptr && exception->ExceptionRecord != nullptr &&
      exception->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW &&
      !gReserveStackTaken.exchange(true)) {
    SwitchToReserveStack(*gPrepared);
  }
  HandleFault(*gPrepared);
}

// Where the library's own calls that end the process lead, on any thread and at any time: a
// fault until the run's end is decided, the run's status after. Stdcall, like ExitProcess; for
// the runtime's cdecl calls the difference never shows, since it never returns.
[[noreturn]] void WINAPI OnLibraryEndingProcess(UINT) {
  const Prepared* prepared = gPrepared;
  if (prepared == nullptr) End(kNothingRecorded);
  HandleFault(*prepared);
}

// The last net, on Windows only (Wine does not call it): an end that nothing above saw, such as
// ExitProcess found by GetProcAddress, still calls the program's TLS callbacks with the process's
// detach, once every other thread has ended; the line is recorded on the ending thread then
// whenever the run was still working, also where a fault's recording ended with its thread.
// TerminateProcess calls nothing.
void NTAPI OnProcessDetach(void*, DWORD reason, void*) {
  const Prepared* prepared = gPrepared;
  if (reason != DLL_PROCESS_DETACH || prepared == nullptr || !gArmed) return;
  int decided = kUndecided;
  if (gEnd.compare_exchange_strong(decided, kRecording) || decided == kRecording) {
    End(RecordErrorLine(*prepared, false));
  }
  End(decided);
}

// The runtime's TLS directory calls every callback placed between .CRT$XLA and .CRT$XLZ.
extern "C" __attribute__((section(".CRT$XLF"), used))
const PIMAGE_TLS_CALLBACK faxjobProcessDetach = OnProcessDetach;

HANDLE StartThread(LPTHREAD_START_ROUTINE run, const Prepared& prepared, DWORD& id) {
  const HANDLE thread =
      gSystem.CreateThread(nullptr, kThreadStack, run, const_cast<Prepared*>(&prepared),
                           STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
  if (thread == nullptr) throw Failure(kOutOfMemory);
  return ProtectedFromClose(thread);
}

}  // namespace

void WaitForTheEnd() {
  for (;;) gSystem.Sleep(INFINITE);
}

void Pause() { gSystem.Sleep(1); }

void Arm(const NativePath& reportPath, std::string_view errorLine) {
  std::size_t size = 0;
  Prepared& prepared = PrepareRecord(reportPath, errorLine, size);

  HANDLE mainThread = nullptr;
  if (!gSystem.DuplicateHandle(gSystem.GetCurrentProcess(), gSystem.GetCurrentThread(),
                               gSystem.GetCurrentProcess(), &mainThread, 0, FALSE,
                               DUPLICATE_SAME_ACCESS)) {
    throw Failure(kOutOfMemory);
  }
  prepared.mainThread = ProtectedFromClose(mainThread);
  prepared.mainThreadId = gSystem.GetCurrentThreadId();
  prepared.faultSeen = ProtectedFromClose(gSystem.CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const UniqueKernelObject recorderReady(gSystem.CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const UniqueKernelObject watcherReady(gSystem.CreateEventW(nullptr, TRUE, FALSE, nullptr));
  // Windows hands a stack overflow to the filter on what is left of the stack.
  ULONG guarantee = kStackGuarantee;
  if (prepared.faultSeen == nullptr || !recorderReady || !watcherReady ||
      !gSystem.SetThreadStackGuarantee(&guarantee)) {
    throw Failure(kOutOfMemory);
  }
  prepared.reserveStack = static_cast<char*>(
      gSystem.VirtualAlloc(nullptr, kReserveStack, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (prepared.reserveStack == nullptr) throw Failure(kOutOfMemory);
  prepared.recorderReady = recorderReady.Get();
  prepared.watcherReady = watcherReady.Get();
  prepared.recorder = StartThread(RunRecorder, prepared, prepared.recorderId);
  prepared.watcher = StartThread(WatchMainThread, prepared, prepared.watcherId);
  DWORD protection;
  if (!gSystem.VirtualProtect(&prepared, size, PAGE_READONLY, &protection)) {
    throw Failure(kOutOfMemory);
  }
  gPrepared = &prepared;
  // A fault in the library's start-up code must find both threads waiting. A thread's start runs
  // the attach code of every library loaded (a virus scanner's, an input method's): bounded.
  const HANDLE ready[] = {recorderReady.Get(), watcherReady.Get()};
  if (gSystem.WaitForMultipleObjects(2, ready, TRUE, kMillisecondsToStart) != WAIT_OBJECT_0) {
    throw Failure(kOutOfMemory);
  }
  gArmed = true;
  InstallHandler();
}

void InstallHandler() { gSystem.SetUnhandledExceptionFilter(OnUnhandledException); }

void CallUntrusted(void (*call)(void* context), void* context) {
  InstallHandler();
  // The x87 unit's control word and SSE's control register: what the program reads numbers with.
  unsigned short x87Control;
  unsigned int sseControl;
  __asm__ volatile("fnstcw %0\n\tstmxcsr %1" : "=m"(x87Control), "=m"(sseControl));
  call(context);
  // fninit empties the register stack too: left full, every later load would give a NaN.
  __asm__ volatile("fninit\n\tfldcw %0\n\tldmxcsr %1" : : "m"(x87Control), "m"(sseControl));
  InstallHandler();
}

void* LibraryEndingProcess() { return reinterpret_cast<void*>(&OnLibraryEndingProcess); }

void DecideEnd(int status) {
  int decided = kUndecided;
  if (!gEnd.compare_exchange_strong(decided, status) && decided < 0) WaitForTheEnd();
}

bool IsOwnThread(unsigned long threadId) {
  const Prepared* prepared = gPrepared;
  return prepared != nullptr && threadId != 0 &&
         (threadId == prepared->mainThreadId || threadId == prepared->recorderId ||
          threadId == prepared->watcherId);
}

void EndProcess(int status) {
  DecideEnd(status);
  End(gEnd);
}

}  // namespace faxjob::fault_path
