#include "run/failure_trap.h"

namespace faxjob {

int FailureTrap::Handle(const Failure& failure) noexcept {
  if (handled_) return kExitFailureUnreported;
  handled_ = true;

  bool written = false;
  try {
    written = WriteErrorLine(failure);
  } catch (...) {
    // Tolerant mode: a step that fails is skipped.
  }
  if (!written && files_.reportTouched) {
    // An empty or cut-off report would read as a run without failure.
    try {
      files_.report.reset();
      platform_.RemoveFile(reportFilePath_);
    } catch (...) {
    }
  }
  files_.report.reset();
  files_.resultFile.reset();
  return written ? kExitFailureReported : kExitFailureUnreported;
}

bool FailureTrap::WriteErrorLine(const Failure& failure) {
  if (files_.report == nullptr) {
    // The report path may name the result file this run holds open: opening
    // it for writing would destroy what the library wrote.
    if (files_.resultFile != nullptr && files_.resultFile->IsSameFileAs(reportFilePath_)) {
      return false;
    }
    std::unique_ptr<OutputFile> file = platform_.OpenForWriting(reportFilePath_);
    files_.reportTouched = true;
    files_.report = std::make_unique<ReportWriter>(std::move(file));
  } else if (files_.report->broken()) {
    // Already open in this run, so the open is skipped; but a write has
    // failed and what the file now holds is unknown.
    return false;
  }
  files_.report->WriteLine(failure.code(), platform_.ToNarrow(failure.description()));
  files_.report->Close();
  files_.report.reset();
  return true;
}

}  // namespace faxjob
