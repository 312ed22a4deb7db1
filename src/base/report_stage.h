// The report file's life in one run, in one place: the report's owner moves
// it through these stages, and whoever records an error line (the failure
// trap, the fault path of either platform, the in-memory platform that models
// them) asks ErrorLineAt what the stage allows.
#pragma once

namespace faxjob {

enum class ReportStage : int {
  kUntouched,  // not opened for writing in this run
  kOpening,    // being opened: the fault path waits for the outcome
  kOpen,       // open for writing, every write so far complete
  kInDoubt,    // a write or a close is under way or has failed: its content is unknown
  kClosed,     // closed after complete writes
  kKeeping,    // taking its name: the fault path waits for the outcome
  kKept,       // whole under its name: final, nothing changes or removes it any more
  kTakenOver,  // the fault path is at work: the run leaves the report alone
};

/// What recording an error line does with the report at each stage.
enum class ErrorLine : int {
  kCreate,          // create the report, or empty another run's: it holds the line alone
  kAppendToClosed,  // open the finished report again and add the line after its lines
  kAppendToOpen,    // add the line to the open report, after its complete lines
  kRemove,          // no line: the content is unknown, and a report this run touched must go
  kLeave,           // no line: the report is final, and the status that goes with it stands
};

/// The one rule: a line goes only after complete lines, never into a report in doubt.
constexpr ErrorLine ErrorLineAt(ReportStage stage) {
  switch (stage) {
    case ReportStage::kUntouched:
      return ErrorLine::kCreate;
    case ReportStage::kClosed:
      return ErrorLine::kAppendToClosed;
    case ReportStage::kOpen:
      return ErrorLine::kAppendToOpen;
    case ReportStage::kKeeping:  // an outcome nobody knows any more: whole under either name
    case ReportStage::kKept:
      return ErrorLine::kLeave;
    case ReportStage::kOpening:    // an outcome nobody knows yet
    case ReportStage::kInDoubt:    // a write under way or failed
    case ReportStage::kTakenOver:  // a second fault: the first one records
      break;
  }
  return ErrorLine::kRemove;
}

}  // namespace faxjob
