// Every failure code placed before or after the library's call, and the exit
// status that tells the caller whether sending again is safe.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/exit_status.h"
#include "base/failure.h"
#include "run/run_sequence.h"
#include "run_sequence_fixture.h"

namespace faxjob {
namespace {

using testing::FakePlatform;
using testing::FakeWorld;
using testing::gScript;
using testing::LibraryScript;
using testing::RunJobTest;

// Every failure code in each situation that raises it, and whether the
// library had been called: a failure recorded before the call ends with status
// 5 (nothing sent, a retry is safe), after it with 1 (a fax may have gone out).
TEST_F(RunJobTest, PlacesEveryFailureCodeBeforeOrAfterTheCall) {
  using Setup = std::function<void(FakePlatform&)>;
  auto run = [this](const Setup& setup, FakePlatform& fresh) {
    PrepareFresh(fresh);
    gScript = LibraryScript();
    setup(fresh);
    SendRequest request{};
    return RunJob(fresh, request);
  };
  FakePlatform plainRun;
  ASSERT_EQ(run([](FakePlatform&) {}, plainRun), kExitReportWritten);
  const std::vector<std::string> plain = plainRun.observed.calls;
  // A failure raised by the given occurrence of an operation of the plain run.
  auto at = [&plain](const std::string& operation, int occurrence, std::int32_t code) {
    int call = 0;
    for (int seen = 0; seen < occurrence; ++call) {
      if (plain.at(call) == operation) ++seen;
    }
    return [call, code](FakePlatform& fresh) {
      fresh.faults.failing = {.atCall = call, .code = code, .foreign = code == kInternalError};
    };
  };
  auto result = [](std::string text) { return [text](FakePlatform&) { gScript.result = text; }; };
  auto reportAt = [](std::u16string report) {
    return [report](FakePlatform& fresh) {
      fresh.world.commandLine = u"faxjob C:\\jobs\\job001.txt " + report;
    };
  };
  const std::u16string longFolder = u"C:\\" + std::u16string(246, u'd');
  const struct {
    std::int32_t code;
    const char* situation;
    Setup setup;
    bool called;
    bool recorded = true;  // in the report's error line
  } cases[] = {
      {kOverflow, "entry number beyond a double", result("/R 1" + std::string(400, '0')), true},
      {kOutOfMemory, "out of memory at the load", at("LoadEntryPoint", 1, kOutOfMemory), false},
      {kOutOfMemory, "out of memory in the transcription", at("Read", 1, kOutOfMemory), true},
      {kSubscriptOutOfRange, "result path too long for its slot",
       [&](FakePlatform& fresh) {
         fresh.world.folders.insert(longFolder);
         reportAt(longFolder + u"\\status.txt")(fresh);
       },
       false},
      {kTypeMismatch, "entry number no number", result("/R x\r\n"), true},
      {kLibraryLoadError, "library not loadable",
       [](FakePlatform& fresh) { fresh.world.library = FakeWorld::Library::kNotLoadable; }, false},
      {kInternalError, "unexpected exception before the call", at("LoadEntryPoint", 1, 51), false},
      {kInternalError, "unexpected exception after the call", at("OpenForReading", 1, 51), true},
      {kBadFileName, "report folder without an exact narrow form",
       [&](FakePlatform& fresh) {
         fresh.world.folders.insert(u"C:\\\u00e9");
         reportAt(u"C:\\\u00e9\\status.txt")(fresh);
       },
       false},
      {kFileNotFound, "library missing",
       [](FakePlatform& fresh) { fresh.world.library = FakeWorld::Library::kMissing; }, false},
      {kFileNotFound, "no result file after the call",
       [](FakePlatform&) { gScript.writesResult = false; }, true},
      // Never written over: what the library wrote stays, and no report tells of it.
      {kFileAlreadyOpen, "report path leading to the result file",
       [&](FakePlatform& fresh) {
         fresh.world.otherNames = {{u"C:\\out\\link.txt", u"C:\\out\\RESULT.TXT"}};
         reportAt(u"C:\\out\\link.txt")(fresh);
       },
       true, false},
      {kDeviceIoError, "device error at the old result file", at("RemoveFile", 2, 57), false},
      {kDeviceIoError, "device error reading the result file", at("Read", 1, 57), true},
      {kDiskFull, "disk full at the lock file", at("TakeFolderTurn", 1, kDiskFull), false},
      {kDiskFull, "disk full after the call", at("Read", 1, kDiskFull), true},
      {kInputPastEndOfFile, "result file ending inside quotes", result("/R 1\r\n\"/R 2"), true},
      {kHeldByAnotherProcess, "old result file held", at("RemoveFile", 2, 70), false},
      {kHeldByAnotherProcess, "result file held", at("OpenForReading", 1, 70), true},
      {kAccessRefused, "lock file refused",
       [](FakePlatform& fresh) { fresh.world.folders.insert(u"C:\\out\\FAXJOB.LCK"); }, false},
      {kAccessRefused, "result file refused", at("OpenForReading", 1, 75), true},
      {kPathNotFound, "folder gone before the call", at("TakeFolderTurn", 1, 76), false},
      {kPathNotFound, "folder gone after the call", at("OpenForReading", 1, 76), true},
      {kEntryPointNotFound, "library without its entry point",
       [](FakePlatform& fresh) { fresh.world.library = FakeWorld::Library::kNoEntryPoint; }, false},
  };
  std::set<std::int32_t> placed;
  for (const auto& [code, situation, setup, called, recorded] : cases) {
    SCOPED_TRACE(situation);
    FakePlatform fresh;
    const int status = run(setup, fresh);
    EXPECT_EQ(gScript.calls > 0, called);
    const std::u16string report =
        fresh.world.commandLine.substr(fresh.world.commandLine.rfind(u' ') + 1);
    if (recorded) {
      EXPECT_EQ(status, called ? kExitFailureReported : kExitFailedBeforeCall);
      EXPECT_TRUE(fresh.world.files[report].ends_with(ErrorLine(code)))
          << fresh.world.files[report];
    } else {
      EXPECT_EQ(status, called ? kExitFailureUnreported : kExitNothingSent);
    }
    placed.insert(code);
  }
  for (std::int32_t code = 0; code < 1000; ++code) {
    if (DescriptionOf(code) != DescriptionOf(-1)) {
      EXPECT_EQ(placed.count(code), 1u) << code;
    }
  }
}

}  // namespace
}  // namespace faxjob
