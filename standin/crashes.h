// The crashes a job can ask the stand-in for, each a real one of its kind.
#pragma once

namespace zrq {

enum class CrashKind {
  kNone,
  kAccessViolation,
  kIllegalInstruction,
  kStackOverflow,
  kHeapLocked,
  kHeapOverwritten,
  kThreadsSuspended,
};

// Crashes as `kind` says; an access violation where nothing more is asked.
void Crash(CrashKind kind);

}  // namespace zrq
