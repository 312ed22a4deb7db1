#include "run/command_line.h"

#include <gtest/gtest.h>

#include "fake_platform.h"

namespace faxjob {
namespace {

TEST(ArgumentText, DropsTheProgramPathWhetherQuotedOrNot) {
  EXPECT_EQ(ArgumentTextOf(u"C:\\bin\\faxjob.exe a b"), u" a b");
  EXPECT_EQ(ArgumentTextOf(u"\"C:\\Program Files\\faxjob.exe\" a b"), u" a b");
  EXPECT_EQ(ArgumentTextOf(u"\"C:\\x\\faxjob.exe\"a b"), u"a b");
  EXPECT_EQ(ArgumentTextOf(u"faxjob.exe"), u"");
  EXPECT_EQ(ArgumentTextOf(u""), u"");
  // An opening quote never closed swallows the whole line.
  EXPECT_EQ(ArgumentTextOf(u"\"C:\\faxjob.exe a b"), u"");
  // Quotes after the program path stay ordinary characters.
  EXPECT_EQ(ArgumentTextOf(u"faxjob \"a b\" c"), u" \"a b\" c");
}

TEST(SplitArguments, SplitsAtTheFirstSpaceAndTrimsOnlySpaces) {
  auto paths = SplitArguments(u"  a.txt   b.txt  ");
  ASSERT_TRUE(paths);
  EXPECT_EQ(paths->jobFilePath, u"a.txt");
  EXPECT_EQ(paths->reportFilePath, u"b.txt");

  paths = SplitArguments(u"C:\\in dir\\job.txt C:\\out\\r.txt");
  ASSERT_TRUE(paths);
  EXPECT_EQ(paths->jobFilePath, u"C:\\in");
  EXPECT_EQ(paths->reportFilePath, u"dir\\job.txt C:\\out\\r.txt");

  paths = SplitArguments(u"\ta.txt b.txt\t");
  ASSERT_TRUE(paths);
  EXPECT_EQ(paths->jobFilePath, u"\ta.txt");
  EXPECT_EQ(paths->reportFilePath, u"b.txt\t");

  // The ideographic space neither separates nor is trimmed.
  paths = SplitArguments(u"\u3000a.txt b\u3000c.txt");
  ASSERT_TRUE(paths);
  EXPECT_EQ(paths->jobFilePath, u"\u3000a.txt");
  EXPECT_EQ(paths->reportFilePath, u"b\u3000c.txt");
}

TEST(SplitArguments, NeedsASpaceBetweenTwoArguments) {
  EXPECT_FALSE(SplitArguments(u""));
  EXPECT_FALSE(SplitArguments(u"     "));
  EXPECT_FALSE(SplitArguments(u"  a.txt  "));
  EXPECT_FALSE(SplitArguments(u"a.txt\tb.txt"));
  EXPECT_FALSE(SplitArguments(u"a.txt\u3000b.txt"));
}

TEST(ResultFilePath, IsTheReportFolderUpToItsLastBackslash) {
  EXPECT_EQ(ResultFilePathFor(u"C:\\out\\r.txt", u'\\'), u"C:\\out\\RESULT.TXT");
  EXPECT_EQ(ResultFilePathFor(u"\\r.txt", u'\\'), u"\\RESULT.TXT");
  EXPECT_EQ(ResultFilePathFor(u"r.txt", u'\\'), u"RESULT.TXT");
  EXPECT_EQ(ResultFilePathFor(u"C:/out/r.txt", u'\\'), u"RESULT.TXT");
  EXPECT_EQ(ResultFilePathFor(u"C:\\out\\sub\\", u'\\'), u"C:\\out\\sub\\RESULT.TXT");
  EXPECT_EQ(ResultFilePathFor(u"C:\\a/b\\c/r.txt", u'\\'), u"C:\\a/b\\RESULT.TXT");
}

TEST(ReservedFiles, AreNamedByAReportPathOnlyInItsOwnName) {
  for (const char16_t* path : {u"RESULT.TXT", u"C:\\out\\result.txt", u"C:\\out\\Result.Txt. .",
                               u"\\RESULT.TXT", u"FAXJOB.LCK", u"C:\\out\\faxjob.lck",
                               u"C:\\out\\FaxJob.Lck .", u"C:\\a\\..\\FAXJOB.LCK",
                               u"C:\\bin\\zrqint32.dll"}) {
    EXPECT_TRUE(NamesReservedFile(path, u'\\')) << testing::Utf8(path);
  }
  for (const char16_t* path :
       {u"C:\\out\\RESULT.TXT.bak", u"C:\\out\\xRESULT.TXT", u"C:\\RESULT.TXT\\r.txt",
        u"C:\\out\\RESULT", u"C:\\out/RESULT.TXT", u"C:\\out\\FAXJOB.LCK.txt",
        u"C:\\out\\FAXJOB.LOCK", u"C:\\out\\FAXJOB", u"C:\\FAXJOB.LCK\\r.txt"}) {
    EXPECT_FALSE(NamesReservedFile(path, u'\\')) << testing::Utf8(path);
  }
  EXPECT_TRUE(NamesReservedFile(u"/out/RESULT.TXT", u'/'));
  EXPECT_TRUE(NamesReservedFile(u"/out/FAXJOB.LCK", u'/'));
  EXPECT_EQ(ResultFilePathFor(u"/out/r.txt", u'/'), u"/out/RESULT.TXT");
}

TEST(FileSearchName, SearchesAFolderNamedWithATrailingBackslash) {
  EXPECT_EQ(FileSearchNameFor(u"C:\\jobs\\", u'\\'), u"C:\\jobs\\*");
  EXPECT_EQ(FileSearchNameFor(u"C:\\jobs", u'\\'), u"C:\\jobs");
  EXPECT_EQ(FileSearchNameFor(u"C:\\jobs\\*.txt", u'\\'), u"C:\\jobs\\*.txt");
}

}  // namespace
}  // namespace faxjob
