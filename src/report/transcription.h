// Copies the library's per-record outcome into the report file.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"
#include "report/report_writer.h"

namespace faxjob {

// The files a run holds open. The failure trap takes them over when a
// failure interrupts the transcription.
struct RunFiles {
  std::unique_ptr<InputFile> resultFile;
  std::unique_ptr<ReportWriter> report;
  // This run created or emptied the report file.
  bool reportTouched = false;
};

// Writes one report line per record entry of the result file, all with the
// same status text. The result file is opened first, so a missing one
// leaves the report file untouched.
void Transcribe(Platform& platform, RunFiles& files, const std::u16string& resultFilePath,
                const std::u16string& reportFilePath, const std::u16string& statusText);

}  // namespace faxjob
