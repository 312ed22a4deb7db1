// Throughput of the result-file reader and the report writer, in memory.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/platform_posix.h"
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
};

std::string SampleResultFile(int entries) {
  std::string content;
  for (int i = 1; i <= entries; ++i) {
    content += "/R " + std::to_string(i) + ",\"03-1234-5678\",OK,2026/12/08 10:15:00,3\r\n";
  }
  return content;
}

Platform& HostPlatform() {
  static std::unique_ptr<Platform> platform = CreatePosixPlatform(0, nullptr);
  return *platform;
}

void BM_ReadResultFile(benchmark::State& state) {
  const std::string content = SampleResultFile(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    MemoryInput input(content);
    ResultReader reader(HostPlatform(), input);
    double sum = 0;
    while (auto number = reader.NextEntry()) sum += *number;
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content.size()));
}
BENCHMARK(BM_ReadResultFile)->Arg(100000);

void BM_WriteReportLines(benchmark::State& state) {
  const std::string status =
      "FAX\x91\x97\x90\x4d\x82\xf0\x8f\x49\x97\xb9\x82\xb5\x82\xdc\x82\xb5\x82\xbd\xa1";
  for (auto _ : state) {
    ReportWriter writer(std::make_unique<NullOutput>());
    for (int i = 1; i <= state.range(0); ++i) writer.WriteLine(i, status);
    writer.Close();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteReportLines)->Arg(100000);

}  // namespace
}  // namespace faxjob

BENCHMARK_MAIN();
