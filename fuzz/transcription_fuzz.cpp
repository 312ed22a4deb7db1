// Feeds arbitrary result files through the transcription. Whatever the
// bytes, the run ends in a complete report or a known failure, never a crash
// or a stray exception; and reading in tiny blocks, whose ends fall anywhere
// in an item, gives exactly what reading in one block gives.
#include <cstdint>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "report/report_file.h"
#include "report/report_writer.h"
#include "report/result_reader.h"
#include "report/transcription.h"

namespace {

using faxjob::Failure;
using faxjob::testing::FakePlatform;

const std::u16string kResultPath = u"C:\\out\\RESULT.TXT";

// The report lines that reading in blocks of `blockSize` gives, then the failure code, if any.
std::string ReportInBlocks(FakePlatform& platform, std::size_t blockSize) {
  auto file = platform.OpenForReading(kResultPath);
  faxjob::ResultReader reader(platform, *file, blockSize);
  std::string report;
  try {
    while (!reader.AtEnd()) {
      if (const std::optional<double> number = reader.ReadItem()) {
        faxjob::AppendNumberField(report, *number);
        report += ",OK\r\n";
      }
    }
  } catch (const Failure& failure) {
    report += "failure " + std::to_string(failure.code());
  }
  return report;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FakePlatform platform;
  const std::size_t smallBlock = size > 0 ? 1 + data[0] % 16 : 1;
  platform.AddFile(kResultPath, std::string(reinterpret_cast<const char*>(data), size));

  faxjob::ReportFile report(platform, u"C:\\out\\r.txt");
  std::string transcribed;
  try {
    faxjob::Transcribe(platform, kResultPath, report, u"OK");
    transcribed = platform.files[u"C:\\out\\r.txt"];
  } catch (const Failure& failure) {
    switch (failure.code()) {
      case faxjob::kTypeMismatch:
      case faxjob::kOverflow:
      case faxjob::kInputPastEndOfFile:
        break;
      default:
        __builtin_trap();
    }
    // As the failure trap would: the error line after the lines written so far.
    if (!report.RecordFailure(failure)) __builtin_trap();
    transcribed = platform.files[u"C:\\out\\r.txt"];
    const std::size_t errorLine = transcribed.rfind('\n', transcribed.size() - 2);
    transcribed.resize(errorLine == std::string::npos ? 0 : errorLine + 1);
    transcribed += "failure " + std::to_string(failure.code());
  }
  if (ReportInBlocks(platform, smallBlock) != transcribed) __builtin_trap();
  return 0;
}
