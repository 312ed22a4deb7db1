// What a run refuses before the library is called, and the folder's turn it
// holds around the call.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "run_sequence_fixture.h"

namespace faxjob {
namespace {

using testing::gScript;
using testing::RunJobTest;

// Nothing is sent whose outcome could never be recorded: no call, no box,
// nothing written, and a status that says so.
TEST_F(RunJobTest, SendsNothingWhenTheReportCanNeverBeWritten) {
  platform.world.folders.insert(u"C:\\out\\folder");
  for (const std::u16string path :
       {u"C:\\gone\\status.txt", u"C:\\out\\", u"C:\\out\\folder", u"C:\\out\\r<1.txt",
        u"C:\\out\\r|1.txt", u"C:\\out\\r?.txt", u"C:\\out\\RESULT.TXT", u"C:\\out\\result.txt. ",
        u"C:\\out\\faxjob.lck", u"C:\\out\\readonly.txt", u"C:\\out\\hidden.txt"}) {
    platform.world.AddFile(u"C:\\out\\readonly.txt", "old");
    platform.world.readOnlyFiles.insert(u"C:\\out\\readonly.txt");
    platform.world.AddFile(u"C:\\out\\hidden.txt", "old");
    platform.world.hiddenFiles.insert(u"C:\\out\\hidden.txt");
    const auto before = platform.world.files;
    platform.world.commandLine = u"faxjob C:\\jobs\\job001.txt " + path;
    EXPECT_EQ(Run(), kExitNothingSent) << testing::Utf8(path);
    EXPECT_EQ(platform.world.files, before) << testing::Utf8(path);
  }
  EXPECT_EQ(gScript.calls, 0);
  EXPECT_TRUE(platform.observed.messages.empty());
}

// What cannot be right is refused before the call, as Windows reads the
// paths: status 3, nothing written, and for a job path that names a device
// the argument error (the job file must be an ordinary file).
TEST_F(RunJobTest, RefusesBeforeTheCallWhatCannotBeRight) {
  platform.world.folders.insert(u"D:");
  platform.world.AddFile(u"C:\\out\\RESULT.TXT", "/R 7\r\n");
  platform.world.AddFile(u"C:\\out\\FAXJOB.LCK", "");
  platform.world.AddFile(u"C:\\jobs\\LPT1.txt", "x");  // as Wine may hold it
  platform.world.AddFile(u"C:\\work\\COM1", "x");
  // Hard links are names in their folders too; short names are not listed.
  platform.world.AddFile(u"C:\\out\\link.txt", "");
  platform.world.AddFile(u"C:\\jobs\\result-link.txt", "");
  platform.world.otherNames = {{u"C:\\JOBS~1\\JOB001~1.TXT", u"C:\\jobs\\job001.txt"},
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
    const auto before = platform.world.files;
    platform.observed.messages.clear();
    platform.world.commandLine = u"faxjob " + job + u" " + report;
    EXPECT_EQ(Run(), kExitNothingSent);
    EXPECT_EQ(platform.world.files, before);
    EXPECT_EQ(platform.observed.messages, box ? std::vector<std::u16string>{kArgumentErrorMessage}
                                              : std::vector<std::u16string>{});
  }
  EXPECT_EQ(gScript.calls, 0);
  // Other spellings of other files still go ahead.
  platform.world.folders.insert(u"C:\\out\\sub");
  for (const std::u16string report :
       {u"C:\\out/sub/r.txt", u"C:\\out\\RESULT.TXT.bak", u"C:\\out\\r.txt. "}) {
    platform.world.commandLine = u"faxjob C:\\jobs\\job001.txt " + report;
    EXPECT_EQ(Run(), kExitReportWritten) << testing::Utf8(report);
  }
}

// A path must reach the library exactly: a near equivalent (e for é, a
// backslash for ¥) or a '?' could name another file.
TEST_F(RunJobTest, RefusesPathsWithoutAnExactNarrowFormBeforeTheLibraryIsCalled) {
  for (const std::u16string name : {u"é", u"¥..¥x", u"☃", u"\U0001F4E0", u"\xD800"}) {
    const std::u16string job = u"C:\\jobs\\" + name + u".txt";
    const std::u16string folder = u"C:\\out\\" + name;
    platform.world.AddFile(job, "x");
    platform.world.folders.insert(folder);
    for (const std::u16string& arguments :
         {job + u" " + kReport, u"C:\\jobs\\job001.txt " + folder + u"\\r.txt"}) {
      platform.world.commandLine = u"faxjob " + arguments;
      const std::u16string report = arguments.substr(arguments.find(u' ') + 1);
      EXPECT_EQ(Run(), kExitFailedBeforeCall) << testing::Utf8(arguments);
      EXPECT_EQ(platform.world.files[report], ErrorLine(kBadFileName)) << testing::Utf8(arguments);
    }
  }
  EXPECT_EQ(gScript.calls, 0);
}

// A result file the library did not rewrite is the previous job's.
TEST_F(RunJobTest, NeverTranscribesAResultFileLeftFromAnEarlierRun) {
  gScript.writesResult = false;
  for (std::int32_t code : {0, -16}) {
    platform.world.AddFile(u"C:\\out\\RESULT.TXT", "/R 7\r\n/R 8\r\n/R 9\r\n");
    gScript.code = code;
    EXPECT_EQ(Run(), kExitFailureReported);
    EXPECT_EQ(Report(), ErrorLine(kFileNotFound));
  }
  // One that cannot be removed stops the run before the library is called.
  platform.world.AddFile(u"C:\\out\\RESULT.TXT", "/R 7\r\n");
  platform.world.readOnlyFiles.insert(u"C:\\out\\RESULT.TXT");
  EXPECT_EQ(Run(), kExitFailedBeforeCall);
  EXPECT_EQ(Report(), ErrorLine(kAccessRefused));
  EXPECT_EQ(gScript.calls, 2);
}

// The turn on the result file's folder is held from before the library is
// loaded (no library code runs while a run waits for it) and before the stale
// result file is removed until the new one is closed, also when the run fails.
TEST_F(RunJobTest, HoldsTheFolderTurnFromTheLoadUntilTheResultFileIsClosed) {
  auto turnEvents = [this] {
    std::vector<std::string> events;
    for (const std::string& event : platform.observed.events) {
      if (event.find("RESULT.TXT") != std::string::npos || event.starts_with("turn") ||
          event.starts_with("load")) {
        events.push_back(event);
      }
    }
    platform.observed.events.clear();
    return events;
  };
  platform.world.AddFile(u"C:\\out\\RESULT.TXT", "old");
  EXPECT_EQ(Run(), kExitReportWritten);
  const std::vector<std::string> expected = {"turn-take C:\\out\\",
                                             "load ZRQINT32.DLL",
                                             "remove C:\\out\\RESULT.TXT",
                                             "open-read C:\\out\\RESULT.TXT",
                                             "close-read C:\\out\\RESULT.TXT",
                                             "turn-give C:\\out\\"};
  EXPECT_EQ(turnEvents(), expected);
  gScript.result = "/R 1\r\n\"/R 2";
  EXPECT_EQ(Run(), kExitFailureReported);
  EXPECT_EQ(turnEvents(), expected);

  // The turn's lock file stays; one that cannot be opened stops the run before the call.
  EXPECT_EQ(platform.world.files.at(u"C:\\out\\FAXJOB.LCK"), "");
  platform.world.files.erase(u"C:\\out\\FAXJOB.LCK");
  platform.world.folders.insert(u"C:\\out\\FAXJOB.LCK");
  EXPECT_EQ(Run(), kExitFailedBeforeCall);
  EXPECT_EQ(Report(), ErrorLine(kAccessRefused));
  EXPECT_EQ(gScript.calls, 2);
}

}  // namespace
}  // namespace faxjob
