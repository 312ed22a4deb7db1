#include "report/transcription.h"

#include <memory>

#include "report/result_reader.h"

namespace faxjob {

void Transcribe(Files& files, Text& text, const std::u16string& resultFilePath, ReportFile& report,
                std::u16string_view statusText) {
  const std::string narrowStatusText = text.ToNarrow(statusText);
  const std::unique_ptr<InputFile> resultFile = files.OpenForReading(resultFilePath);
  report.Create(*resultFile);

  ResultReader reader(text, *resultFile);
  report.WriteLines(reader, narrowStatusText);

  report.Finish();
  resultFile->Close();
}

}  // namespace faxjob
