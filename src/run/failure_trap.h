// Turns any failure after the command-line checks into one error line in
// the report file, so that an unattended caller learns of it.
#pragma once

#include "base/exit_status.h"
#include "base/failure.h"
#include "report/report_file.h"

namespace faxjob {

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
