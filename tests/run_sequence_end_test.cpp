// Runs that end without returning: a fault inside or beside the library, the
// library's own end of the process, and an end from outside at any moment.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>

#include "run_sequence_fixture.h"

namespace faxjob {
namespace {

using testing::FakePlatform;
using testing::gScript;
using testing::ProcessEnd;
using testing::RunJobTest;
using testing::StandInSendPageInt;

struct FaultOutcome {
  int status = -1;
  std::string report;
} gFaultOutcome;

std::int32_t FAXJOB_STDCALL CrashingSendPageInt(SendRequest*, const void*) {
  // The process ends where the library crashed.
  const ProcessEnd outcome = FakePlatform::current->SimulateFault();
  gFaultOutcome.status = outcome.status;
  gFaultOutcome.report = outcome.files.at(u"C:\\out\\status.txt");
  return 0;
}

TEST_F(RunJobTest, TurnsAFaultInsideTheLibraryIntoTheErrorLineAlone) {
  platform.world.sendPageInt = CrashingSendPageInt;
  platform.world.AddFile(kReport, "000001,earlier run\r\n");
  Run();
  EXPECT_EQ(gFaultOutcome.status, kExitFailureReported);
  EXPECT_EQ(gFaultOutcome.report, ErrorLine(kInternalError));
  EXPECT_FALSE(platform.observed.faultPath) << "disarmed when the run ends";
}

std::optional<FakePlatform::UnseenEnd> gUnseenEnd;
std::optional<ProcessEnd> gUnseenEndOutcome;

std::int32_t FAXJOB_STDCALL UnseenEndingSendPageInt(SendRequest*, const void*) {
  gUnseenEndOutcome = FakePlatform::current->SimulateUnseenEnd(*gUnseenEnd, kExitNothingSent);
  return 0;
}

// Ends the process through an entry point it looked up: ExitProcess is still
// recorded as a fault at the detach; TerminateProcess leaves its own status
// and no report, never the earlier one.
TEST_F(RunJobTest, AnEndNothingRedirectsIsRecordedAtTheDetachOrLeavesNoReport) {
  platform.world.sendPageInt = UnseenEndingSendPageInt;
  for (const auto& [end, status, report] :
       {std::tuple{FakePlatform::UnseenEnd::kExitProcess, kExitFailureReported,
                   std::optional(ErrorLine(kInternalError))},
        std::tuple{FakePlatform::UnseenEnd::kTerminateProcess, kExitNothingSent,
                   std::optional<std::string>()}}) {
    platform.world.AddFile(kReport, "stale");
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
    fresh.faults.faultCall = faultCall;
    SendRequest request{};
    const int runStatus = RunJob(fresh, request);
    if (!fresh.observed.faultOutcome) {  // the run ended before that call: a fault now is too late
      const ProcessEnd late = fresh.SimulateFault();
      EXPECT_EQ(late.status, runStatus);
      EXPECT_EQ(late.files, fresh.world.FilesLeftAtTheEnd());
      break;
    }
    SCOPED_TRACE("fault at call " + std::to_string(faultCall));
    const auto& [status, files] = *fresh.observed.faultOutcome;
    const auto report = files.find(kReport);
    if (status == kExitReportWritten) {
      ASSERT_NE(report, files.end());
      EXPECT_EQ(report->second, complete);
      sawKept = true;
    } else if (status == kExitFailureReported || status == kExitFailedBeforeCall) {
      ASSERT_NE(report, files.end());
      const std::string& text = report->second;
      const std::size_t linesBefore = text.size() - ErrorLine(kInternalError).size();
      EXPECT_EQ(text.substr(linesBefore), ErrorLine(kInternalError));
      EXPECT_EQ(text.compare(0, linesBefore, complete, 0, linesBefore), 0);
      EXPECT_TRUE(linesBefore == 0 || text[linesBefore - 1] == '\n');
      // Before the call the fault says that nothing was sent; after it, that something may have.
      const bool calledBefore = faultCall > static_cast<int>(gScript.platformCallsBefore);
      EXPECT_EQ(status == kExitFailedBeforeCall, !calledBefore);
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
    fresh.faults.killCall = killCall;
    SendRequest request{};
    RunJob(fresh, request);
    if (!fresh.observed.killOutcome) break;  // the run ended before that call
    SCOPED_TRACE("ended at call " + std::to_string(killCall) + ", " +
                 fresh.observed.calls[killCall - 1]);
    const auto loading =
        std::find(fresh.observed.calls.begin(), fresh.observed.calls.end(), "LoadEntryPoint");
    const bool libraryCodeRan = loading - fresh.observed.calls.begin() < killCall - 1;
    const auto report = fresh.observed.killOutcome->find(kReport);
    if (report == fresh.observed.killOutcome->end()) {
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
    next.world.sendPageInt = StandInSendPageInt;
    next.world.commandLine = platform.world.commandLine;
    next.world.folders.insert(u"C:\\out");
    for (const auto& [path, content] : *fresh.observed.killOutcome) {
      if (ownFiles.count(path) == 0) {
        ++seen["left"];
        EXPECT_TRUE(path.starts_with(u"C:\\out\\~faxjob-") && path.ends_with(u".tmp"))
            << testing::Utf8(path);
      }
      next.world.AddFile(path, content);
    }
    EXPECT_EQ(RunJob(next, request), kExitReportWritten);
    for (const auto& [path, content] : next.world.files) {
      EXPECT_EQ(ownFiles.count(path), 1u) << testing::Utf8(path);
    }
  }
  EXPECT_TRUE(seen["absent"] > 0 && seen["earlier"] > 0 && seen["complete"] > 0);
  EXPECT_GT(seen["left"], 0);  // an empty report's temporary file, before its delete disposition
}

}  // namespace
}  // namespace faxjob
