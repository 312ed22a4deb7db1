#include "report/transcription.h"

#include <memory>

#include "report/result_reader.h"

namespace faxjob {

void Transcribe(Platform& platform, const std::u16string& resultFilePath, ReportFile& report,
                const std::u16string& statusText) {
  const std::string narrowStatusText = platform.ToNarrow(statusText);
  const std::unique_ptr<InputFile> resultFile = platform.OpenForReading(resultFilePath);
  report.Create(*resultFile);

  ResultReader reader(platform, *resultFile);
  report.WriteLines(reader, narrowStatusText);

  report.Finish();
  resultFile->Close();
}

}  // namespace faxjob
