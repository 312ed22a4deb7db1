// The exit statuses of a run: what the caller can learn from the report file.
// The one place that gives them their numbers; the fault path ends the
// process with three of them. A retry is safe exactly after 3 and 5: no fax
// went out.
#pragma once

namespace faxjob {

enum ExitStatus : int {
  kExitReportWritten = 0,      // the library returned 0 and the report holds its entries
  kExitFailureReported = 1,    // the report ends with the error line
  kExitFailureUnreported = 2,  // no report from this run, or one whose content is unknown
  kExitNothingSent = 3,        // the command line or the report path is unusable, or an earlier
                               // report cannot be removed: no call, nothing written
  kExitLibraryFailed = 4,      // the report holds the entries of a library that returned an error
  kExitFailedBeforeCall = 5,   // the report's error line says why the run failed before the
                               // library was called: nothing sent
};

}  // namespace faxjob
