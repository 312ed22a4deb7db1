// Turns any failure after the command-line checks into one error line in
// the report file, so that an unattended caller learns of it.
#pragma once

#include "platform/failure.h"
#include "report/report_file.h"

namespace faxjob {

// Exit statuses: what the caller can learn from the report file.
enum ExitStatus : int {
  kExitReportWritten = 0,      // the library returned 0 and the report holds its entries
  kExitFailureReported = 1,    // the report ends with the error line
  kExitFailureUnreported = 2,  // no report from this run: missing, or stale from an earlier one
  kExitNothingSent = 3,        // the command line or the report path is unusable, or an earlier
                               // report cannot be removed: no call, nothing written
  kExitLibraryFailed = 4,      // the report holds the entries of a library that returned an error
};

class FailureTrap {
 public:
  explicit FailureTrap(ReportFile& report) : report_(report) {}

  // Records the failure in the report and returns the exit status. Handles
  // one failure only: whatever comes after it is not trapped again.
  int Handle(const Failure& failure) noexcept;

 private:
  ReportFile& report_;
  bool handled_ = false;
};

}  // namespace faxjob
