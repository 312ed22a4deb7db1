// The crashes a job can ask the stand-in for, each a real one of its kind.
#include "crashes.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>
#endif

namespace zrq {

namespace {

// A real access violation: a store through a null pointer that the compiler
// cannot see is null, so it can neither drop the store nor turn it into a trap.
int* volatile gNowhere = nullptr;

void WriteThroughNull() {
  int* volatile target = gNowhere;
  *static_cast<volatile int*>(target) = 0x2A;
}

// Deep enough to overflow any stack; the compiler cannot tell it is bounded.
volatile std::uint32_t gRecursionDepth = 0xFFFFFFFF;

int Recurse(volatile char* previous, std::uint32_t depth) {
  volatile char frame[256];
  frame[0] = *previous;
  return depth == 0 ? 0 : Recurse(frame, depth - 1) + frame[0];
}

void OverflowTheStack() {
  volatile char start = 0;
  Recurse(&start, gRecursionDepth);
}

// Overwrites a freed block between two live ones, with the bookkeeping the
// allocator keeps beside and inside them.
template <typename Allocate, typename Free>
void OverwriteAroundAFreedBlock(Allocate allocate, Free release) {
  constexpr std::size_t kBlock = 64;
  char* blocks[3];
  for (char*& block : blocks) block = static_cast<char*>(allocate(kBlock));
  release(blocks[1]);
  char* low = blocks[0] < blocks[2] ? blocks[0] : blocks[2];
  char* high = (blocks[0] < blocks[2] ? blocks[2] : blocks[0]) + kBlock;
  // Blocks far apart may have unmapped memory between them.
  if (high - low > 4096) high = low + 2 * kBlock;
  std::memset(low, 0xCC, static_cast<std::size_t>(high - low));
}

[[noreturn]] void IllegalInstruction() {
#ifdef _MSC_VER
  __ud2();
#else
  __builtin_trap();
#endif
}

#ifdef _WIN32

DWORD WINAPI HoldTheHeapLock(void* locked) {
  HeapLock(GetProcessHeap());
  SetEvent(locked);
  Sleep(INFINITE);
  return 0;
}

// Another thread takes the process heap's lock and keeps it.
void LockTheHeap() {
  HANDLE locked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE holder = CreateThread(nullptr, 0, HoldTheHeapLock, locked, 0, nullptr);
  WaitForSingleObject(locked, INFINITE);
  CloseHandle(holder);
  CloseHandle(locked);
}

void SuspendOtherThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId() ||
        entry.th32ThreadID == GetCurrentThreadId()) {
      continue;
    }
    if (HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)) {
      SuspendThread(thread);
      CloseHandle(thread);
    }
  }
  CloseHandle(snapshot);
}

void OverwriteTheHeap() {
  OverwriteAroundAFreedBlock([](std::size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); },
                             [](void* block) { HeapFree(GetProcessHeap(), 0, block); });
}

#else

// The C library offers no way to hold its allocator's lock, nor to suspend
// other threads: those kinds crash like a plain access violation here.
void LockTheHeap() {}
void SuspendOtherThreads() {}
void OverwriteTheHeap() { OverwriteAroundAFreedBlock(std::malloc, std::free); }

#endif

}  // namespace

void Crash(CrashKind kind) {
  switch (kind) {
    case CrashKind::kIllegalInstruction:
      IllegalInstruction();
    case CrashKind::kStackOverflow:
      OverflowTheStack();
      break;
    case CrashKind::kHeapLocked:
      LockTheHeap();
      break;
    case CrashKind::kHeapOverwritten:
      OverwriteTheHeap();
      break;
    case CrashKind::kThreadsSuspended:
      SuspendOtherThreads();
      break;
    case CrashKind::kAccessViolation:
    case CrashKind::kNone:
      break;
  }
  WriteThroughNull();
}

}  // namespace zrq
