#include "run/run_sequence.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fake_platform.h"
#include "run/failure_trap.h"

namespace faxjob {
namespace {

using testing::FakeNarrow;
using testing::FakePlatform;

// What the library stand-in does when called.
struct LibraryScript {
  std::int32_t code = 0;
  bool writesResult = true;
  std::string result = "/R 1\r\n/R 2\r\n";
  SendRequest received{};
  int calls = 0;
} gScript;

std::int32_t FAXJOB_STDCALL StandInSendPageInt(SendRequest* request, const void* logFont) {
  ++gScript.calls;
  std::memcpy(&gScript.received, request, sizeof *request);
  if (logFont != nullptr) return -1;
  if (gScript.writesResult) {
    FakePlatform* platform = FakePlatform::current;
    const std::u16string resultPath(request->ResultFilePath,
                                    request->ResultFilePath + std::strlen(request->ResultFilePath));
    if (platform->folders.count(FakePlatform::FolderOf(resultPath)) != 0 ||
        FakePlatform::FolderOf(resultPath).empty()) {
      platform->files[resultPath] = gScript.result;
    }
  }
  return gScript.code;
}

class RunJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gScript = LibraryScript();
    platform.sendPageInt = StandInSendPageInt;
    platform.AddFile(u"C:\\jobs\\job001.txt", "0312345678\r\n");
    platform.folders.insert(u"C:\\out");
    platform.commandLine = u"\"C:\\bin\\faxjob.exe\" C:\\jobs\\job001.txt C:\\out\\status.txt";
  }

  int Run() {
    SendRequest request{};
    return RunJob(platform, request);
  }

  std::string Report() {
    return platform.files.count(kReport) ? platform.files[kReport] : "<none>";
  }

  static std::string ErrorLine(std::int32_t code) {
    std::string line;
    AppendNumberField(line, code);
    return line + "," + FakeNarrow(DescriptionOf(code)) + "\r\n";
  }

  const std::u16string kReport = u"C:\\out\\status.txt";
  const std::string kDone = FakeNarrow(u"FAX送信を終了しました｡");
  FakePlatform platform;
};

TEST_F(RunJobTest, ReportsEveryEntryWithTheStatusTextOfTheLibraryCode) {
  EXPECT_EQ(Run(), kExitReportWritten);
  EXPECT_EQ(Report(), "000001," + kDone + "\r\n000002," + kDone + "\r\n");
  EXPECT_STREQ(gScript.received.JobFilePath, "C:\\jobs\\job001.txt");
  EXPECT_STREQ(gScript.received.ResultFilePath, "C:\\out\\RESULT.TXT");
  EXPECT_TRUE(platform.messages.empty());

  gScript.code = -5;
  EXPECT_EQ(Run(), kExitLibraryFailed);
  const std::string error = FakeNarrow(u"FAX通信でのｴﾗｰです｡");
  EXPECT_EQ(Report(), "000001," + error + "\r\n000002," + error + "\r\n");
}

TEST_F(RunJobTest, ShowsTheArgumentErrorAndTouchesNothingWhenTheCommandLineIsUnusable) {
  for (const char16_t* commandLine :
       {u"faxjob.exe", u"faxjob.exe   ", u"faxjob.exe C:\\jobs\\job001.txt",
        u"faxjob.exe C:\\jobs\\job001.txt\tC:\\out\\status.txt",
        u"faxjob.exe C:\\jobs\\missing.txt C:\\out\\status.txt",
        u"faxjob.exe C:\\jobs C:\\out\\status.txt",
        u"faxjob.exe \"C:\\jobs\\job001.txt\" C:\\out\\status.txt"}) {
    platform.commandLine = commandLine;
    platform.messages.clear();
    EXPECT_EQ(Run(), kExitCommandLineUnusable) << testing::Utf8(commandLine);
    EXPECT_EQ(platform.messages, std::vector<std::u16string>{kArgumentErrorMessage});
  }
  EXPECT_EQ(gScript.calls, 0);
  EXPECT_EQ(Report(), "<none>");
}

TEST_F(RunJobTest, AcceptsHiddenFilesNeverAndFoldersOnlyWithATrailingBackslash) {
  platform.hiddenFiles.insert(u"C:\\jobs\\job001.txt");
  EXPECT_EQ(Run(), kExitCommandLineUnusable);

  platform.hiddenFiles.clear();
  platform.commandLine = u"faxjob C:\\jobs\\ C:\\out\\status.txt";
  EXPECT_EQ(Run(), kExitReportWritten);
  EXPECT_STREQ(gScript.received.JobFilePath, "C:\\jobs\\");

  platform.commandLine = u"faxjob C:\\jobs\\job*.t?t C:\\out\\status.txt";
  EXPECT_EQ(Run(), kExitReportWritten);
  EXPECT_STREQ(gScript.received.JobFilePath, "C:\\jobs\\job*.t?t");
}

TEST_F(RunJobTest, ShowsAFailureOfTheFileSearchWithItsCode) {
  platform.failCall = 2;  // the file search, right after the command line
  platform.failCode = kDeviceIoError;
  EXPECT_EQ(Run(), kExitCommandLineUnusable);
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0], u"エラー 57: " + DescriptionOf(kDeviceIoError));
}

TEST_F(RunJobTest, ReportsLibraryFailuresAsAnErrorLineWithoutCallingIt) {
  const std::pair<FakePlatform::Library, std::int32_t> cases[] = {
      {FakePlatform::Library::kMissing, kFileNotFound},
      {FakePlatform::Library::kNotLoadable, kLibraryLoadError},
      {FakePlatform::Library::kNoEntryPoint, kEntryPointNotFound}};
  for (const auto& [library, code] : cases) {
    platform.library = library;
    EXPECT_EQ(Run(), kExitFailureReported) << code;
    EXPECT_EQ(Report(), ErrorLine(code));
  }
  EXPECT_EQ(gScript.calls, 0);
  EXPECT_TRUE(platform.messages.empty());
}

TEST_F(RunJobTest, ReportsAResultPathTooLongForItsSlotWithoutCallingTheLibrary) {
  const std::u16string folder =
      u"C:\\" + std::u16string(246, u'd');  // 250 bytes with the backslash
  platform.folders.insert(folder);
  platform.commandLine = u"faxjob C:\\jobs\\job001.txt " + folder + u"\\r.txt";
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(platform.files[folder + u"\\r.txt"], ErrorLine(kSubscriptOutOfRange));
  EXPECT_EQ(gScript.calls, 0);
}

TEST_F(RunJobTest, ReportsAMissingResultFileWhateverTheLibraryReturned) {
  gScript.writesResult = false;
  gScript.code = -5;
  platform.AddFile(kReport, "stale report\r\n");
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(Report(), ErrorLine(kFileNotFound));
}

TEST_F(RunJobTest, KeepsTheLinesWrittenBeforeAFailureMidTranscription) {
  gScript.result = "/R 1\r\n/R 2\r\n\"/R 3";
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(Report(),
            "000001," + kDone + "\r\n000002," + kDone + "\r\n" + ErrorLine(kInputPastEndOfFile));
}

TEST_F(RunJobTest, WritesNoReportWhenItsFolderIsMissing) {
  platform.commandLine = u"faxjob C:\\jobs\\job001.txt C:\\gone\\status.txt";
  EXPECT_EQ(Run(), kExitFailureUnreported);
  EXPECT_EQ(gScript.calls, 1) << "the library is still called";
  EXPECT_EQ(platform.files.count(u"C:\\gone\\status.txt"), 0u);
  EXPECT_TRUE(platform.messages.empty());
}

TEST_F(RunJobTest, LeavesTheResultFileAsWrittenWhenTheReportPathNamesIt) {
  platform.commandLine = u"faxjob C:\\jobs\\job001.txt C:\\out\\RESULT.TXT";
  EXPECT_EQ(Run(), kExitFailureUnreported);
  EXPECT_EQ(platform.files[u"C:\\out\\RESULT.TXT"], gScript.result);
}

TEST_F(RunJobTest, RemovesAReportThatCannotHoldTheErrorLine) {
  platform.diskSpace = 20;  // the first line fits, the rest does not
  platform.AddFile(kReport, "stale");
  EXPECT_EQ(Run(), kExitFailureUnreported);
  EXPECT_EQ(Report(), "<none>");
}

TEST_F(RunJobTest, RewritesTheReportWithTheErrorLineAloneWhenClosingTheResultFileFails) {
  EXPECT_EQ(Run(), kExitReportWritten);
  ASSERT_EQ(platform.events.back(), "close-read C:\\out\\RESULT.TXT");
  platform.failCall = 2 * platform.calls;  // the same last call, in the next run
  platform.failCode = kDeviceIoError;
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(Report(), ErrorLine(kDeviceIoError));
}

struct FaultOutcome {
  int status = -1;
  std::string report;
} gFaultOutcome;

std::int32_t FAXJOB_STDCALL CrashingSendPageInt(SendRequest*, const void*) {
  // The process ends where the library crashed.
  gFaultOutcome.status = FakePlatform::current->SimulateFault();
  gFaultOutcome.report = FakePlatform::current->files[u"C:\\out\\status.txt"];
  return 0;
}

TEST_F(RunJobTest, TurnsAFaultInsideTheLibraryIntoTheErrorLineAlone) {
  platform.sendPageInt = CrashingSendPageInt;
  platform.AddFile(kReport, "000001,earlier run\r\n");
  Run();
  EXPECT_EQ(gFaultOutcome.status, kExitFailureReported);
  EXPECT_EQ(gFaultOutcome.report, ErrorLine(kInternalError));
  EXPECT_FALSE(platform.faultPath) << "disarmed when the run ends";
}

// A fault may come at any moment, from a thread the library left running.
// Whenever it comes, the report holds complete lines and then the error
// line, or is absent or stale, and the exit status says which.
TEST_F(RunJobTest, NeverLetsAFaultPassForASuccessfulRun) {
  gScript.result.clear();
  std::string complete;  // enough entries for the report to be written in several pieces
  for (int entry = 1; entry <= 6000; ++entry) {
    gScript.result += "/R " + std::to_string(entry) + "\r\n";
    AppendNumberField(complete, entry);
    complete += "," + kDone + "\r\n";
  }
  bool sawLinesBefore = false;
  bool sawAllLinesBefore = false;
  for (int faultCall = 1;; ++faultCall) {
    FakePlatform fresh;
    fresh.sendPageInt = StandInSendPageInt;
    fresh.AddFile(u"C:\\jobs\\job001.txt", "x");
    fresh.AddFile(kReport, "stale");
    fresh.commandLine = platform.commandLine;
    fresh.faultCall = faultCall;
    SendRequest request{};
    RunJob(fresh, request);
    if (!fresh.faultOutcome) break;  // the run ended before that call
    SCOPED_TRACE("fault at call " + std::to_string(faultCall));
    const auto& [status, files] = *fresh.faultOutcome;
    const auto report = files.find(kReport);
    if (status == kExitFailureReported) {
      ASSERT_NE(report, files.end());
      const std::string& text = report->second;
      const std::size_t linesBefore = text.size() - ErrorLine(kInternalError).size();
      EXPECT_EQ(text.substr(linesBefore), ErrorLine(kInternalError));
      EXPECT_EQ(text.compare(0, linesBefore, complete, 0, linesBefore), 0);
      EXPECT_TRUE(linesBefore == 0 || text[linesBefore - 1] == '\n');
      sawLinesBefore = sawLinesBefore || linesBefore > 0;
      sawAllLinesBefore = sawAllLinesBefore || linesBefore == complete.size();
    } else {
      EXPECT_EQ(status, kExitFailureUnreported);
      EXPECT_TRUE(report == files.end() || report->second == "stale");
    }
  }
  EXPECT_TRUE(sawLinesBefore && sawAllLinesBefore);
}

// Every platform call of a run fails in turn. Whatever fails, the report is
// complete, or ends in exactly one error line after complete lines, or is
// absent or stale, and the exit status says which.
TEST_F(RunJobTest, NeverLetsAFailedRunPassForASuccessfulOne) {
  const std::string line = "," + kDone + "\r\n";
  const std::string complete = "000001" + line + "000002" + line + "000003" + line;
  for (std::int32_t code : {kDeviceIoError, kDiskFull, kOutOfMemory}) {
    bool gotThrough = false;
    for (int failCall = 1; !gotThrough && failCall < 200; ++failCall) {
      FakePlatform fresh;
      fresh.sendPageInt = StandInSendPageInt;
      fresh.readChunk = 5;
      fresh.AddFile(u"C:\\jobs\\job001.txt", "x");
      fresh.AddFile(kReport, "stale");
      fresh.folders.insert(u"C:\\out");
      fresh.commandLine = platform.commandLine;
      fresh.failCall = failCall;
      fresh.failCode = code;
      gScript = LibraryScript();
      gScript.result = "/R 1\r\n/R 2\r\n/R 3\r\n";
      SendRequest request{};
      const int status = RunJob(fresh, request);
      gotThrough = fresh.calls < failCall;
      const bool present = fresh.files.count(kReport) != 0;
      const std::string report = present ? fresh.files[kReport] : "";
      SCOPED_TRACE("failing call " + std::to_string(failCall) + ", code " + std::to_string(code));
      EXPECT_TRUE(fresh.openForReading.empty() && fresh.openForWriting.empty());
      switch (status) {
        case kExitReportWritten:
          EXPECT_EQ(report, complete);
          break;
        case kExitFailureReported: {
          ASSERT_TRUE(present);
          const std::size_t lastLine = report.rfind("\r\n", report.size() - 3);
          const std::size_t errorStart = lastLine == std::string::npos ? 0 : lastLine + 2;
          EXPECT_EQ(complete.compare(0, errorStart, report, 0, errorStart), 0) << report;
          const std::string errorLine = report.substr(errorStart);
          const bool isErrorLine = errorLine == ErrorLine(code) ||
                                   errorLine == ErrorLine(kInternalError) ||
                                   errorLine == ErrorLine(kFileNotFound);
          EXPECT_TRUE(isErrorLine) << errorLine;
          break;
        }
        case kExitFailureUnreported:
          EXPECT_TRUE(!present || report == "stale") << report;
          break;
        case kExitCommandLineUnusable:
          EXPECT_EQ(fresh.messages.size(), 1u);
          EXPECT_EQ(report, "stale");
          break;
        default:
          ADD_FAILURE() << "exit status " << status;
      }
    }
    EXPECT_TRUE(gotThrough);
  }
}

}  // namespace
}  // namespace faxjob
