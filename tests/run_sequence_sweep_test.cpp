// Every platform call of a run made to fail, once or from then on, and every
// open and removal met by another program's hold or a share's moment of
// failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sharing_retry.h"
#include "run_sequence_fixture.h"

namespace faxjob {
namespace {

using testing::FakeFaults;
using testing::FakeObserved;
using testing::FakePlatform;
using testing::FakeWorld;
using testing::gScript;
using testing::LibraryScript;
using testing::RunJobTest;
using testing::StandInSendPageInt;

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
  auto runWith = [this](FakeFaults::Failing faults, Outcome* outcome) {
    FakePlatform fresh;
    fresh.world.sendPageInt = StandInSendPageInt;
    fresh.world.readChunk = 4096;  // RESULT.TXT in one read; the next one finds its end
    fresh.world.AddFile(u"C:\\jobs\\job001.txt", "x");
    fresh.world.AddFile(kReport, "stale");
    fresh.world.commandLine = platform.world.commandLine;
    fresh.faults.failing = faults;
    gScript = LibraryScript();
    gScript.result = "/R 1\r\n/R 2\r\n/R 3\r\n";
    SendRequest request{};
    outcome->status = RunJob(fresh, request);
    outcome->report =
        fresh.world.files.count(kReport) ? std::optional(fresh.world.files[kReport]) : std::nullopt;
    EXPECT_TRUE(fresh.world.openForReading.empty() && fresh.world.openForWriting.empty());
    if (outcome->status == kExitNothingSent) {
      EXPECT_EQ(gScript.calls, 0);
    }
    return fresh.observed;
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
                       : (called ? kExitFailureReported : kExitFailedBeforeCall),
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
        const FakeObserved faulty = runWith({static_cast<int>(n), code, persistent}, &outcome);
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
  auto run = [&](FakeFaults::Failing faults, FakeWorld::Hold hold) {
    FakePlatform fresh;
    fresh.world.sendPageInt = StandInSendPageInt;
    fresh.world.AddFile(u"C:\\jobs\\job001.txt", "x");
    fresh.world.AddFile(kReport, "stale");
    fresh.world.AddFile(resultFile, "/R 9\r\n");
    fresh.world.commandLine = platform.world.commandLine;
    fresh.faults.failing = faults;
    fresh.world.holds = {hold};
    gScript = LibraryScript();
    SendRequest request{};
    const int status = RunJob(fresh, request);
    const auto report = fresh.world.files.find(kReport);
    return Run{
        {status, report == fresh.world.files.end() ? std::nullopt : std::optional(report->second)},
        gScript.calls > 0,
        fresh.observed.waitsMs,
        fresh.observed.calls};
  };
  const std::string complete = "000001," + kDone + "\r\n000002," + kDone + "\r\n";
  const std::string held = ErrorLine(kHeldByAnotherProcess);
  const std::optional<std::string> none;
  const Run plain = run({}, {});
  ASSERT_EQ(plain.outcome, (Outcome{kExitReportWritten, complete}));
  const auto closing = std::find(plain.operations.begin(), plain.operations.end(), "close-read");
  const int closingCall = static_cast<int>(closing - plain.operations.begin()) + 1;
  const FakeFaults::Failing closingFails = {.atCall = closingCall, .code = kDeviceIoError};

  // Each open and removal of a plain run, and the append of an error line
  // after a finished report: the file it meets, and how a longer hold ends.
  const struct {
    std::string operation;
    int occurrence;
    FakeFaults::Failing faults;
    std::u16string path;
    Outcome longer;
    bool calledBefore;
  } cases[] = {
      {"RemoveFile", 1, {}, kReport, {kExitNothingSent, "stale"}, false},
      {"RemoveFile", 2, {}, resultFile, {kExitFailedBeforeCall, held}, false},
      {"OpenForReading", 1, {}, resultFile, {kExitFailureReported, held}, true},
      // The report is written as a temporary file, and meets a hold on its path only when it
      // takes that name: whole, but never under the report's name.
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
  auto run = [&](FakeFaults::Failing faults, std::vector<FakeWorld::Hold> holds) {
    FakePlatform fresh;
    fresh.world.sendPageInt = StandInSendPageInt;
    fresh.world.AddFile(u"C:\\jobs\\job001.txt", "x");
    fresh.world.AddFile(kReport, "stale");
    fresh.world.commandLine = platform.world.commandLine;
    fresh.faults.failing = faults;
    fresh.world.holds = std::move(holds);
    gScript = LibraryScript();
    SendRequest request{};
    const int status = RunJob(fresh, request);
    const auto report = fresh.world.files.find(kReport);
    return std::make_tuple(
        Outcome{status,
                report == fresh.world.files.end() ? std::nullopt : std::optional(report->second)},
        fresh.observed.waitsMs.size(), fresh.observed.calls);
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
