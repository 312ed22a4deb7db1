// The run from the command line to the report: what it writes, and what
// it records when the library or the transcription fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "run_sequence_fixture.h"

namespace faxjob {
namespace {

using testing::FakeNarrow;
using testing::FakePlatform;
using testing::FakeWorld;
using testing::gScript;
using testing::RunJobTest;

TEST_F(RunJobTest, ReportsEveryEntryWithTheStatusTextOfTheLibraryCode) {
  EXPECT_EQ(Run(), kExitReportWritten);
  EXPECT_EQ(Report(), "000001," + kDone + "\r\n000002," + kDone + "\r\n");
  EXPECT_STREQ(gScript.received.JobFilePath, "C:\\jobs\\job001.txt");
  EXPECT_STREQ(gScript.received.ResultFilePath, "C:\\out\\RESULT.TXT");
  EXPECT_TRUE(platform.observed.messages.empty());

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
    platform.world.commandLine = commandLine;
    platform.observed.messages.clear();
    EXPECT_EQ(Run(), kExitNothingSent) << testing::Utf8(commandLine);
    EXPECT_EQ(platform.observed.messages, std::vector<std::u16string>{kArgumentErrorMessage});
  }
  EXPECT_EQ(gScript.calls, 0);
  EXPECT_EQ(Report(), "<none>");
}

TEST_F(RunJobTest, AcceptsHiddenFilesNeverAndFoldersOnlyWithATrailingBackslash) {
  platform.world.hiddenFiles.insert(u"C:\\jobs\\job001.txt");
  EXPECT_EQ(Run(), kExitNothingSent);

  platform.world.hiddenFiles.clear();
  platform.world.commandLine = u"faxjob C:\\jobs\\ C:\\out\\status.txt";
  EXPECT_EQ(Run(), kExitReportWritten);
  EXPECT_STREQ(gScript.received.JobFilePath, "C:\\jobs\\");

  platform.world.commandLine = u"faxjob C:\\jobs\\job*.t?t C:\\out\\status.txt";
  EXPECT_EQ(Run(), kExitReportWritten);
  EXPECT_STREQ(gScript.received.JobFilePath, "C:\\jobs\\job*.t?t");
}

TEST_F(RunJobTest, ShowsAFailureOfTheFileSearchWithItsCode) {
  platform.faults.failing = {.atCall = 2,
                             .code = kDeviceIoError};  // the search, after the command line
  EXPECT_EQ(Run(), kExitNothingSent);
  ASSERT_EQ(platform.observed.messages.size(), 1u);
  EXPECT_EQ(platform.observed.messages[0],
            u"エラー 57: " + std::u16string(DescriptionOf(kDeviceIoError)));
}

TEST_F(RunJobTest, ReportsLibraryFailuresAsAnErrorLineWithoutCallingIt) {
  const std::pair<FakeWorld::Library, std::int32_t> cases[] = {
      {FakeWorld::Library::kMissing, kFileNotFound},
      {FakeWorld::Library::kNotLoadable, kLibraryLoadError},
      {FakeWorld::Library::kNoEntryPoint, kEntryPointNotFound}};
  for (const auto& [library, code] : cases) {
    platform.world.library = library;
    EXPECT_EQ(Run(), kExitFailedBeforeCall) << code;
    EXPECT_EQ(Report(), ErrorLine(code));
  }
  EXPECT_EQ(gScript.calls, 0);
  EXPECT_TRUE(platform.observed.messages.empty());
}

TEST_F(RunJobTest, ReportsAResultPathTooLongForItsSlotWithoutCallingTheLibrary) {
  const std::u16string folder =
      u"C:\\" + std::u16string(246, u'd');  // 250 bytes with the backslash
  platform.world.folders.insert(folder);
  platform.world.commandLine = u"faxjob C:\\jobs\\job001.txt " + folder + u"\\r.txt";
  EXPECT_EQ(Run(), kExitFailedBeforeCall);
  EXPECT_EQ(platform.world.files[folder + u"\\r.txt"], ErrorLine(kSubscriptOutOfRange));
  EXPECT_EQ(gScript.calls, 0);
}

// Only the result path is bounded, by its slot in the record. A report path
// that Windows without long-path support refuses in its usual form is
// written all the same; the library gets the paths as they were given.
TEST_F(RunJobTest, WritesAReportWhosePathIsLongerThanMaxPath) {
  const std::u16string report = u"C:\\out\\" + std::u16string(255, u'r');  // 262 characters
  platform.world.AddFile(report, "stale");
  platform.world.commandLine = u"faxjob C:\\jobs\\job001.txt " + report;
  EXPECT_EQ(Run(), kExitReportWritten);
  EXPECT_EQ(platform.world.files[report], "000001," + kDone + "\r\n000002," + kDone + "\r\n");
  EXPECT_STREQ(gScript.received.ResultFilePath, "C:\\out\\RESULT.TXT");
}

TEST_F(RunJobTest, ReportsAMissingResultFileWhateverTheLibraryReturned) {
  gScript.writesResult = false;
  gScript.code = -5;
  platform.world.AddFile(kReport, "stale report\r\n");
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(Report(), ErrorLine(kFileNotFound));
}

TEST_F(RunJobTest, KeepsTheLinesWrittenBeforeAFailureMidTranscription) {
  gScript.result = "/R 1\r\n/R 2\r\n\"/R 3";
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(Report(),
            "000001," + kDone + "\r\n000002," + kDone + "\r\n" + ErrorLine(kInputPastEndOfFile));
}

TEST_F(RunJobTest, RemovesAReportThatCannotHoldTheErrorLine) {
  platform.world.diskSpace = 20;  // the first line fits, the rest does not
  platform.world.AddFile(kReport, "stale");
  EXPECT_EQ(Run(), kExitFailureUnreported);
  EXPECT_EQ(Report(), "<none>");
}

TEST_F(RunJobTest, AppendsTheErrorLineToAFinishedReportWhenClosingTheResultFileFails) {
  EXPECT_EQ(Run(), kExitReportWritten);  // a report for the next runs to remove
  const int before = static_cast<int>(platform.observed.calls.size());
  EXPECT_EQ(Run(), kExitReportWritten);
  ASSERT_EQ(platform.observed.events.rbegin()[1], "close-read C:\\out\\RESULT.TXT");
  // The same last call, in the next run.
  const int calls = static_cast<int>(platform.observed.calls.size());
  platform.faults.failing = {.atCall = calls + (calls - before), .code = kDeviceIoError};
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(Report(),
            "000001," + kDone + "\r\n000002," + kDone + "\r\n" + ErrorLine(kDeviceIoError));
}

// Where the file system refuses the delete disposition, the report is written
// as it is, and one that cannot be finished is removed by name.
TEST_F(RunJobTest, RemovesAReportWithoutDeleteDispositionThatCannotBeFinishedByName) {
  platform.world.deleteRefused.insert(kReport);
  EXPECT_EQ(Run(), kExitReportWritten);
  EXPECT_EQ(Report(), "000001," + kDone + "\r\n000002," + kDone + "\r\n");
  platform.world.diskSpace = 20;  // the first line fits, the rest does not
  EXPECT_EQ(Run(), kExitFailureUnreported);
  EXPECT_EQ(Report(), "<none>");
}

// The program's own files are fixed when the run starts; the library gets the
// paths as they were given and may resolve them elsewhere.
TEST_F(RunJobTest, KeepsItsOwnFilesWhereTheyWereWhenTheLibraryChangesTheCurrentFolder) {
  platform.world.currentFolder = u"C:\\out";
  platform.world.folders.insert(u"C:\\elsewhere");
  platform.world.AddFile(u"C:\\elsewhere\\RESULT.TXT", "/R 9\r\n");
  platform.world.commandLine = u"faxjob C:\\jobs\\job001.txt status.txt";
  gScript.changesFolderTo = u"C:\\elsewhere";
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_STREQ(gScript.received.ResultFilePath, "RESULT.TXT");
  EXPECT_EQ(Report(), ErrorLine(kFileNotFound));
  EXPECT_EQ(platform.world.files.count(u"C:\\elsewhere\\status.txt"), 0u);
}

TEST_F(RunJobTest, RecordsAnExceptionOfAnyOtherKindAsAnInternalError) {
  // Where a plain run opens the result file, in a run that starts as the faulty one does.
  FakePlatform plain;
  PrepareFresh(plain);
  SendRequest request{};
  ASSERT_EQ(RunJob(plain, request), kExitReportWritten);
  const std::vector<std::string>& calls = plain.observed.calls;
  const auto opening = std::find(calls.begin(), calls.end(), "OpenForReading");
  FakePlatform faulty;
  PrepareFresh(faulty);
  faulty.faults.failing = {.atCall = static_cast<int>(opening - calls.begin()) + 1,
                           .foreign = true};
  EXPECT_EQ(RunJob(faulty, request), kExitFailureReported);
  EXPECT_EQ(faulty.world.files[kReport], ErrorLine(kInternalError));
}

}  // namespace
}  // namespace faxjob
