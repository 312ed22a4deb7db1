#include <gtest/gtest.h>

#include <cmath>

#include "fake_platform.h"
#include "report/number_text.h"
#include "report/report_writer.h"
#include "report/result_reader.h"
#include "report/transcription.h"

namespace faxjob {
namespace {

using testing::FakeNarrow;
using testing::FakePlatform;

std::string Field(double value) {
  std::string out;
  AppendNumberField(out, value);
  return out;
}

TEST(NumberField, PadsBySignSection) {
  EXPECT_EQ(Field(0), "000000");
  EXPECT_EQ(Field(42), "000042");
  EXPECT_EQ(Field(999999), "999999");
  EXPECT_EQ(Field(1234567), "1234567");
  EXPECT_EQ(Field(-3), "-00003");
  EXPECT_EQ(Field(-99999), "-99999");
  EXPECT_EQ(Field(-123456), "-123456");
  EXPECT_EQ(Field(453), "000453");
  EXPECT_EQ(Field(1e20), "100000000000000000000");
  EXPECT_EQ(Field(-1e20), "-100000000000000000000");
}

TEST(NumberField, RoundsHalfAwayFromZeroAndPicksTheSectionAfterRounding) {
  EXPECT_EQ(Field(2.5), "000003");
  EXPECT_EQ(Field(2.4999), "000002");
  EXPECT_EQ(Field(-2.5), "-00003");
  EXPECT_EQ(Field(-0.4), "000000");
  EXPECT_EQ(Field(-0.0), "000000");
}

TEST(NumberField, WritesWholeNumbersAsTheirDoubles) {
  for (std::int64_t value : {0LL, 7LL, 999999LL, 1000000LL, 999999999LL, 1000000000LL, 4294967295LL,
                             4294967296LL, 123456789012345LL, 999999999999999LL}) {
    for (std::int64_t number : {value, -value}) {
      std::string whole;
      AppendNumberField(whole, EntryNumber::Whole(number));
      EXPECT_EQ(whole, Field(static_cast<double>(number))) << number;
    }
  }
  EXPECT_EQ(Field(4294967296.0), "4294967296");
  EXPECT_EQ(Field(-1e17), "-100000000000000000");
}

double Parse(std::string_view text) {
  NumberTextParser parser;
  for (char c : text) parser.Feed(&c, 1);
  return parser.Finish().AsDouble();
}

std::int32_t ParseFailure(std::string_view text) {
  try {
    Parse(text);
  } catch (const Failure& failure) {
    return failure.code();
  }
  return 0;
}

TEST(NumberText, ReadsSignDigitsAndFractionWithBlanksAround) {
  EXPECT_EQ(Parse("7"), 7);
  EXPECT_EQ(Parse("0012"), 12);
  EXPECT_EQ(Parse("  -5  "), -5);
  EXPECT_EQ(Parse("\t3\t"), 3);
  EXPECT_EQ(Parse("1.5"), 1.5);
  EXPECT_EQ(Parse("-0.25"), -0.25);
  EXPECT_EQ(Parse("5."), 5);
  EXPECT_EQ(Parse(".5"), 0.5);
  EXPECT_EQ(Parse(std::string(1000, '0') + "9"), 9);
  EXPECT_EQ(Parse("0." + std::string(1000, '0') + "1"), 0);
  EXPECT_EQ(Parse("12345678901234567890"), 12345678901234567890.0);
  EXPECT_EQ(Parse("1" + std::string(300, '0')), 1e300);
  // Just above the point halfway between 1 and the next double: the digit
  // that decides lies far beyond those a double holds.
  const std::string halfway = "1.00000000000000011102230246251565404236316680908203125";
  EXPECT_EQ(Parse(halfway), 1.0);
  EXPECT_EQ(Parse(halfway + std::string(1000, '0') + "1"), std::nextafter(1.0, 2.0));
}

TEST(NumberText, RejectsWhatIsNoNumberAndWhatNoDoubleHolds) {
  for (std::string_view text : {"", "   ", "-", ".", "abc", "5a", "1 2", "- 5", "+5", "1e5",
                                "1,000", "0x10", "--5", "1.2.3"}) {
    EXPECT_EQ(ParseFailure(text), kTypeMismatch) << text;
  }
  EXPECT_EQ(ParseFailure("1" + std::string(400, '0')), kOverflow);
  EXPECT_EQ(ParseFailure("-1" + std::string(400, '0')), kOverflow);
}

TEST(ReportWriter, WritesNumberCommaTextCrLf) {
  FakePlatform platform;
  ReportWriter writer(platform.files.OpenForWriting(u"out"));
  writer.WriteLine(1, "OK");
  writer.WriteLine(-53, "a,b");
  writer.Close();
  EXPECT_EQ(platform.world.files[u"out"], "000001,OK\r\n-00053,a,b\r\n");
}

// Lines are copied in moves of fixed widths chosen by the text's length; a
// text on either side of each width, with fields that need a call between
// the usual ones, gives the same lines as one line at a time.
TEST(ReportWriter, WritesEveryLineWhateverTheTextsLength) {
  const double numbers[] = {1, -2, 1234567, 3.5, 4, 99999999, 5};
  for (const std::size_t length : {0, 28, 29, 30, 60, 61, 62, 200}) {
    const std::string text(length, 't');
    FakePlatform platform;
    platform.world.AddFile(u"C:\\out\\RESULT.TXT",
                           "/R 1,/R -2,/R 1234567\r\n/R 3.5,/R 4,/R 99999999,/R 5");
    auto input = platform.files.OpenForReading(u"C:\\out\\RESULT.TXT");
    ResultReader reader(platform.text, *input);
    ReportWriter writer(platform.files.OpenForWriting(u"out"));
    writer.WriteLines(reader, text);
    writer.Close();
    std::string expected;
    for (const double number : numbers) expected += ReportLine(number, text);
    EXPECT_EQ(platform.world.files[u"out"], expected) << "a text of " << length << " bytes";
  }
}

TEST(ReportWriter, IsBrokenAfterAFailedWrite) {
  FakePlatform platform;
  platform.world.diskSpace = 5;
  ReportWriter writer(platform.files.OpenForWriting(u"out"));
  writer.WriteLine(1, "OK");
  EXPECT_THROW(writer.Close(), Failure);
  EXPECT_TRUE(writer.broken());
  // The part that went is in the temporary file, never under its path.
  EXPECT_EQ(platform.world.files.count(u"out"), 0u);
  ASSERT_EQ(platform.world.files.size(), 1u);
  EXPECT_EQ(platform.world.files.begin()->second, "00000");
}

class TranscriptionTest : public ::testing::Test {
 protected:
  std::int32_t Run(const std::u16string& reportPath = u"C:\\out\\r.txt") {
    ReportFile report(platform.files, platform.text, reportPath);
    try {
      Transcribe(platform.files, platform.text, u"C:\\out\\RESULT.TXT", report, u"OK");
    } catch (const Failure& failure) {
      EXPECT_TRUE(platform.world.openForReading.empty())
          << "the result file is closed on the way out";
      return failure.code();
    }
    return 0;
  }

  FakePlatform platform;
};

TEST_F(TranscriptionTest, WritesOneLinePerEntryAndClosesReportBeforeResult) {
  platform.world.AddFile(u"C:\\out\\RESULT.TXT", "/R 1,\"03\",OK\r\n/R 2,\"04\",NG\r\n");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(platform.world.files[u"C:\\out\\r.txt"], "000001,OK\r\n000002,OK\r\n");
  EXPECT_EQ(
      platform.observed.events,
      (std::vector<std::string>{"open-read C:\\out\\RESULT.TXT", "open-write C:\\out\\r.txt",
                                "close-write C:\\out\\r.txt", "close-read C:\\out\\RESULT.TXT"}));
}

TEST_F(TranscriptionTest, WritesTheFieldOfEveryNumberTextAsItsValueWould) {
  std::string content;
  std::string expected;
  for (std::string_view text :
       {"0",         "7",        "00",       "000000",    "0000000",  "00000000",
        "000000000", "1000000",  "0100000",  "1234567",   "01234567", "00123456",
        "00012345",  "12345678", "99999999", "123456789", "-0",       "-7",
        "-1234567",  " 42",      "42\t",     "4.5",       "0012.5"}) {
    content.append("/R ").append(text).append(",\"x\"\r\n");
    expected.append(Field(Parse(text))).append(",OK\r\n");
  }
  platform.world.AddFile(u"C:\\out\\RESULT.TXT", content);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(platform.world.files[u"C:\\out\\r.txt"], expected);
}

TEST_F(TranscriptionTest, WritesTheLinesBeforeAFailingEntry) {
  platform.world.AddFile(u"C:\\out\\RESULT.TXT", "/R 1\r\n/R 2\r\n/R x\r\n/R 4\r\n");
  ReportFile report(platform.files, platform.text, u"C:\\out\\r.txt");
  EXPECT_THROW(Transcribe(platform.files, platform.text, u"C:\\out\\RESULT.TXT", report, u"OK"),
               Failure);
  EXPECT_TRUE(report.RecordFailure(Failure(kTypeMismatch)));
  EXPECT_EQ(
      platform.world.files[u"C:\\out\\r.txt"],
      "000001,OK\r\n000002,OK\r\n000013," + FakeNarrow(DescriptionOf(kTypeMismatch)) + "\r\n");
}

TEST_F(TranscriptionTest, EmptiesAnOldReportAndWritesNothingForNoEntries) {
  platform.world.AddFile(u"C:\\out\\RESULT.TXT", "");
  platform.world.AddFile(u"C:\\out\\r.txt", "stale");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(platform.world.files[u"C:\\out\\r.txt"], "");
}

TEST_F(TranscriptionTest, LeavesTheReportUntouchedWhenTheResultFileIsMissing) {
  platform.world.AddFile(u"C:\\out\\r.txt", "stale");
  EXPECT_EQ(Run(), kFileNotFound);
  EXPECT_EQ(platform.world.files[u"C:\\out\\r.txt"], "stale");

  EXPECT_EQ(Run(u"C:\\missing\\r.txt"), kFileNotFound);
}

TEST_F(TranscriptionTest, RefusesAReportPathNamingTheResultFile) {
  platform.world.AddFile(u"C:\\out\\RESULT.TXT", "/R 1\r\n");
  EXPECT_EQ(Run(u"C:\\out\\RESULT.TXT"), kFileAlreadyOpen);
  EXPECT_EQ(platform.world.files[u"C:\\out\\RESULT.TXT"], "/R 1\r\n");
}

}  // namespace
}  // namespace faxjob
