// What every test of the run sequence shares: a stand-in for the fax library,
// driven by a script, and a fixture with a job ready to send.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/exit_status.h"
#include "fake_platform.h"
#include "faxbridge/send_request.h"
#include "report/report_writer.h"
#include "run/run_sequence.h"

namespace faxjob::testing {

// What the library stand-in does when called.
struct LibraryScript {
  std::int32_t code = 0;
  bool writesResult = true;
  std::string result = "/R 1\r\n/R 2\r\n";
  std::u16string changesFolderTo;  // before it writes its result file
  SendRequest received{};
  int calls = 0;
  std::size_t platformCallsBefore = 0;  // when it was called
};
extern LibraryScript gScript;

// Follows gScript: writes the result file where the library would and returns its code.
std::int32_t FAXJOB_STDCALL StandInSendPageInt(SendRequest* request, const void* logFont);

class RunJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gScript = LibraryScript();
    platform.world.sendPageInt = StandInSendPageInt;
    platform.world.AddFile(u"C:\\jobs\\job001.txt", "0312345678\r\n");
    platform.world.folders.insert(u"C:\\out");
    platform.world.commandLine =
        u"\"C:\\bin\\faxjob.exe\" C:\\jobs\\job001.txt C:\\out\\status.txt";
  }

  int Run() {
    SendRequest request{};
    return RunJob(platform, request);
  }

  std::string Report() {
    return platform.world.files.count(kReport) ? platform.world.files[kReport] : "<none>";
  }

  static std::string ErrorLine(std::int32_t code) {
    std::string line;
    AppendNumberField(line, code);
    return line + "," + FakeNarrow(DescriptionOf(code)) + "\r\n";
  }

  // Enough entries for the report to be written in several pieces; returns the complete report.
  std::string ScriptManyEntries() {
    gScript.result.clear();
    std::string complete;
    for (int entry = 1; entry <= 6000; ++entry) {
      gScript.result += "/R " + std::to_string(entry) + "\r\n";
      AppendNumberField(complete, entry);
      complete += "," + kDone + "\r\n";
    }
    return complete;
  }

  // A platform of its own for one run of a sweep, with this test's job and an earlier report.
  void PrepareFresh(FakePlatform& fresh) const {
    fresh.world.sendPageInt = StandInSendPageInt;
    fresh.world.AddFile(u"C:\\jobs\\job001.txt", "x");
    fresh.world.AddFile(kReport, "stale");
    fresh.world.commandLine = platform.world.commandLine;
  }

  const std::u16string kReport = u"C:\\out\\status.txt";
  const std::string kDone = FakeNarrow(u"FAX送信を終了しました｡");
  FakePlatform platform;
};

}  // namespace faxjob::testing
