// Feeds arbitrary result files through the transcription. Whatever the
// bytes, the run ends in a complete report or a known failure, never a crash
// or a stray exception; the reader fed in blocks of any size, whose ends
// fall anywhere in an item, writes exactly what it writes fed the whole
// file; and both agree with the plain reading of the rules.
#include <cstdint>
#include <string>

#include "fake_platform.h"
#include "reference_reader.h"
#include "report/report_file.h"
#include "report/report_writer.h"
#include "report/result_reader.h"
#include "report/transcription.h"

namespace {

using faxjob::Failure;
using faxjob::testing::FakePlatform;

const std::u16string kResultPath = u"C:\\out\\RESULT.TXT";
const std::u16string kReportPath = u"C:\\out\\r.txt";

// The report that reading in blocks of `blockSize` gives, then the failure, if any.
std::string ReportInBlocks(FakePlatform& platform, std::size_t blockSize) {
  auto file = platform.files.OpenForReading(kResultPath);
  faxjob::ResultReader reader(platform.text, *file, blockSize);
  faxjob::ReportWriter writer(platform.files.OpenForWriting(u"C:\\out\\blocks.txt"));
  std::string failure;
  try {
    writer.WriteLines(reader, "OK");
  } catch (const Failure& caught) {
    failure = "failure " + std::to_string(caught.code());
  }
  writer.Close();
  return platform.world.files[u"C:\\out\\blocks.txt"] + failure;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FakePlatform platform;
  platform.world.readChunk = SIZE_MAX;
  const std::string content(reinterpret_cast<const char*>(data), size);
  platform.world.AddFile(kResultPath, content);

  faxjob::ReportFile report(platform.files, platform.text, kReportPath);
  std::string transcribed;
  try {
    faxjob::Transcribe(platform.files, platform.text, kResultPath, report, u"OK");
    transcribed = platform.world.files[kReportPath];
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
    transcribed = platform.world.files[kReportPath];
    const std::size_t errorLine = transcribed.rfind('\n', transcribed.size() - 2);
    transcribed.resize(errorLine == std::string::npos ? 0 : errorLine + 1);
    transcribed += "failure " + std::to_string(failure.code());
  }

  // Block sizes from 1 byte to the whole file, picked by the first bytes.
  const std::size_t blockSize = size < 2 ? 1 : 1 + (data[0] * 256u + data[1]) % size;
  if (ReportInBlocks(platform, blockSize) != transcribed) __builtin_trap();
  const auto charLength = [&](unsigned char byte) { return platform.text.NarrowCharLength(byte); };
  if (faxjob::testing::ReferenceReport(content, charLength, "OK") != transcribed) __builtin_trap();
  return 0;
}
