// The job file, as the stand-in reads it: what to return, write, wait for or crash with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crashes.h"

namespace zrq {

struct Job {
  std::int32_t code = 0;  // the result code to return
  std::uint64_t sleepMs = 0;
  CrashKind crash = CrashKind::kNone;
  bool noResult = false;
  bool explicitResult = false;  // some `!result` line was given
  std::string resultBytes;      // the explicit result bytes
  std::string resultFile;       // `!result-file`: a file to give as RESULT.TXT
  std::vector<std::string> saveRecordPaths;
  std::vector<std::string> faxNumbers;
};

// False when the job file is malformed; nothing is done then.
bool ParseJob(std::string_view contents, Job& job);
// What a fax server that sent every number would report.
std::string AutomaticResult(const Job& job);

}  // namespace zrq
