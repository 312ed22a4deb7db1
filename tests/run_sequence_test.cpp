#include "run/run_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <tuple>

#include "fake_platform.h"
#include "platform/sharing_retry.h"
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
  std::u16string changesFolderTo;  // before it writes its result file
  SendRequest received{};
  int calls = 0;
  std::size_t platformCallsBefore = 0;  // when it was called
} gScript;

std::int32_t FAXJOB_STDCALL StandInSendPageInt(SendRequest* request, const void* logFont) {
  ++gScript.calls;
  std::memcpy(&gScript.received, request, sizeof *request);
  FakePlatform* platform = FakePlatform::current;
  gScript.platformCallsBefore = platform->calls.size();
  if (logFont != nullptr) return -1;
  if (!gScript.changesFolderTo.empty()) platform->currentFolder = gScript.changesFolderTo;
  if (gScript.writesResult) {
    const std::u16string resultPath = platform->Resolve(std::u16string(
        request->ResultFilePath, request->ResultFilePath + std::strlen(request->ResultFilePath)));
    if (platform->folders.count(FakePlatform::FolderOf(resultPath)) != 0) {
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
    fresh.sendPageInt = StandInSendPageInt;
    fresh.AddFile(u"C:\\jobs\\job001.txt", "x");
    fresh.AddFile(kReport, "stale");
    fresh.commandLine = platform.commandLine;
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
    EXPECT_EQ(Run(), kExitNothingSent) << testing::Utf8(commandLine);
    EXPECT_EQ(platform.messages, std::vector<std::u16string>{kArgumentErrorMessage});
  }
  EXPECT_EQ(gScript.calls, 0);
  EXPECT_EQ(Report(), "<none>");
}

TEST_F(RunJobTest, AcceptsHiddenFilesNeverAndFoldersOnlyWithATrailingBackslash) {
  platform.hiddenFiles.insert(u"C:\\jobs\\job001.txt");
  EXPECT_EQ(Run(), kExitNothingSent);

  platform.hiddenFiles.clear();
  platform.commandLine = u"faxjob C:\\jobs\\ C:\\out\\status.txt";
  EXPECT_EQ(Run(), kExitReportWritten);
  EXPECT_STREQ(gScript.received.JobFilePath, "C:\\jobs\\");

  platform.commandLine = u"faxjob C:\\jobs\\job*.t?t C:\\out\\status.txt";
  EXPECT_EQ(Run(), kExitReportWritten);
  EXPECT_STREQ(gScript.received.JobFilePath, "C:\\jobs\\job*.t?t");
}

TEST_F(RunJobTest, ShowsAFailureOfTheFileSearchWithItsCode) {
  platform.faults = {.atCall = 2, .code = kDeviceIoError};  // the search, after the command line
  EXPECT_EQ(Run(), kExitNothingSent);
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

// Only the result path is bounded, by its slot in the record. A report path
// that Windows without long-path support refuses in its usual form is
// written all the same; the library gets the paths as they were given.
TEST_F(RunJobTest, WritesAReportWhosePathIsLongerThanMaxPath) {
  const std::u16string report = u"C:\\out\\" + std::u16string(255, u'r');  // 262 characters
  platform.AddFile(report, "stale");
  platform.commandLine = u"faxjob C:\\jobs\\job001.txt " + report;
  EXPECT_EQ(Run(), kExitReportWritten);
  EXPECT_EQ(platform.files[report], "000001," + kDone + "\r\n000002," + kDone + "\r\n");
  EXPECT_STREQ(gScript.received.ResultFilePath, "C:\\out\\RESULT.TXT");
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

// Nothing is sent whose outcome could never be recorded: no call, no box,
// nothing written, and a status that says so.
TEST_F(RunJobTest, SendsNothingWhenTheReportCanNeverBeWritten) {
  platform.folders.insert(u"C:\\out\\folder");
  for (const std::u16string path :
       {u"C:\\gone\\status.txt", u"C:\\out\\", u"C:\\out\\folder", u"C:\\out\\r<1.txt",
        u"C:\\out\\r|1.txt", u"C:\\out\\r?.txt", u"C:\\out\\RESULT.TXT", u"C:\\out\\result.txt. ",
        u"C:\\out\\faxjob.lck", u"C:\\out\\readonly.txt", u"C:\\out\\hidden.txt"}) {
    platform.AddFile(u"C:\\out\\readonly.txt", "old");
    platform.readOnlyFiles.insert(u"C:\\out\\readonly.txt");
    platform.AddFile(u"C:\\out\\hidden.txt", "old");
    platform.hiddenFiles.insert(u"C:\\out\\hidden.txt");
    const auto before = platform.files;
    platform.commandLine = u"faxjob C:\\jobs\\job001.txt " + path;
    EXPECT_EQ(Run(), kExitNothingSent) << testing::Utf8(path);
    EXPECT_EQ(platform.files, before) << testing::Utf8(path);
  }
  EXPECT_EQ(gScript.calls, 0);
  EXPECT_TRUE(platform.messages.empty());
}

// What cannot be right is refused before the call, as Windows reads the
// paths: status 3, nothing written, and for a job path that names a device
// the argument error (the job file must be an ordinary file).
TEST_F(RunJobTest, RefusesBeforeTheCallWhatCannotBeRight) {
  platform.folders.insert(u"D:");
  platform.AddFile(u"C:\\out\\RESULT.TXT", "/R 7\r\n");
  platform.AddFile(u"C:\\out\\FAXJOB.LCK", "");
  platform.AddFile(u"C:\\jobs\\LPT1.txt", "x");  // as Wine may hold it
  platform.AddFile(u"C:\\work\\COM1", "x");
  // Hard links are names in their folders too; short names are not listed.
  platform.AddFile(u"C:\\out\\link.txt", "");
  platform.AddFile(u"C:\\jobs\\result-link.txt", "");
  platform.otherNames = {{u"C:\\JOBS~1\\JOB001~1.TXT", u"C:\\jobs\\job001.txt"},
                         {u"C:\\out\\link.txt", u"C:\\jobs\\job001.txt"},
                         {u"C:\\jobs\\result-link.txt", u"C:\\out\\RESULT.TXT"}};
  const struct {
    std::u16string job;
    std::u16string report;
    bool box;
  } cases[] = {
      // The report path is the job file, by identity.
      {u"C:\\jobs\\job001.txt", u"C:\\jobs\\job001.txt", false},
      {u"C:\\jobs\\job001.txt", u"c:\\JOBS\\Job001.TXT", false},
      {u"C:\\jobs\\job001.txt", u"C:\\out\\..\\jobs\\.\\job001.txt", false},
      {u"C:\\jobs\\job001.txt", u"C:\\JOBS~1\\JOB001~1.TXT", false},
      {u"C:\\jobs\\job001.txt", u"C:\\out\\link.txt", false},
      {u"C:\\jobs\\job001.txt", u"C:\\jobs/job001.txt", false},
      // The job file is the report folder's result or lock file.
      {u"C:\\out\\RESULT.TXT", u"C:\\out\\r.txt", false},
      {u"C:\\out\\result.txt", u"C:\\out\\r.txt", false},
      {u"C:\\out\\FAXJOB.LCK", u"C:\\out\\r.txt", false},
      {u"C:\\jobs\\result-link.txt", u"C:\\out\\r.txt", false},
      // A reserved name as the system normalises the report path.
      {u"C:\\jobs\\job001.txt", u"C:\\out/RESULT.TXT", false},
      {u"C:\\jobs\\job001.txt", u"C:\\out\\RESULT.TXT\\.", false},
      {u"C:\\jobs\\job001.txt", u"C:\\out\\sub\\..\\faxjob.lck. . ", false},
      {u"C:\\jobs\\job001.txt", u"C:\\out/FAXJOB.LCK", false},
      {u"C:\\jobs\\job001.txt", u"D:RESULT.TXT", false},
      {u"C:\\jobs\\job001.txt", u"C:RESULT.TXT", false},
      {u"C:\\jobs\\job001.txt", u"C:\\out\\zrqint32.dll.", false},
      // A stream of a file.
      {u"C:\\jobs\\job001.txt", u"C:\\out\\RESULT.TXT:x", false},
      {u"C:\\jobs\\job001.txt", u"C:\\out\\RESULT.TXT::$DATA", false},
      {u"C:\\jobs\\job001.txt", u"C:\\out\\FAXJOB.LCK:x", false},
      {u"C:\\jobs\\job001.txt", u"C:\\out\\r.txt:x", false},
      {u"C:\\jobs\\job001.txt", u"C:\\jobs\\job001.txt::$DATA", false},
      // A device as the job path.
      {u"COM1", kReport, true},
      {u"NUL", kReport, true},
      {u"\\\\.\\COM1", kReport, true},
      {u"C:\\jobs\\LPT1.txt", kReport, true},
      {u"C:\\jobs\\nul", kReport, true},
  };
  for (const auto& [job, report, box] : cases) {
    SCOPED_TRACE(testing::Utf8(job) + " " + testing::Utf8(report));
    const auto before = platform.files;
    platform.messages.clear();
    platform.commandLine = u"faxjob " + job + u" " + report;
    EXPECT_EQ(Run(), kExitNothingSent);
    EXPECT_EQ(platform.files, before);
    EXPECT_EQ(platform.messages, box ? std::vector<std::u16string>{kArgumentErrorMessage}
                                     : std::vector<std::u16string>{});
  }
  EXPECT_EQ(gScript.calls, 0);
  // Other spellings of other files still go ahead.
  platform.folders.insert(u"C:\\out\\sub");
  for (const std::u16string report :
       {u"C:\\out/sub/r.txt", u"C:\\out\\RESULT.TXT.bak", u"C:\\out\\r.txt. "}) {
    platform.commandLine = u"faxjob C:\\jobs\\job001.txt " + report;
    EXPECT_EQ(Run(), kExitReportWritten) << testing::Utf8(report);
  }
}

// A path must reach the library exactly: a near equivalent (e for é, a
// backslash for ¥) or a '?' could name another file.
TEST_F(RunJobTest, RefusesPathsWithoutAnExactNarrowFormBeforeTheLibraryIsCalled) {
  for (const std::u16string name : {u"é", u"¥..¥x", u"☃", u"\U0001F4E0", u"\xD800"}) {
    const std::u16string job = u"C:\\jobs\\" + name + u".txt";
    const std::u16string folder = u"C:\\out\\" + name;
    platform.AddFile(job, "x");
    platform.folders.insert(folder);
    for (const std::u16string& arguments :
         {job + u" " + kReport, u"C:\\jobs\\job001.txt " + folder + u"\\r.txt"}) {
      platform.commandLine = u"faxjob " + arguments;
      const std::u16string report = arguments.substr(arguments.find(u' ') + 1);
      EXPECT_EQ(Run(), kExitFailureReported) << testing::Utf8(arguments);
      EXPECT_EQ(platform.files[report], ErrorLine(kBadFileName)) << testing::Utf8(arguments);
    }
  }
  EXPECT_EQ(gScript.calls, 0);
}

// A result file the library did not rewrite is the previous job's.
TEST_F(RunJobTest, NeverTranscribesAResultFileLeftFromAnEarlierRun) {
  gScript.writesResult = false;
  for (std::int32_t code : {0, -16}) {
    platform.AddFile(u"C:\\out\\RESULT.TXT", "/R 7\r\n/R 8\r\n/R 9\r\n");
    gScript.code = code;
    EXPECT_EQ(Run(), kExitFailureReported);
    EXPECT_EQ(Report(), ErrorLine(kFileNotFound));
  }
  // One that cannot be removed stops the run before the library is called.
  platform.AddFile(u"C:\\out\\RESULT.TXT", "/R 7\r\n");
  platform.readOnlyFiles.insert(u"C:\\out\\RESULT.TXT");
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(Report(), ErrorLine(kAccessRefused));
  EXPECT_EQ(gScript.calls, 2);
}

// The turn on the result file's folder is held from before the stale result
// file is removed until the new one is closed, also when the run fails.
TEST_F(RunJobTest, HoldsTheFolderTurnFromTheRemovalUntilTheResultFileIsClosed) {
  auto turnEvents = [this] {
    std::vector<std::string> events;
    for (const std::string& event : platform.events) {
      if (event.find("RESULT.TXT") != std::string::npos || event.starts_with("turn")) {
        events.push_back(event);
      }
    }
    platform.events.clear();
    return events;
  };
  platform.AddFile(u"C:\\out\\RESULT.TXT", "old");
  EXPECT_EQ(Run(), kExitReportWritten);
  const std::vector<std::string> expected = {
      "turn-take C:\\out\\", "remove C:\\out\\RESULT.TXT", "open-read C:\\out\\RESULT.TXT",
      "close-read C:\\out\\RESULT.TXT", "turn-give C:\\out\\"};
  EXPECT_EQ(turnEvents(), expected);
  gScript.result = "/R 1\r\n\"/R 2";
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(turnEvents(), expected);

  // The turn's lock file stays; one that cannot be opened stops the run before the call.
  EXPECT_EQ(platform.files.at(u"C:\\out\\FAXJOB.LCK"), "");
  platform.files.erase(u"C:\\out\\FAXJOB.LCK");
  platform.folders.insert(u"C:\\out\\FAXJOB.LCK");
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(Report(), ErrorLine(kAccessRefused));
  EXPECT_EQ(gScript.calls, 2);
}

TEST_F(RunJobTest, RemovesAReportThatCannotHoldTheErrorLine) {
  platform.diskSpace = 20;  // the first line fits, the rest does not
  platform.AddFile(kReport, "stale");
  EXPECT_EQ(Run(), kExitFailureUnreported);
  EXPECT_EQ(Report(), "<none>");
}

TEST_F(RunJobTest, AppendsTheErrorLineToAFinishedReportWhenClosingTheResultFileFails) {
  EXPECT_EQ(Run(), kExitReportWritten);  // a report for the next runs to remove
  const int before = static_cast<int>(platform.calls.size());
  EXPECT_EQ(Run(), kExitReportWritten);
  ASSERT_EQ(platform.events.rbegin()[1], "close-read C:\\out\\RESULT.TXT");
  // The same last call, in the next run.
  const int calls = static_cast<int>(platform.calls.size());
  platform.faults = {.atCall = calls + (calls - before), .code = kDeviceIoError};
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(Report(),
            "000001," + kDone + "\r\n000002," + kDone + "\r\n" + ErrorLine(kDeviceIoError));
}

struct FaultOutcome {
  int status = -1;
  std::string report;
} gFaultOutcome;

std::int32_t FAXJOB_STDCALL CrashingSendPageInt(SendRequest*, const void*) {
  // The process ends where the library crashed.
  const FakePlatform::FaultOutcome outcome = FakePlatform::current->SimulateFault();
  gFaultOutcome.status = outcome.status;
  gFaultOutcome.report = outcome.files.at(u"C:\\out\\status.txt");
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

std::optional<FakePlatform::UnseenEnd> gUnseenEnd;
std::optional<FakePlatform::FaultOutcome> gUnseenEndOutcome;

std::int32_t FAXJOB_STDCALL UnseenEndingSendPageInt(SendRequest*, const void*) {
  gUnseenEndOutcome = FakePlatform::current->SimulateUnseenEnd(*gUnseenEnd, kExitNothingSent);
  return 0;
}

// Ends the process through an entry point it looked up: ExitProcess is still
// recorded as a fault at the detach; TerminateProcess leaves its own status
// and no report, never the earlier one.
TEST_F(RunJobTest, AnEndNothingRedirectsIsRecordedAtTheDetachOrLeavesNoReport) {
  platform.sendPageInt = UnseenEndingSendPageInt;
  for (const auto& [end, status, report] :
       {std::tuple{FakePlatform::UnseenEnd::kExitProcess, kExitFailureReported,
                   std::optional(ErrorLine(kInternalError))},
        std::tuple{FakePlatform::UnseenEnd::kTerminateProcess, kExitNothingSent,
                   std::optional<std::string>()}}) {
    platform.AddFile(kReport, "stale");
    gUnseenEnd = end;
    Run();
    ASSERT_TRUE(gUnseenEndOutcome);
    EXPECT_EQ(gUnseenEndOutcome->status, status);
    const auto left = gUnseenEndOutcome->files.find(kReport);
    EXPECT_EQ(left == gUnseenEndOutcome->files.end() ? std::nullopt : std::optional(left->second),
              report);
  }
}

// A fault may come at any moment, from a thread the library left running.
// Whenever it comes, the report holds complete lines and then the error
// line, or is absent or stale, and the exit status says which; once the
// report has its name it is final: the fault leaves it, and the process ends
// with the status that goes with it. Once the run has decided its end, a
// fault changes nothing: one end, the run's.
TEST_F(RunJobTest, NeverLetsAFaultPassForASuccessfulRun) {
  const std::string complete = ScriptManyEntries();
  bool sawLinesBefore = false;
  bool sawAllLinesBefore = false;
  bool sawKept = false;
  for (int faultCall = 1;; ++faultCall) {
    FakePlatform fresh;
    PrepareFresh(fresh);
    fresh.faultCall = faultCall;
    SendRequest request{};
    const int runStatus = RunJob(fresh, request);
    if (!fresh.faultOutcome) {  // the run ended before that call: a fault now is too late
      const FakePlatform::FaultOutcome late = fresh.SimulateFault();
      EXPECT_EQ(late.status, runStatus);
      EXPECT_EQ(late.files, fresh.FilesLeftAtTheEnd());
      break;
    }
    SCOPED_TRACE("fault at call " + std::to_string(faultCall));
    const auto& [status, files] = *fresh.faultOutcome;
    const auto report = files.find(kReport);
    if (status == kExitReportWritten) {
      ASSERT_NE(report, files.end());
      EXPECT_EQ(report->second, complete);
      sawKept = true;
    } else if (status == kExitFailureReported) {
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
  EXPECT_TRUE(sawLinesBefore && sawAllLinesBefore && sawKept);
}

// The process may be ended from outside at any moment: a caller's time-out,
// a task manager. Whenever that happens, the report is absent or complete;
// the earlier report is left only where no library code has run yet (its
// start-up code runs when it is loaded); and whatever else the run left in
// the folder is one of its own temporary names, which the next run into the
// folder removes.
TEST_F(RunJobTest, LeavesNoReportThatLiesWhenEndedFromOutsideAtAnyMoment) {
  const std::string complete = ScriptManyEntries();
  const std::u16string job = u"C:\\jobs\\job001.txt";
  const std::set<std::u16string> ownFiles = {job, kReport, u"C:\\out\\RESULT.TXT",
                                             u"C:\\out\\FAXJOB.LCK"};
  std::map<std::string, int> seen;
  bool named = false;  // the report had its name at an earlier kill: final from then on
  for (int killCall = 1;; ++killCall) {
    FakePlatform fresh;
    PrepareFresh(fresh);
    fresh.killCall = killCall;
    SendRequest request{};
    RunJob(fresh, request);
    if (!fresh.killOutcome) break;  // the run ended before that call
    SCOPED_TRACE("ended at call " + std::to_string(killCall) + ", " + fresh.calls[killCall - 1]);
    const auto loading = std::find(fresh.calls.begin(), fresh.calls.end(), "LoadEntryPoint");
    const bool libraryCodeRan = loading - fresh.calls.begin() < killCall - 1;
    const auto report = fresh.killOutcome->find(kReport);
    if (report == fresh.killOutcome->end()) {
      ++seen["absent"];
      EXPECT_FALSE(named) << "the report went after it had its name";
    } else if (report->second == "stale") {
      ++seen["earlier"];
      EXPECT_FALSE(libraryCodeRan);
    } else {
      ++seen["complete"];
      EXPECT_EQ(report->second, complete);
      named = true;
    }
    // The next run into the folder finds what this one left, and leaves only its own files.
    FakePlatform next;
    next.sendPageInt = StandInSendPageInt;
    next.commandLine = platform.commandLine;
    next.folders.insert(u"C:\\out");
    for (const auto& [path, content] : *fresh.killOutcome) {
      if (ownFiles.count(path) == 0) {
        ++seen["left"];
        EXPECT_TRUE(path.starts_with(u"C:\\out\\~faxjob-") && path.ends_with(u".tmp"))
            << testing::Utf8(path);
      }
      next.AddFile(path, content);
    }
    EXPECT_EQ(RunJob(next, request), kExitReportWritten);
    for (const auto& [path, content] : next.files) {
      EXPECT_EQ(ownFiles.count(path), 1u) << testing::Utf8(path);
    }
  }
  EXPECT_TRUE(seen["absent"] > 0 && seen["earlier"] > 0 && seen["complete"] > 0);
  EXPECT_GT(seen["left"], 0);  // an empty report's own name, before it is marked
}

// Where the file system refuses the mark, the report is written as it is,
// and one that cannot be finished is removed by name.
TEST_F(RunJobTest, RemovesAnUnmarkedReportThatCannotBeFinishedByName) {
  platform.deleteRefused.insert(kReport);
  EXPECT_EQ(Run(), kExitReportWritten);
  EXPECT_EQ(Report(), "000001," + kDone + "\r\n000002," + kDone + "\r\n");
  platform.diskSpace = 20;  // the first line fits, the rest does not
  EXPECT_EQ(Run(), kExitFailureUnreported);
  EXPECT_EQ(Report(), "<none>");
}

// The program's own files are fixed when the run starts; the library gets the
// paths as they were given and may resolve them elsewhere.
TEST_F(RunJobTest, KeepsItsOwnFilesWhereTheyWereWhenTheLibraryChangesTheCurrentFolder) {
  platform.currentFolder = u"C:\\out";
  platform.folders.insert(u"C:\\elsewhere");
  platform.AddFile(u"C:\\elsewhere\\RESULT.TXT", "/R 9\r\n");
  platform.commandLine = u"faxjob C:\\jobs\\job001.txt status.txt";
  gScript.changesFolderTo = u"C:\\elsewhere";
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_STREQ(gScript.received.ResultFilePath, "RESULT.TXT");
  EXPECT_EQ(Report(), ErrorLine(kFileNotFound));
  EXPECT_EQ(platform.files.count(u"C:\\elsewhere\\status.txt"), 0u);
}

TEST_F(RunJobTest, RecordsAnExceptionOfAnyOtherKindAsAnInternalError) {
  EXPECT_EQ(Run(), kExitReportWritten);
  const auto opening = std::find(platform.calls.begin(), platform.calls.end(), "OpenForReading");
  platform.faults = {.atCall = static_cast<int>(opening - platform.calls.begin()) + 1 +
                               static_cast<int>(platform.calls.size()),
                     .foreign = true};
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(Report(), ErrorLine(kInternalError));
}

struct Outcome {
  int status;
  std::optional<std::string> report;  // none: no report file
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  return out << "status " << outcome.status << ", report "
             << (outcome.report ? "\"" + *outcome.report + "\"" : "none");
}

// Every platform call of a run fails in turn, once (a transient fault) or
// from then on (a full disk, a dead device). What the run must end in follows
// from the operation that failed alone.
TEST_F(RunJobTest, EndsEveryFaultInTheOneOutcomeItCallsFor) {
  const std::string line = "," + kDone + "\r\n";
  const std::string complete = "000001" + line + "000002" + line + "000003" + line;
  auto runWith = [this](FakePlatform::Faults faults, Outcome* outcome) {
    FakePlatform fresh;
    fresh.sendPageInt = StandInSendPageInt;
    fresh.readChunk = 4096;  // RESULT.TXT in one read; the next one finds its end
    fresh.AddFile(u"C:\\jobs\\job001.txt", "x");
    fresh.AddFile(kReport, "stale");
    fresh.commandLine = platform.commandLine;
    fresh.faults = faults;
    gScript = LibraryScript();
    gScript.result = "/R 1\r\n/R 2\r\n/R 3\r\n";
    SendRequest request{};
    outcome->status = RunJob(fresh, request);
    outcome->report =
        fresh.files.count(kReport) ? std::optional(fresh.files[kReport]) : std::nullopt;
    EXPECT_TRUE(fresh.openForReading.empty() && fresh.openForWriting.empty());
    if (outcome->status == kExitNothingSent) {
      EXPECT_EQ(gScript.calls, 0);
    }
    return fresh;
  };
  Outcome outcome;
  const std::vector<std::string> operations = runWith({}, &outcome).calls;
  ASSERT_EQ(outcome, (Outcome{kExitReportWritten, complete}));

  for (const bool persistent : {false, true}) {
    for (const std::int32_t code : {kDeviceIoError, kDiskFull}) {
      const std::string error = ErrorLine(code);
      const std::optional<std::string> none;
      std::map<std::string, int> seen;
      for (std::size_t n = 1; n <= operations.size(); ++n) {
        const std::string& operation = operations[n - 1];
        const int occurrence = ++seen[operation];
        if (FakePlatform::IsStep(operation)) continue;
        // The earlier report goes with the first removal, before anything else; the old
        // result file with the second, right before the call.
        const bool earlierReportGone = seen["RemoveFile"] > (operation == "RemoveFile" ? 1 : 0);
        const bool called = seen["RemoveFile"] == 2 && operation != "RemoveFile";
        const Outcome failedBeforeTheReport = {
            persistent ? (called ? kExitFailureUnreported : kExitNothingSent)
                       : kExitFailureReported,
            persistent ? (earlierReportGone ? none : std::optional<std::string>("stale"))
                       : std::optional(error)};
        Outcome expected;
        bool box = false;
        if (operation == "RawCommandLine" || operation == "OrdinaryFileMatches") {
          expected = {kExitNothingSent, "stale"};  // with the failure's message box
          box = true;
        } else if (operation == "FullPathOf" || (operation == "RemoveFile" && occurrence == 1)) {
          expected = {kExitNothingSent, "stale"};  // no report can be promised: no call
        } else if (operation == "CanNeverCreate" || operation == "IsSameFile") {
          // Not certain, so the run goes ahead, and then cannot remove the earlier report.
          expected = persistent ? Outcome{kExitNothingSent, "stale"}
                                : Outcome{kExitReportWritten, complete};
        } else if (operation == "Read") {
          // The report is open: empty, then holding the three lines. One that
          // cannot take the error line is gone, since it was never kept.
          expected = persistent
                         ? Outcome{kExitFailureUnreported, none}
                         : Outcome{kExitFailureReported, (occurrence == 1 ? "" : complete) + error};
        } else if (operation == "Write" || operation == "Keep" || operation == "RenameOntoPath") {
          expected = {kExitFailureUnreported, none};
        } else if (operation == "close-write") {
          // Kept, but closing failed, so what the report holds is in doubt.
          expected = {kExitFailureUnreported, persistent ? std::optional(complete) : none};
        } else if (operation == "close-read") {
          expected = persistent ? Outcome{kExitFailureUnreported, complete}
                                : Outcome{kExitFailureReported, complete + error};
        } else {  // before the report is opened
          expected = failedBeforeTheReport;
        }
        SCOPED_TRACE(std::string(persistent ? "persistent" : "transient") + " fault " +
                     std::to_string(code) + " at call " + std::to_string(n) + ", " + operation);
        const FakePlatform faulty = runWith({static_cast<int>(n), code, persistent}, &outcome);
        EXPECT_EQ(outcome, expected);
        EXPECT_EQ(faulty.messages.size(), box ? 1u : 0u);
        EXPECT_EQ(
            faulty.faultsInjected,
            persistent
                ? std::count_if(faulty.calls.begin() + static_cast<long>(n) - 1, faulty.calls.end(),
                                [](const std::string& call) { return !FakePlatform::IsStep(call); })
                : 1);
      }
    }
  }
}

// Another program may hold RESULT.TXT or the report for a moment at any of
// their opens and removals: a virus scanner that looks at a fresh file. A hold
// that ends within the waiting changes nothing; a longer one ends as the same
// failure (70) at once would, before or after the call as the operation says.
TEST_F(RunJobTest, WaitsOutAHoldAndEndsAsHeldOnlyWhenItLastsLonger) {
  const std::u16string resultFile = u"C:\\out\\RESULT.TXT";
  struct Run {
    Outcome outcome;
    bool called;
    std::vector<unsigned> waitsMs;
    std::vector<std::string> operations;
  };
  auto run = [&](FakePlatform::Faults faults, FakePlatform::Hold hold) {
    FakePlatform fresh;
    fresh.sendPageInt = StandInSendPageInt;
    fresh.AddFile(u"C:\\jobs\\job001.txt", "x");
    fresh.AddFile(kReport, "stale");
    fresh.AddFile(resultFile, "/R 9\r\n");
    fresh.commandLine = platform.commandLine;
    fresh.faults = faults;
    fresh.holds = {hold};
    gScript = LibraryScript();
    SendRequest request{};
    const int status = RunJob(fresh, request);
    const auto report = fresh.files.find(kReport);
    return Run{{status, report == fresh.files.end() ? std::nullopt : std::optional(report->second)},
               gScript.calls > 0,
               fresh.waitsMs,
               fresh.calls};
  };
  const std::string complete = "000001," + kDone + "\r\n000002," + kDone + "\r\n";
  const std::string held = ErrorLine(kHeldByAnotherProcess);
  const std::optional<std::string> none;
  const Run plain = run({}, {});
  ASSERT_EQ(plain.outcome, (Outcome{kExitReportWritten, complete}));
  const auto closing = std::find(plain.operations.begin(), plain.operations.end(), "close-read");
  const int closingCall = static_cast<int>(closing - plain.operations.begin()) + 1;
  const FakePlatform::Faults closingFails = {.atCall = closingCall, .code = kDeviceIoError};

  // Each open and removal of a plain run, and the append of an error line
  // after a finished report: the file it meets, and how a longer hold ends.
  const struct {
    std::string operation;
    int occurrence;
    FakePlatform::Faults faults;
    std::u16string path;
    Outcome longer;
    bool calledBefore;
  } cases[] = {
      {"RemoveFile", 1, {}, kReport, {kExitNothingSent, "stale"}, false},
      {"RemoveFile", 2, {}, resultFile, {kExitFailureReported, held}, false},
      {"OpenForReading", 1, {}, resultFile, {kExitFailureReported, held}, true},
      // The report is written under a name of its own, and meets a hold on its path only when
      // it takes that name: whole, but never under the report's name.
      {"RenameOntoPath", 1, {}, kReport, {kExitFailureUnreported, none}, true},
      {"OpenForAppending", 1, closingFails, kReport, {kExitFailureUnreported, none}, true}};
  for (const auto& [operation, occurrence, faults, path, longer, calledBefore] : cases) {
    const Run without = run(faults, {});
    int call = 0;
    for (int seen = 0; seen < occurrence; ++call) {
      ASSERT_LT(call, static_cast<int>(without.operations.size())) << operation;
      if (without.operations[call] == operation) ++seen;
    }
    SCOPED_TRACE(operation + " " + testing::Utf8(path) + " at call " + std::to_string(call));
    // Each hold as Windows reports it; a removed file that a scanner still has open is refused
    // access, and only its NT status tells that it is pending deletion.
    const std::pair<std::uint32_t, std::uint32_t> holdsAsReported[] = {
        {sharing_retry::kSharingViolation, 0},
        {sharing_retry::kLockViolation, 0},
        {sharing_retry::kAccessDenied, sharing_retry::kDeletePending}};
    for (const auto& [error, ntStatus] : holdsAsReported) {
      SCOPED_TRACE("error " + std::to_string(error));
      const Run shorter = run(faults, {path, sharing_retry::kTries - 1, call, error, ntStatus});
      EXPECT_EQ(shorter.outcome, without.outcome);
      EXPECT_EQ(shorter.waitsMs.size(), static_cast<std::size_t>(sharing_retry::kTries - 1));
      const Run longerRun = run(faults, {path, sharing_retry::kTries, call, error, ntStatus});
      EXPECT_EQ(longerRun.called, calledBefore);
      EXPECT_EQ(longerRun.waitsMs, shorter.waitsMs);
      if (error != sharing_retry::kAccessDenied) {
        EXPECT_EQ(longerRun.outcome, longer);
      }
    }
  }
  // The plain run opens, removes and renames onto a name nothing else.
  EXPECT_EQ(std::count_if(plain.operations.begin(), plain.operations.end(),
                          [](const std::string& operation) {
                            return operation == "RemoveFile" || operation.starts_with("OpenFor") ||
                                   operation == "RenameOntoPath";
                          }),
            5);
}

// A share may fail for a moment (the connection dropped and the client
// reconnects). After the call, where failing would lose the outcome, the
// opens, reads and writes wait it out within the hold's bound; a longer one
// ends as the same error at once would. Before the call nothing waits for it.
TEST_F(RunJobTest, WaitsOutANetworkFailureAfterTheCallOnlyWithinTheBound) {
  const std::u16string resultFile = u"C:\\out\\RESULT.TXT";
  auto run = [&](FakePlatform::Faults faults, std::vector<FakePlatform::Hold> holds) {
    FakePlatform fresh;
    fresh.sendPageInt = StandInSendPageInt;
    fresh.AddFile(u"C:\\jobs\\job001.txt", "x");
    fresh.AddFile(kReport, "stale");
    fresh.commandLine = platform.commandLine;
    fresh.faults = faults;
    fresh.holds = std::move(holds);
    gScript = LibraryScript();
    SendRequest request{};
    const int status = RunJob(fresh, request);
    const auto report = fresh.files.find(kReport);
    return std::make_tuple(
        Outcome{status, report == fresh.files.end() ? std::nullopt : std::optional(report->second)},
        fresh.waitsMs.size(), fresh.calls);
  };
  const auto [plain, noWaits, operations] = run({}, {});
  ASSERT_EQ(noWaits, 0u);
  const struct {
    std::string operation;
    std::u16string path;
    std::int32_t code;  // what the error gives at once
    bool waited;
  } cases[] = {{"RemoveFile", kReport, kAccessRefused, false},
               {"OpenForReading", resultFile, kAccessRefused, true},
               {"Read", resultFile, kDeviceIoError, true},
               {"OpenForWriting", kReport, kAccessRefused, true},
               {"Write", kReport, kDeviceIoError, true}};
  for (const std::uint32_t error :
       {sharing_retry::kNetNameDeleted, sharing_retry::kSemaphoreTimeout,
        sharing_retry::kUnexpectedNetError, sharing_retry::kNetworkBusy}) {
    for (const auto& [operation, path, code, waited] : cases) {
      const int call = static_cast<int>(std::find(operations.begin(), operations.end(), operation) -
                                        operations.begin() + 1);
      SCOPED_TRACE(operation + " error " + std::to_string(error));
      const auto atOnce = std::get<0>(run({.atCall = call, .code = code}, {}));
      const auto [shorter, shortWaits, unused1] =
          run({}, {{path, sharing_retry::kTries - 1, call, error}});
      const auto [longer, longWaits, unused2] =
          run({}, {{path, sharing_retry::kTries, call, error}});
      EXPECT_NE(atOnce, plain);
      EXPECT_EQ(shorter, waited ? plain : atOnce);
      EXPECT_EQ(longer, atOnce);
      EXPECT_EQ(shortWaits, waited ? sharing_retry::kTries - 1u : 0u);
      EXPECT_EQ(longWaits, waited ? sharing_retry::kTries - 1u : 0u);
    }
  }
}

}  // namespace
}  // namespace faxjob
