// The fault path on POSIX, for the host build.
//
// The signal handler runs on a stack of its own, so that it still runs after
// a stack overflow, and makes async-signal-safe system calls only. An alarm
// ends a handler that hangs; a report the handler touched but did not finish
// is removed first.
#include "platform/fault_path.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cfenv>
#include <memory>
#include <string>

#include "base/failure.h"

namespace faxjob::fault_path {

namespace {

constexpr std::size_t kHandlerStackSize = 64 * 1024;
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

// The handler's progress: the alarm gives up on a handler that has not
// committed to keeping the line in time.
enum Progress : int { kWorking, kCommitted, kAbandoned };

// Everything the fault path needs, made by Arm and kept until the process
// ends, since the handlers may run at any moment.
struct Preparation {
  std::string reportPath;
  std::string temporaryPath;  // a name of its own for a new report
  std::string errorLine;
  std::unique_ptr<char[]> handlerStack;
  std::atomic<bool> armed{false};
  std::atomic<int> decidedStatus{-1};  // the run's end, once decided
  std::atomic<bool> faulted{false};
  std::atomic<bool> reportTouched{false};  // the handler has begun to change the report
  std::atomic<int> progress{kWorking};
};

// The handlers have no other way to reach the preparation than a global.
std::unique_ptr<Preparation> gPreparation;

bool AppendLine(int file, const std::string& line) {
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = write(file, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

bool Commit(Preparation& prepared) {
  int working = kWorking;
  return prepared.progress.compare_exchange_strong(working, kCommitted);
}

// Appends the line to the report; true when the report keeps it. A file
// still under a name of its own (`temporaryName`) then takes the report's.
bool AddLine(Preparation& prepared, int file, bool ours, const char* temporaryName) {
  if (file < 0) return false;
  const char* touched = temporaryName != nullptr ? temporaryName : prepared.reportPath.c_str();
  prepared.reportTouched = temporaryName == nullptr;
  bool kept = AppendLine(file, prepared.errorLine);
  if (ours && close(file) != 0) kept = false;
  kept = kept && Commit(prepared) &&
         (temporaryName == nullptr || rename(temporaryName, prepared.reportPath.c_str()) == 0);
  if (!kept) unlink(touched);
  return kept;
}

// The exit status that goes with what the report then holds; a kept report is final, and left.
int RecordErrorLine(Preparation& prepared) {
  const char* path = prepared.reportPath.c_str();
  int runFile = kNoFile;
  const char* temporaryName = nullptr;
  switch (ErrorLineAt(gReport.TakeOver(runFile, temporaryName))) {
    case ErrorLine::kCreate: {
      const char* temporary = prepared.temporaryPath.c_str();
      return AddLine(prepared, open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666),
                     true, temporary)
                 ? LineRecordedStatus()
                 : kNothingRecorded;
    }
    case ErrorLine::kAppendToClosed:
      return AddLine(prepared, open(path, O_WRONLY | O_APPEND | O_CLOEXEC), true, nullptr)
                 ? LineRecordedStatus()
                 : kNothingRecorded;
    case ErrorLine::kAppendToOpen:
      return AddLine(prepared, runFile, false, temporaryName) ? LineRecordedStatus() : kNothingRecorded;
    case ErrorLine::kRemove:
      break;
    case ErrorLine::kLeave:
      return gReport.keptStatus();
  }
  unlink(temporaryName != nullptr ? temporaryName : path);
  return kNothingRecorded;
}

void OnAlarm(int) {
  Preparation& prepared = *gPreparation;
  int working = kWorking;
  if (!prepared.progress.compare_exchange_strong(working, kAbandoned)) return;  // line is whole
  if (prepared.reportTouched) unlink(prepared.reportPath.c_str());
  _exit(kNothingRecorded);
}

void OnFault(int) {
  Preparation& prepared = *gPreparation;
  if (const int decided = prepared.decidedStatus; decided >= 0) _exit(decided);
  if (!prepared.armed) _exit(kNothingRecorded);
  if (prepared.faulted.exchange(true)) WaitForTheEnd();  // another fault is being recorded
  struct sigaction alarmAction {};
  alarmAction.sa_handler = OnAlarm;
  sigaction(SIGALRM, &alarmAction, nullptr);
  alarm(kSecondsToRecord);
  _exit(RecordErrorLine(prepared));
}

// SA_NODEFER: a fault inside the handler comes back to it and waits for the alarm.
bool InstallHandlers() {
  struct sigaction faultAction {};
  faultAction.sa_handler = OnFault;
  faultAction.sa_flags = SA_ONSTACK | SA_NODEFER;
  for (int signal : kFaultSignals) {
    if (sigaction(signal, &faultAction, nullptr) != 0) return false;
  }
  return true;
}

}  // namespace

void WaitForTheEnd() {
  for (;;) pause();
}

void Pause() {
  const timespec millisecond{0, 1000 * 1000};
  nanosleep(&millisecond, nullptr);
}

void Arm(const NativePath& reportPath, std::string_view errorLine) {
  auto prepared = std::make_unique<Preparation>();
  prepared->reportPath = reportPath;
  prepared->temporaryPath = reportPath.substr(0, reportPath.rfind('/') + 1) + "~faxjob-" +
                            std::to_string(getpid()) + "-0.tmp";
  prepared->errorLine = errorLine;
  prepared->handlerStack = std::make_unique<char[]>(kHandlerStackSize);
  stack_t handlerStack{};
  handlerStack.ss_sp = prepared->handlerStack.get();
  handlerStack.ss_size = kHandlerStackSize;
  if (sigaltstack(&handlerStack, nullptr) != 0) throw Failure(kOutOfMemory);
  Preparation& kept = *(gPreparation = std::move(prepared));
  if (!InstallHandlers()) throw Failure(kOutOfMemory);
  kept.armed = true;
}

void InstallHandler() { InstallHandlers(); }

void CallUntrusted(void (*call)(void* context), void* context) {
  InstallHandler();
  std::fenv_t environment;
  const bool saved = std::fegetenv(&environment) == 0;
  call(context);
  if (saved) std::fesetenv(&environment);
  InstallHandler();
}

void DecideEnd(int status) {
  if (gPreparation == nullptr) return;
  // A fault that took the end first ends the process itself.
  if (gPreparation->faulted.exchange(true)) WaitForTheEnd();
  gPreparation->decidedStatus = status;
}

}  // namespace faxjob::fault_path
