// Throughput of the transcription in memory, without the file system.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/posix/platform.h"
#include "report/report_writer.h"
#include "report/result_reader.h"

namespace faxjob {
namespace {

class MemoryInput : public InputFile {
 public:
  explicit MemoryInput(const std::string& content) : content_(content) {}
  std::size_t Read(char* buffer, std::size_t size) override {
    const std::size_t count = std::min(size, content_.size() - offset_);
    std::memcpy(buffer, content_.data() + offset_, count);
    offset_ += count;
    return count;
  }
  bool IsSameFileAs(const std::u16string&) override { return false; }
  void Close() override {}

 private:
  const std::string& content_;
  std::size_t offset_ = 0;
};

class NullOutput : public OutputFile {
 public:
  void Write(const char*, std::size_t size) override { benchmark::DoNotOptimize(size); }
  void Close() override {}
  bool hasDeleteDisposition() const override { return false; }
  void Keep() override {}
};

// One entry a line, or the usual mix of five items a line.
std::string SampleResultFile(int entries, bool mixed) {
  std::string content;
  for (int i = 1; i <= entries; ++i) {
    content += "/R " + std::to_string(i);
    content += mixed ? ",\"03-1234-5678\",OK,2026/12/08 10:15:00,3\r\n" : "\r\n";
  }
  return content;
}

Text& HostText() {
  static const PosixPlatform platform(0, nullptr);
  return platform.parts().text;
}

const std::string kStatusText =
    "FAX\x91\x97\x90\x4d\x82\xf0\x8f\x49\x97\xb9\x82\xb5\x82\xdc\x82\xb5\x82\xbd\xa1";

// The whole transcription in memory: reading, number fields and report lines.
void BM_Transcribe(benchmark::State& state) {
  const std::string content = SampleResultFile(static_cast<int>(state.range(0)), state.range(1));
  for (auto _ : state) {
    MemoryInput input(content);
    ResultReader reader(HostText(), input);
    ReportWriter writer(std::make_unique<NullOutput>());
    writer.WriteLines(reader, kStatusText);
    writer.Close();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content.size()));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Transcribe)->ArgNames({"entries", "mixed"})->Args({1000000, 0})->Args({1000000, 1});

}  // namespace
}  // namespace faxjob

BENCHMARK_MAIN();
