// The report file's life in one run, in one place: the report's owner moves
// it through these stages, the fault path acts on the stage it finds when a
// fault comes, and the in-memory platform models the same.
#pragma once

namespace faxjob {

enum class ReportStage : int {
  kUntouched,  // not opened for writing in this run
  kOpening,    // being opened: the fault path waits for the outcome
  kOpen,       // open for writing, every write so far complete
  kInDoubt,    // a write or a close is under way or has failed: its content is unknown
  kClosed,     // closed after complete writes
  kTakenOver,  // the fault path is at work: the run leaves the report alone
};

}  // namespace faxjob
