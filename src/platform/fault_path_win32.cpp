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
// A fault does not always reach the filter: the system ends the thread when
// the exception dispatch itself faults, as it does when overwritten heap
// memory held the list of vectored handlers. A third thread watches the
// thread that calls the library and takes the faulting thread's part then.
#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <memory>

#include "platform/failure.h"
#include "platform/fault_path.h"
#include "platform/removal_mark_win32.h"
#include "platform/unique_handle_win32.h"

namespace faxjob::fault_path {

namespace {

// Not every toolchain has an import library for these ntdll exports: looked up, not linked.
using NtCreateFileFunction = decltype(&NtCreateFile);
using FreeUnicodeStringFunction = decltype(&RtlFreeUnicodeString);
// The conversion CreateFileW makes; the result lies on the process heap.
using DosPathToNtPathFunction = BOOLEAN(NTAPI*)(PCWSTR, UNICODE_STRING*, PCWSTR*, void*);

constexpr ULONG kStackGuarantee = 16 * 1024;
constexpr SIZE_T kThreadStack = 64 * 1024;
constexpr DWORD kMillisecondsToRecord = kSecondsToRecord * 1000;
constexpr DWORD kMillisecondsToFinish = 1000;  // after the line is whole: two quick calls
constexpr ACCESS_MASK kWriteAccess = FILE_GENERIC_WRITE | DELETE;

// The recorder's progress: the thread that handles the fault gives up on a
// recorder that has not committed to keeping the line in time.
enum Progress : int { kWorking, kCommitted, kAbandoned };

// Everything the fault path needs, made by Arm and kept until the process
// ends, since its threads use it.
struct Preparation {
  NtCreateFileFunction ntCreateFile = nullptr;
  std::u16string ntPath;
  UNICODE_STRING ntPathString{};  // refers to ntPath
  std::string errorLine;
  UniqueKernelObject faultSeen;   // an event
  UniqueKernelObject mainThread;  // the thread that armed the fault path and calls the library
  DWORD mainThreadId = 0;
  UniqueKernelObject recorder;
  UniqueKernelObject watcher;
  std::atomic<bool> armed{false};
  std::atomic<bool> faulted{false};
  std::atomic<int> progress{kWorking};
};

// The filter has no other way to reach the preparation than a global.
std::unique_ptr<Preparation> gPreparation;

template <typename Function>
Function NtdllEntry(const char* name) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

[[noreturn]] void End(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  WaitForTheEnd();
}

UniqueKernelObject OpenReport(Preparation& prepared, ACCESS_MASK access, ULONG sharing,
                              ULONG disposition) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &prepared.ntPathString, OBJ_CASE_INSENSITIVE, nullptr,
                             nullptr);
  IO_STATUS_BLOCK status;
  HANDLE file = nullptr;
  const NTSTATUS result = prepared.ntCreateFile(
      &file, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, sharing,
      disposition, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  return UniqueKernelObject(result >= 0 ? file : nullptr);
}

bool AppendLine(HANDLE file, const std::string& line) {
  const char* data = line.data();
  DWORD left = static_cast<DWORD>(line.size());
  while (left > 0) {
    OVERLAPPED atTheEnd{};
    atTheEnd.Offset = atTheEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    if (!WriteFile(file, data, left, &written, &atTheEnd) || written == 0) return false;
    data += written;
    left -= written;
  }
  return true;
}

bool Commit(Preparation& prepared) {
  int working = kWorking;
  return prepared.progress.compare_exchange_strong(working, kCommitted);
}

// Appends the line to the report; true when the report keeps it. Until the
// line is whole the report is marked for deletion.
bool AddLine(Preparation& prepared, HANDLE file) {
  if (file == nullptr) return false;
  const bool marked = SetRemovalMark(file, true);
  return AppendLine(file, prepared.errorLine) && Commit(prepared) &&
         (!marked || SetRemovalMark(file, false));
}

void RemoveReport(Preparation& prepared, HANDLE runFile) {
  if (runFile != nullptr && SetRemovalMark(runFile, true)) return;
  const ULONG anySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (const UniqueKernelObject file = OpenReport(prepared, DELETE, anySharing, FILE_OPEN)) {
    SetRemovalMark(file.Get(), true);
  }
}

bool RecordErrorLine(Preparation& prepared) {
  HANDLE runFile = nullptr;
  switch (gReport.TakeOver(runFile)) {
    case Report::kUntouched:
      return AddLine(prepared,
                     OpenReport(prepared, kWriteAccess, FILE_SHARE_READ, FILE_OVERWRITE_IF).Get());
    case Report::kClosed:
      return AddLine(prepared,
                     OpenReport(prepared, kWriteAccess, FILE_SHARE_READ, FILE_OPEN).Get());
    case Report::kOpen:
      return AddLine(prepared, runFile);
    default:
      RemoveReport(prepared, runFile);
      return false;
  }
}

DWORD WINAPI RunRecorder(void* parameter) {
  Preparation& prepared = *static_cast<Preparation*>(parameter);
  WaitForSingleObject(prepared.faultSeen.Get(), INFINITE);
  End(RecordErrorLine(prepared) ? kLineRecorded : kNothingRecorded);
}

// Wakes the recorder and gives it a few seconds to end the process.
[[noreturn]] void HandleFault(Preparation& prepared) {
  if (!prepared.armed) End(kNothingRecorded);
  if (prepared.faulted.exchange(true)) WaitForTheEnd();  // another fault is being recorded
  SetEvent(prepared.faultSeen.Get());
  if (WaitForSingleObject(prepared.recorder.Get(), kMillisecondsToRecord) == WAIT_TIMEOUT) {
    int working = kWorking;
    if (!prepared.progress.compare_exchange_strong(working, kAbandoned)) {
      // The line is whole: the recorder's last two calls are under way.
      WaitForSingleObject(prepared.recorder.Get(), kMillisecondsToFinish);
    }
  }
  End(kNothingRecorded);
}

// The main thread ends only with the process, unless the system ended it for a fault.
DWORD WINAPI WatchMainThread(void* parameter) {
  Preparation& prepared = *static_cast<Preparation*>(parameter);
  WaitForSingleObject(prepared.mainThread.Get(), INFINITE);
  HandleFault(prepared);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS*) { HandleFault(*gPreparation); }

// Where the library's own calls that end the process lead. Stdcall, like
// ExitProcess; for the runtime's cdecl calls the difference never shows,
// since it never returns.
[[noreturn]] void WINAPI OnLibraryEndingProcess(UINT) {
  Preparation* prepared = gPreparation.get();
  if (prepared != nullptr && prepared->armed) HandleFault(*prepared);
  // The run is over: it ends the process itself, with its own status.
  if (prepared == nullptr || GetCurrentThreadId() != prepared->mainThreadId) WaitForTheEnd();
  End(kNothingRecorded);
}

UniqueKernelObject StartThread(LPTHREAD_START_ROUTINE run, Preparation& prepared) {
  UniqueKernelObject thread(CreateThread(nullptr, kThreadStack, run, &prepared,
                                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!thread) throw Failure(kOutOfMemory);
  return thread;
}

}  // namespace

void WaitForTheEnd() {
  for (;;) Sleep(INFINITE);
}

void Pause() { Sleep(1); }

void Arm(const NativePath& reportPath, std::string_view errorLine) {
  auto prepared = std::make_unique<Preparation>();
  prepared->ntCreateFile = NtdllEntry<NtCreateFileFunction>("NtCreateFile");
  const auto toNtPath = NtdllEntry<DosPathToNtPathFunction>("RtlDosPathNameToNtPathName_U");
  const auto freeString = NtdllEntry<FreeUnicodeStringFunction>("RtlFreeUnicodeString");
  UNICODE_STRING converted{};
  if (prepared->ntCreateFile == nullptr || toNtPath == nullptr || freeString == nullptr ||
      !toNtPath(reinterpret_cast<PCWSTR>(reportPath.c_str()), &converted, nullptr, nullptr)) {
    throw Failure(kOutOfMemory);
  }
  prepared->ntPath.assign(reinterpret_cast<const char16_t*>(converted.Buffer),
                          converted.Length / sizeof(wchar_t));
  freeString(&converted);
  prepared->ntPathString.Length = prepared->ntPathString.MaximumLength =
      static_cast<USHORT>(prepared->ntPath.size() * sizeof(wchar_t));
  prepared->ntPathString.Buffer = reinterpret_cast<PWSTR>(prepared->ntPath.data());
  prepared->errorLine = errorLine;

  HANDLE mainThread = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainThread,
                       SYNCHRONIZE, FALSE, 0)) {
    throw Failure(kOutOfMemory);
  }
  prepared->mainThread.Reset(mainThread);
  prepared->mainThreadId = GetCurrentThreadId();
  prepared->faultSeen.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  // Windows hands a stack overflow to the filter on what is left of the stack.
  ULONG guarantee = kStackGuarantee;
  if (!prepared->faultSeen || !SetThreadStackGuarantee(&guarantee)) {
    throw Failure(kOutOfMemory);
  }
  Preparation& kept = *(gPreparation = std::move(prepared));
  kept.recorder = StartThread(RunRecorder, kept);
  kept.watcher = StartThread(WatchMainThread, kept);
  kept.armed = true;
  SetUnhandledExceptionFilter(OnUnhandledException);
}

void* LibraryEndingProcess() { return reinterpret_cast<void*>(&OnLibraryEndingProcess); }

void Disarm() {
  if (gPreparation != nullptr) gPreparation->armed = false;
}

}  // namespace faxjob::fault_path
