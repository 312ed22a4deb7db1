// The in-memory platform's process: the command line, the boxes, the fax
// library as the world has it, and the fault path, which it only records.
#pragma once

#include <string>
#include <string_view>

#include "platform/process.h"

namespace faxjob::testing {

class FakePlatform;

class FakeProcess : public Process {
 public:
  explicit FakeProcess(FakePlatform& platform) : platform_(platform) {}

  std::u16string RawCommandLine() override;
  void ShowStopMessage(const std::u16string& text) override;
  void* LoadEntryPoint(const std::u16string& fileName, const char* entryName) override;
  void CallLibrary(void (*call)(void* context), void* context) override;
  void ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) override;
  void SetKeptReportStatus(int status) override;
  void DisarmFaultPath(int status) override;

 private:
  FakePlatform& platform_;
};

}  // namespace faxjob::testing
