// The fault path: what a processor fault does once the run has armed it (see
// Process::ArmFaultPath). Internal to the platform layer. The platform's
// output file for the armed report path tells it, through gReport, what the
// report holds at every moment, so that the handler needs nothing at all from
// a process that may be broken: no allocation, no lock, no library call.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/exit_status.h"
#include "base/report_stage.h"

namespace faxjob::fault_path {

#ifdef _WIN32
using NativeFile = void*;           // a HANDLE
using NativePath = std::u16string;  // as the wide file calls take it
inline constexpr NativeFile kNoFile = nullptr;
#else
using NativeFile = int;          // a file descriptor
using NativePath = std::string;  // as open() takes it
inline constexpr NativeFile kNoFile = -1;
#endif

// The exit statuses a fault ends the process with.
inline constexpr int kNothingRecorded = kExitFailureUnreported;

// Set before the library is called (not before its load): a fault before then
// sent nothing, and its recorded line ends the process with the status that says so.
inline std::atomic<bool> gLibraryCalled{false};
inline int LineRecordedStatus() {
  return gLibraryCalled.load() ? kExitFailureReported : kExitFailedBeforeCall;
}

// How long a fault may take to record its line before the process ends without it.
inline constexpr int kSecondsToRecord = 5;

/// Prepares everything the handler needs and installs it; see Process::ArmFaultPath.
/// Raises a failure (out of memory) when the preparation fails. Called once.
void Arm(const NativePath& reportPath, std::string_view errorLine);
/// Installs the fault handler again, over whatever a library's runtime put in its place while
/// it was loaded.
void InstallHandler();
/// Runs `call` (the library's load, or a call into it) as Process::CallLibrary says: the
/// floating-point environment saved before and restored after (on Windows an x87 register stack
/// that the library left full is emptied too), and the handler installed before and again after,
/// over whatever the library put in its place.
void CallUntrusted(void (*call)(void* context), void* context);
/// The library's call, guarded as CallUntrusted says; from its start a recorded line says that
/// something may have been sent.
inline void CallLibrary(void (*call)(void* context), void* context) {
  gLibraryCalled = true;
  CallUntrusted(call, context);
}
/// The run's end, decided once: from now on a fault, or a library's end of the process, ends it
/// with `status` and touches no file. Where a fault took the end first, the calling thread waits
/// for the fault path to end the process instead.
void DecideEnd(int status);
#ifdef _WIN32
/// What a library's own calls that end the process are sent to: a fault, until the run's end is
/// decided; after, the end with the run's status.
void* LibraryEndingProcess();
/// Ends the process with `status` as the run's end, unless a fault took the end first.
[[noreturn]] void EndProcess(int status);
/// True for the thread that armed the fault path and the fault path's own threads.
bool IsOwnThread(unsigned long threadId);
#endif

/// The calling thread waits, for good, for the fault path to end the process.
[[noreturn]] void WaitForTheEnd();
/// Lets other threads run for a moment.
void Pause();

using Report = ReportStage;

/// The report's life in this run, told by the platform's output file for the
/// armed path and taken over by the handler. A thread of the run that finds
/// the handler at work waits for the end instead of touching the report.
class ReportState {
 public:
  /// Before the open; returns the state to go back to when the open fails.
  Report Opening() { return Enter(Report::kOpening); }
  /// `temporaryName`: the name of its own that a new report is written under until it is kept
  /// (it lives as long as the file is open); null for a report already under its path.
  void Opened(NativeFile file, const NativePath::value_type* temporaryName) {
    file_ = file;
    temporaryName_ = temporaryName;
    Enter(Report::kOpen);
  }
  /// The exit status that goes with the report once it is kept: a fault from then on leaves it.
  void SetKeptStatus(int status) { keptStatus_ = status; }
  int keptStatus() const { return keptStatus_.load(); }
  /// Before the report takes its name (or, under its path already, loses its delete disposition).
  void Keeping() { Enter(Report::kKeeping); }
  /// The report lies whole under its path: final from now on, whatever the run does with the file.
  void Kept() {
    temporaryName_ = nullptr;
    Enter(Report::kKept);
  }
  void OpenFailed(Report before) { Enter(before); }
  /// Before each write and before the close; a write that never reports
  /// Written leaves the content in doubt.
  void Changing() { Enter(Report::kInDoubt); }
  void Written() { Enter(Report::kOpen); }
  /// After the close, which gives the file up even when it fails.
  void Closed(bool cleanly) {
    file_ = kNoFile;
    temporaryName_ = nullptr;
    Enter(cleanly ? Report::kClosed : Report::kInDoubt);
  }

  /// For the handler, once: takes the report over and returns where it
  /// stood, with the run's open file when there is one and, when that file
  /// is still under a name of its own, that name. Where the thread that opens
  /// has ended, an open under way stays kOpening: nobody knows its outcome.
  Report TakeOver(NativeFile& file, const NativePath::value_type*& temporaryName,
                  bool openMayFinish = true) {
    Report before = state_.load();
    // A write under way ends within moments, as an open or the taking of the name does; one
    // that failed leaves the report in doubt for good, and is not waited for long.
    for (int pausesInDoubt = 0;;) {
      const bool mayFinish =
          openMayFinish && (before == Report::kOpening || before == Report::kKeeping ||
                            (before == Report::kInDoubt && ++pausesInDoubt <= kPausesInDoubt));
      if (mayFinish) {
        Pause();
        before = state_.load();
      } else if (state_.compare_exchange_weak(before, Report::kTakenOver)) {
        break;
      }
    }
    file = file_.load();
    temporaryName = temporaryName_.load();
    return before;
  }

 private:
  // A kept report stays kept whatever the run does with its file, until the run opens it again.
  Report Enter(Report next) {
    Report before = state_.load();
    do {
      if (before == Report::kTakenOver) WaitForTheEnd();
      if (before == Report::kKept && next != Report::kOpening) return before;
    } while (!state_.compare_exchange_weak(before, next));
    return before;
  }

  static constexpr int kPausesInDoubt = 100;
  // Plain processor instructions: safe in a signal handler and with any lock held.
  static_assert(std::atomic<Report>::is_always_lock_free);
  static_assert(std::atomic<NativeFile>::is_always_lock_free);
  std::atomic<Report> state_{Report::kUntouched};
  std::atomic<NativeFile> file_{kNoFile};
  std::atomic<const NativePath::value_type*> temporaryName_{nullptr};
  std::atomic<int> keptStatus_{kExitFailureReported};
};

inline ReportState gReport;

/// An output file's part in the report's life: one is made before every open
/// for writing, and for the armed report it tells gReport of the open, of
/// every write and of the close. For any other file it does nothing.
class ReportWatch {
 public:
  /// Before the open: for the report, the handler now waits for its outcome.
  explicit ReportWatch(bool isReport)
      : isReport_(isReport), before_(isReport ? gReport.Opening() : Report::kUntouched) {}
  ReportWatch(ReportWatch&& other) noexcept
      : isReport_(std::exchange(other.isReport_, false)), before_(other.before_) {}
  ReportWatch& operator=(ReportWatch&&) = delete;

  bool watching() const { return isReport_; }
  void Opened(NativeFile file, const NativePath::value_type* temporaryName) {
    if (isReport_) gReport.Opened(file, temporaryName);
  }
  void Keeping() {
    if (isReport_) gReport.Keeping();
  }
  /// After Keeping: the report is whole under its path; or not, and its content is in doubt.
  void Kept(bool kept) {
    if (!isReport_) return;
    if (kept) {
      gReport.Kept();
    } else {
      gReport.Changing();
    }
  }
  void OpenFailed() {
    if (std::exchange(isReport_, false)) gReport.OpenFailed(before_);
  }
  /// Before each write and before the close.
  void Changing() {
    if (isReport_) gReport.Changing();
  }
  void Written() {
    if (isReport_) gReport.Written();
  }
  /// After the close, which gives the file up even when it fails.
  void Closed(bool cleanly) {
    if (std::exchange(isReport_, false)) gReport.Closed(cleanly);
  }

 private:
  bool isReport_;
  Report before_;
};

/// The report path the fault path is armed with, which the platform's parts share: an output
/// file opened at that path tells the fault path what it holds at every moment.
struct ArmedReport {
  std::optional<std::u16string> path;

  ReportWatch Watch(const std::u16string& file) const { return ReportWatch(path == file); }
};

}  // namespace faxjob::fault_path
