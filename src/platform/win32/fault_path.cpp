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
#include "platform/win32/support.h"

namespace faxjob::fault_path {

namespace {

// Not every toolchain has an import library for these ntdll exports: looked up, not linked.
using NtCreateFileFunction = decltype(&NtCreateFile);
using NtSetInformationFileFunction = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
constexpr int kFileRenameInformation = 10;
using FreeUnicodeStringFunction = decltype(&RtlFreeUnicodeString);
// The conversion CreateFileW makes; the result lies on the process heap.
using DosPathToNtPathFunction = BOOLEAN(NTAPI*)(PCWSTR, UNICODE_STRING*, PCWSTR*, void*);

constexpr ULONG kStackGuarantee = 16 * 1024;
constexpr SIZE_T kThreadStack = 64 * 1024;
constexpr DWORD kMillisecondsToRecord = kSecondsToRecord * 1000;
constexpr DWORD kMillisecondsToFinish = 1000;  // after the line is whole: two quick calls
constexpr DWORD kMillisecondsToPoll = 10;      // where a handle's wait has failed
constexpr ACCESS_MASK kWriteAccess = FILE_GENERIC_WRITE | DELETE;

// The recorder's progress: the thread that handles the fault gives up on a
// recorder that has not committed to keeping the line in time.
enum Progress : int { kWorking, kCommitted, kAbandoned };

// Everything the fault path needs, written once by Arm into pages of its own
// and then made read-only: a library that overwrites heap memory, or writes
// through a stale pointer, cannot reach it. The handles stay open until the
// process ends, since the fault path's threads use them.
struct Prepared {
  NtCreateFileFunction ntCreateFile;
  NtSetInformationFileFunction ntSetInformationFile;
  UNICODE_STRING ntPath;               // the text follows this record
  UNICODE_STRING ntTemporaryPath;      // a name of its own for a new report; so does this text
  FILE_RENAME_INFO* renameOntoReport;  // and this record
  DWORD renameSize;
  const char* errorLine;  // so does the line
  DWORD errorLineSize;
  DWORD errorLineCheck;  // the line is written only while it still matches
  HANDLE faultSeen;      // an event
  HANDLE mainThread;     // the thread that armed the fault path and calls the library
  DWORD mainThreadId;
  HANDLE recorder;
  HANDLE watcher;
  HANDLE recorderReady;  // events, for Arm only
  HANDLE watcherReady;
};

// What changes while the fault path is armed: plain globals, not heap blocks.
const Prepared* gPrepared = nullptr;  // read-only once armed
std::atomic<bool> gArmed{false};
std::atomic<bool> gFaulted{false};
std::atomic<int> gProgress{kWorking};

// FNV-1a: enough to tell a line that something wrote over from the one Arm made.
DWORD CheckOf(const char* data, DWORD size) {
  DWORD hash = 2166136261u;
  for (DWORD i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 16777619u;
  return hash;
}

[[noreturn]] void End(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  WaitForTheEnd();
}

UniqueKernelObject OpenFile(const Prepared& prepared, const UNICODE_STRING& ntPath,
                            ACCESS_MASK access, ULONG sharing, ULONG disposition) {
  OBJECT_ATTRIBUTES attributes;
  UNICODE_STRING path = ntPath;  // the call takes it as changeable
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK status;
  HANDLE file = nullptr;
  const NTSTATUS result = prepared.ntCreateFile(
      &file, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, sharing,
      disposition, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  return UniqueKernelObject(result >= 0 ? ProtectedFromClose(file) : nullptr);
}

bool AppendLine(HANDLE file, const char* data, DWORD left) {
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

bool Commit() {
  int working = kWorking;
  return gProgress.compare_exchange_strong(working, kCommitted);
}

UniqueKernelObject OpenReport(const Prepared& prepared, ACCESS_MASK access, ULONG sharing,
                              ULONG disposition) {
  return OpenFile(prepared, prepared.ntPath, access, sharing, disposition);
}

bool RenameOntoReport(const Prepared& prepared, HANDLE file) {
  IO_STATUS_BLOCK status;
  return prepared.ntSetInformationFile(file, &status, prepared.renameOntoReport,
                                       prepared.renameSize, kFileRenameInformation) >= 0;
}

// Appends the line to the report; true when the report keeps it. Until the
// line is whole the report is marked for deletion; one still under a name of
// its own then takes the report's name.
bool AddLine(const Prepared& prepared, HANDLE file, bool underItsOwnName) {
  if (file == nullptr) return false;
  const bool marked = SetDeleteDisposition(file, true);
  if (!AppendLine(file, prepared.errorLine, prepared.errorLineSize) || !Commit() ||
      (marked && !SetDeleteDisposition(file, false))) {
    return false;
  }
  if (!underItsOwnName || RenameOntoReport(prepared, file)) return true;
  SetDeleteDisposition(file, true);
  return false;
}

void RemoveReport(const Prepared& prepared, HANDLE runFile, bool underItsOwnName) {
  if (runFile != nullptr && SetDeleteDisposition(runFile, true)) return;
  if (underItsOwnName) return;  // nothing of this run's lies under the report's name
  const ULONG anySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (const UniqueKernelObject file = OpenReport(prepared, DELETE, anySharing, FILE_OPEN)) {
    SetDeleteDisposition(file.Get(), true);
  }
}

bool RecordErrorLine(const Prepared& prepared, bool othersRun = true) {
  HANDLE runFile = nullptr;
  const char16_t* temporaryName = nullptr;
  const Report stage = gReport.TakeOver(runFile, temporaryName, othersRun);
  const bool underItsOwnName = temporaryName != nullptr;
  // A line that something wrote over is never written: no report instead.
  if (CheckOf(prepared.errorLine, prepared.errorLineSize) != prepared.errorLineCheck) {
    if (stage != Report::kUntouched) RemoveReport(prepared, runFile, underItsOwnName);
    return false;
  }
  switch (ErrorLineAt(stage)) {
    case ErrorLine::kCreate:
      // Under a name of its own until the line is whole, as the run writes a report.
      return AddLine(prepared,
                     OpenFile(prepared, prepared.ntTemporaryPath, kWriteAccess, FILE_SHARE_READ,
                              FILE_OVERWRITE_IF)
                         .Get(),
                     true);
    case ErrorLine::kAppendToClosed:
      return AddLine(prepared, OpenReport(prepared, kWriteAccess, FILE_SHARE_READ, FILE_OPEN).Get(),
                     false);
    case ErrorLine::kAppendToOpen:
      return AddLine(prepared, runFile, underItsOwnName);
    case ErrorLine::kRemove:
      break;
  }
  RemoveReport(prepared, runFile, underItsOwnName);
  return false;
}

// A failed wait (a handle closed after all) is time waited out, never an event.
DWORD WaitChecked(HANDLE object, DWORD milliseconds) {
  const DWORD result = WaitForSingleObject(object, milliseconds);
  if (result != WAIT_FAILED) return result;
  Sleep(milliseconds == INFINITE ? kMillisecondsToPoll : milliseconds);
  return WAIT_TIMEOUT;
}

DWORD WINAPI RunRecorder(void* parameter) {
  const Prepared& prepared = *static_cast<const Prepared*>(parameter);
  SetEvent(prepared.recorderReady);
  // Only a fault wakes it (gFaulted is set before the event), not an event
  // handle closed, or whose value now names another object.
  while (!gFaulted) {
    if (WaitChecked(prepared.faultSeen, INFINITE) == WAIT_OBJECT_0 && !gFaulted) {
      Sleep(kMillisecondsToPoll);
    }
  }
  End(RecordErrorLine(prepared) ? kLineRecorded : kNothingRecorded);
}

// Wakes the recorder and gives it a few seconds to end the process.
[[noreturn]] void HandleFault(const Prepared& prepared) {
  if (!gArmed) End(kNothingRecorded);
  if (gFaulted.exchange(true)) WaitForTheEnd();  // another fault is being recorded
  SetEvent(prepared.faultSeen);
  if (WaitChecked(prepared.recorder, kMillisecondsToRecord) == WAIT_TIMEOUT) {
    int working = kWorking;
    if (!gProgress.compare_exchange_strong(working, kAbandoned)) {
      // The line is whole: the recorder's last two calls are under way.
      WaitChecked(prepared.recorder, kMillisecondsToFinish);
    }
  }
  End(kNothingRecorded);
}

// The main thread ends only with the process, unless the system ended it for a fault.
// A failed wait is no end of the thread: it is found again by its id. Only a
// thread that has ended, or is gone with every handle to it, counts.
DWORD WINAPI WatchMainThread(void* parameter) {
  const Prepared& prepared = *static_cast<const Prepared*>(parameter);
  SetEvent(prepared.watcherReady);
  HANDLE mainThread = prepared.mainThread;
  UniqueKernelObject foundAgain;
  for (;;) {
    DWORD exitCode = 0;
    if (WaitForSingleObject(mainThread, INFINITE) == WAIT_OBJECT_0 &&
        GetExitCodeThread(mainThread, &exitCode) && exitCode != STILL_ACTIVE) {
      break;
    }
    foundAgain = UniqueKernelObject(
        OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, prepared.mainThreadId));
    if (!foundAgain) break;
    mainThread = foundAgain.Get();
    Sleep(kMillisecondsToPoll);
  }
  HandleFault(prepared);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS*) {
  if (gPrepared == nullptr) End(kNothingRecorded);
  HandleFault(*gPrepared);
}

// Where the library's own calls that end the process lead. Stdcall, like
// ExitProcess; for the runtime's cdecl calls the difference never shows,
// since it never returns.
[[noreturn]] void WINAPI OnLibraryEndingProcess(UINT) {
  const Prepared* prepared = gPrepared;
  if (prepared != nullptr && gArmed) HandleFault(*prepared);
  // The run is over: it ends the process itself, with its own status.
  if (prepared == nullptr || GetCurrentThreadId() != prepared->mainThreadId) WaitForTheEnd();
  End(kNothingRecorded);
}

// The last net, on Windows only (Wine does not call it): an end that nothing above saw, such as
// ExitProcess found by GetProcAddress, still calls the program's TLS callbacks with the process's
// detach, once every other thread has ended; the line is recorded on the ending thread then.
// TerminateProcess calls nothing.
void NTAPI OnProcessDetach(void*, DWORD reason, void*) {
  const Prepared* prepared = gPrepared;
  if (reason != DLL_PROCESS_DETACH || prepared == nullptr || !gArmed || gFaulted.exchange(true)) {
    return;
  }
  End(RecordErrorLine(*prepared, false) ? kLineRecorded : kNothingRecorded);
}

// The runtime's TLS directory calls every callback placed between .CRT$XLA and .CRT$XLZ.
extern "C" __attribute__((section(".CRT$XLF"), used))
const PIMAGE_TLS_CALLBACK faxjobProcessDetach = OnProcessDetach;

HANDLE StartThread(LPTHREAD_START_ROUTINE run, const Prepared& prepared) {
  const HANDLE thread = CreateThread(nullptr, kThreadStack, run, const_cast<Prepared*>(&prepared),
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) throw Failure(kOutOfMemory);
  return ProtectedFromClose(thread);
}

// Pages of their own, never given back: the fault path needs them until the process ends.
Prepared& AllocatePrepared(std::size_t size) {
  void* pages = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (pages == nullptr) throw Failure(kOutOfMemory);
  return *static_cast<Prepared*>(pages);
}

}  // namespace

void WaitForTheEnd() {
  for (;;) Sleep(INFINITE);
}

void Pause() { Sleep(1); }

// The NT form of a path, as NtCreateFile takes it, in a heap block to copy.
class NtPath {
 public:
  NtPath(DosPathToNtPathFunction toNtPath, FreeUnicodeStringFunction freeString,
         const NativePath& path)
      : freeString_(freeString) {
    if (!toNtPath(reinterpret_cast<PCWSTR>(path.c_str()), &converted_, nullptr, nullptr)) {
      throw Failure(kOutOfMemory);
    }
  }
  NtPath(const NtPath&) = delete;
  NtPath& operator=(const NtPath&) = delete;
  ~NtPath() { freeString_(&converted_); }

  std::size_t size() const { return converted_.Length; }
  // Copies the text to `at` and points `path` at the copy; returns where the copy ends.
  char* CopyTo(char* at, UNICODE_STRING& path) const {
    std::memcpy(at, converted_.Buffer, converted_.Length);
    path.Length = path.MaximumLength = converted_.Length;
    path.Buffer = reinterpret_cast<PWSTR>(at);
    return at + converted_.Length;
  }

 private:
  FreeUnicodeStringFunction freeString_;
  UNICODE_STRING converted_{};
};

void Arm(const NativePath& reportPath, std::string_view errorLine) {
  const auto ntCreateFile = NtdllEntry<NtCreateFileFunction>("NtCreateFile");
  const auto ntSetInformationFile =
      NtdllEntry<NtSetInformationFileFunction>("NtSetInformationFile");
  const auto toNtPath = NtdllEntry<DosPathToNtPathFunction>("RtlDosPathNameToNtPathName_U");
  const auto freeString = NtdllEntry<FreeUnicodeStringFunction>("RtlFreeUnicodeString");
  if (ntCreateFile == nullptr || ntSetInformationFile == nullptr || toNtPath == nullptr ||
      freeString == nullptr) {
    throw Failure(kOutOfMemory);
  }
  const std::string process = std::to_string(GetCurrentProcessId());
  const NativePath temporaryPath =
      reportPath.substr(0, reportPath.rfind(u'\\') + 1) + std::u16string(kLeftoverPrefix) +
      std::u16string(process.begin(), process.end()) + u"-0" + std::u16string(kLeftoverSuffix);
  const NtPath report(toNtPath, freeString, reportPath);
  const NtPath temporary(toNtPath, freeString, temporaryPath);
  const std::size_t renameSize = (offsetof(FILE_RENAME_INFO, FileName) + report.size() + 3) & ~3u;
  const std::size_t size =
      sizeof(Prepared) + report.size() + temporary.size() + 4 + renameSize + errorLine.size();
  Prepared& prepared = AllocatePrepared(size);
  char* at = report.CopyTo(reinterpret_cast<char*>(&prepared + 1), prepared.ntPath);
  at = temporary.CopyTo(at, prepared.ntTemporaryPath);
  at += (4 - reinterpret_cast<std::uintptr_t>(at) % 4) % 4;  // up to a multiple of 4
  prepared.renameOntoReport = reinterpret_cast<FILE_RENAME_INFO*>(at);
  prepared.renameOntoReport->ReplaceIfExists = TRUE;
  prepared.renameOntoReport->RootDirectory = nullptr;
  prepared.renameOntoReport->FileNameLength = static_cast<DWORD>(report.size());
  UNICODE_STRING renameText;
  report.CopyTo(at + offsetof(FILE_RENAME_INFO, FileName), renameText);
  prepared.renameSize = static_cast<DWORD>(renameSize);
  char* const line = at + renameSize;
  std::memcpy(line, errorLine.data(), errorLine.size());
  prepared.errorLine = line;
  prepared.errorLineSize = static_cast<DWORD>(errorLine.size());
  prepared.errorLineCheck = CheckOf(line, prepared.errorLineSize);
  prepared.ntCreateFile = ntCreateFile;
  prepared.ntSetInformationFile = ntSetInformationFile;

  HANDLE mainThread = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainThread,
                       SYNCHRONIZE, FALSE, 0)) {
    throw Failure(kOutOfMemory);
  }
  prepared.mainThread = ProtectedFromClose(mainThread);
  prepared.mainThreadId = GetCurrentThreadId();
  prepared.faultSeen = ProtectedFromClose(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const UniqueKernelObject recorderReady(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const UniqueKernelObject watcherReady(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  // Windows hands a stack overflow to the filter on what is left of the stack.
  ULONG guarantee = kStackGuarantee;
  if (prepared.faultSeen == nullptr || !recorderReady || !watcherReady ||
      !SetThreadStackGuarantee(&guarantee)) {
    throw Failure(kOutOfMemory);
  }
  prepared.recorderReady = recorderReady.Get();
  prepared.watcherReady = watcherReady.Get();
  prepared.recorder = StartThread(RunRecorder, prepared);
  prepared.watcher = StartThread(WatchMainThread, prepared);
  DWORD protection;
  if (!VirtualProtect(&prepared, size, PAGE_READONLY, &protection)) {
    throw Failure(kOutOfMemory);
  }
  gPrepared = &prepared;
  // A fault in the library's start-up code must find both threads waiting.
  const HANDLE ready[] = {recorderReady.Get(), watcherReady.Get()};
  WaitForMultipleObjects(2, ready, TRUE, INFINITE);
  gArmed = true;
  InstallHandler();
}

void InstallHandler() { SetUnhandledExceptionFilter(OnUnhandledException); }

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

void Disarm() { gArmed = false; }

}  // namespace faxjob::fault_path
