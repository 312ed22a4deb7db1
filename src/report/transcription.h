// Copies the library's per-record outcome into the report file.
#pragma once

#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/text.h"
#include "report/report_file.h"

namespace faxjob {

// Writes one report line per record entry of the result file, all with the
// same status text, then finishes the report and closes the result file, in
// that order. The result file is opened first, so a missing one leaves the
// report untouched; it is closed before this returns or raises.
void Transcribe(Files& files, Text& text, const std::u16string& resultFilePath, ReportFile& report,
                std::u16string_view statusText);

}  // namespace faxjob
