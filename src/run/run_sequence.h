// The spine of every run: command line, record, library call, report.
#pragma once

#include "faxbridge/send_request.h"
#include "platform/platform.h"

namespace faxjob {

inline constexpr char16_t kArgumentErrorMessage[] = u"コマンドライン引数が正しくありません。";

// Runs one job and returns the exit status (see ExitStatus). `request` is
// the program-wide record; tests pass their own.
int RunJob(const Platform& platform, SendRequest& request);

}  // namespace faxjob
