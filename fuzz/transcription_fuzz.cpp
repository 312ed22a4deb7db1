// Feeds arbitrary result files through the transcription, read in blocks
// of a size the input chooses. Whatever the bytes, the run must end in a
// complete report or a known failure, never a crash or a stray exception.
#include <cstdint>
#include <cstring>
#include <string>

#include "fake_platform.h"
#include "report/transcription.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using faxjob::Failure;
  using faxjob::testing::FakePlatform;
  FakePlatform platform;
  platform.readChunk = size > 0 ? 1 + data[0] % 64 : 1;
  platform.AddFile(u"C:\\out\\RESULT.TXT", std::string(reinterpret_cast<const char*>(data), size));
  faxjob::RunFiles files;
  try {
    faxjob::Transcribe(platform, files, u"C:\\out\\RESULT.TXT", u"C:\\out\\r.txt", u"OK");
  } catch (const Failure& failure) {
    switch (failure.code()) {
      case faxjob::kTypeMismatch:
      case faxjob::kOverflow:
      case faxjob::kInputPastEndOfFile:
        break;
      default:
        __builtin_trap();
    }
    return 0;
  }
  // Every line of a complete report is a number field, a comma and the text.
  const std::string& report = platform.files[u"C:\\out\\r.txt"];
  std::size_t start = 0;
  while (start < report.size()) {
    const std::size_t end = report.find("\r\n", start);
    if (end == std::string::npos || report.compare(end - 3, 3, ",OK") != 0) __builtin_trap();
    start = end + 2;
  }
  return 0;
}
