// The guards of a typical job that a bench build may leave out, one at a
// time, so that what each costs can be measured against a naive caller of
// the library (scripts/bench --guards). The shipped program keeps every one:
// only a bench build defines FAXJOB_BENCH_LEAVE_OUT, and such a build installs
// and packages nothing.
#pragma once

namespace faxjob {

enum class Guard {
  kNone,
  kJobFileCheck,          // the job file must exist before anything else happens
  kRefusals,              // report paths that can never be written, or would destroy the job
  kEarlierReportRemoval,  // no earlier report passes for this run's
  kFaultPath,             // a fault or a library's end of the process still records its line
  kFolderTurn,            // runs into one folder take turns
  kStaleSweep,            // temporary files that ended runs left are removed
  kLoadGuard,             // the library's start-up code guarded, its ends of the process taken
  kTemporaryReport,       // the report written as a temporary file and renamed when whole
  kOldResultRemoval,      // no old result file passes for this call's
  kEveryGuard,            // all of them: what the program costs without any
};

// Constant, so each file that asks has its own copy: only the files that the
// bench build lists get the switch, and no two definitions of one thing differ.
#ifdef FAXJOB_BENCH_LEAVE_OUT
constexpr Guard kLeftOutGuard = Guard::FAXJOB_BENCH_LEAVE_OUT;
#else
constexpr Guard kLeftOutGuard = Guard::kNone;
#endif

constexpr bool Kept(Guard guard) {
  return kLeftOutGuard != Guard::kEveryGuard && guard != kLeftOutGuard;
}

}  // namespace faxjob
