// Turns any failure after the command-line checks into one error line in
// the report file, so that an unattended caller learns of it.
#pragma once

#include <string>

#include "platform/failure.h"
#include "platform/platform.h"
#include "report/transcription.h"

namespace faxjob {

// Exit statuses: what the report file says about the run.
enum ExitStatus : int {
  kExitReportWritten = 0,      // the library returned 0 and the report holds its entries
  kExitFailureReported = 1,    // the report ends with the error line
  kExitFailureUnreported = 2,  // no report from this run: missing, or stale from an earlier one
  kExitCommandLineUnusable = 3,
  kExitLibraryFailed = 4,  // the report holds the entries of a library that returned an error
};

class FailureTrap {
 public:
  FailureTrap(Platform& platform, std::u16string reportFilePath, RunFiles& files)
      : platform_(platform), reportFilePath_(std::move(reportFilePath)), files_(files) {}

  // Writes the error line, tolerating every failure on the way, closes the
  // run's files and returns the exit status. Handles one failure only.
  int Handle(const Failure& failure) noexcept;

 private:
  bool WriteErrorLine(const Failure& failure);

  Platform& platform_;
  std::u16string reportFilePath_;
  RunFiles& files_;
  bool handled_ = false;
};

}  // namespace faxjob
