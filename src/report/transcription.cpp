#include "report/transcription.h"

#include "platform/failure.h"
#include "report/result_reader.h"

namespace faxjob {

void Transcribe(Platform& platform, RunFiles& files, const std::u16string& resultFilePath,
                const std::u16string& reportFilePath, const std::u16string& statusText) {
  files.resultFile = platform.OpenForReading(resultFilePath);
  // Opening the result file for writing would destroy what the library wrote.
  if (files.resultFile->IsSameFileAs(reportFilePath)) throw Failure(kFileAlreadyOpen);
  files.report = std::make_unique<ReportWriter>(platform.OpenForWriting(reportFilePath));
  files.reportTouched = true;

  const std::string narrowStatusText = platform.ToNarrow(statusText);
  ResultReader reader(platform, *files.resultFile);
  files.report->WriteLines(reader, narrowStatusText);

  files.report->Close();
  files.report.reset();
  // Released first: a failed close leaves the file in no state to look at again.
  const std::unique_ptr<InputFile> resultFile = std::move(files.resultFile);
  resultFile->Close();
}

}  // namespace faxjob
