// Host tests of the stand-in fax library, called the way a program calls it:
// through the entry point, with a raw 1,360-byte record.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" std::int32_t SendZRQ_PageInt(void* record, const void* logFont);

namespace {

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/standin_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    jobPath_ = dir_ + "/job.txt";
    resultPath_ = dir_ + "/RESULT.TXT";
    SetPath(28, jobPath_);
    SetPath(548, resultPath_);
    unsetenv("ZRQ_STANDIN_RECORD");
  }
  void TearDown() override {
    unsetenv("ZRQ_STANDIN_RECORD");
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  void SetPath(std::size_t offset, const std::string& path) {
    std::memset(record_.data() + offset, 0, 260);
    std::memcpy(record_.data() + offset, path.data(), path.size());
  }
  void WriteJob(const std::string& text) { std::ofstream(jobPath_, std::ios::binary) << text; }
  static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::int32_t Call() { return SendZRQ_PageInt(record_.data(), nullptr); }

  std::string dir_, jobPath_, resultPath_;
  std::vector<unsigned char> record_ = std::vector<unsigned char>(1360, 0);
};

TEST_F(StandinTest, NullRecordIsRejected) { EXPECT_EQ(SendZRQ_PageInt(nullptr, nullptr), -1); }

TEST_F(StandinTest, PlainJobReportsEveryNumber) {
  WriteJob("03-1234-5678\r\n+81 (3) 1111-2222\r\n");
  EXPECT_EQ(Call(), 0);
  EXPECT_EQ(Read(resultPath_), "/R 1,\"03-1234-5678\",OK\r\n/R 2,\"+81 (3) 1111-2222\",OK\r\n");
}

TEST_F(StandinTest, ExplicitResultBytesAreExact) {
  // 0x95 0x5C is one Shift_JIS character: its backslash is no escape.
  WriteJob(
      "# comment\n!return -5\n!result /R 1,\\\"a\\\"\\r\\n\n!result \x95\\n\\x82\\xA0\\\\\\t\n");
  EXPECT_EQ(Call(), -5);
  EXPECT_EQ(Read(resultPath_), std::string("/R 1,\"a\"\r\n\x95\\n\x82\xA0\\\t"));
}

TEST_F(StandinTest, CodesWrapToThirtyTwoBits) {
  WriteJob("!return 4294967295\n!no-result\n");
  EXPECT_EQ(Call(), -1);
  WriteJob("!return 0x7FFFFFFF\n");
  EXPECT_EQ(Call(), 0x7FFFFFFF);
  WriteJob("!return -2147483648\n");
  EXPECT_EQ(Call(), INT32_MIN);
}

TEST_F(StandinTest, NoResultWritesNothing) {
  WriteJob("03-1234-5678\n!no-result\n");
  EXPECT_EQ(Call(), 0);
  EXPECT_FALSE(Exists(resultPath_));
}

TEST_F(StandinTest, ResultFileGivesAnotherFilesBytesAsTheResult) {
  std::ofstream(dir_ + "/prepared.txt", std::ios::binary) << "/R 9\r\n";
  WriteJob("!result-file " + dir_ + "/prepared.txt\n!result ignored\n");
  EXPECT_EQ(Call(), 0);
  EXPECT_EQ(Read(resultPath_), "/R 9\r\n");
  WriteJob("!result-file " + dir_ + "/missing.txt\n");
  EXPECT_EQ(Call(), -2);
}

TEST_F(StandinTest, UnopenableJobGivesMinus16) {
  SetPath(28, dir_);  // a folder
  EXPECT_EQ(Call(), -16);
  SetPath(28, dir_ + "/missing.txt");
  EXPECT_EQ(Call(), -16);
  EXPECT_FALSE(Exists(resultPath_));
}

TEST_F(StandinTest, MalformedJobGivesMinus17AndDoesNothing) {
  for (const char* bad : {"!retrun 1\n", "!return x\n", "!result \\q\n", "!result \\x4\n",
                          "!crash now\n", "!sleep -1\n", "!save-record\n", "ABC\n"}) {
    WriteJob(std::string("!save-record ") + dir_ + "/saved.bin\n" + bad);
    EXPECT_EQ(Call(), -17) << bad;
  }
  EXPECT_FALSE(Exists(dir_ + "/saved.bin"));
  EXPECT_FALSE(Exists(resultPath_));
}

TEST_F(StandinTest, BadRecordGivesMinus1ButIsSavedByEnvironment) {
  WriteJob("03-1234-5678\n");
  const std::size_t badBytes[] = {0, 4, 8, 27, 1349, 1359};
  for (std::size_t at : badBytes) {
    auto saved = record_;
    record_[at] = 1;
    EXPECT_EQ(Call(), -1) << at;
    record_ = saved;
  }
  std::memset(record_.data() + 1328, 'x', 21);  // no NUL in the short slot
  setenv("ZRQ_STANDIN_RECORD", (dir_ + "/env.bin").c_str(), 1);
  EXPECT_EQ(Call(), -1);
  EXPECT_FALSE(Exists(resultPath_));
  EXPECT_EQ(Read(dir_ + "/env.bin"), std::string(record_.begin(), record_.end()));
}

TEST_F(StandinTest, SaveRecordWritesTheReceivedBytes) {
  WriteJob("!save-record " + dir_ + "/saved.bin\n");
  EXPECT_EQ(Call(), 0);
  EXPECT_EQ(Read(dir_ + "/saved.bin"), std::string(record_.begin(), record_.end()));
  EXPECT_EQ(Read(resultPath_), "");
}

TEST_F(StandinTest, ResultFolderMissingGivesMinus2) {
  SetPath(548, dir_ + "/no/RESULT.TXT");
  WriteJob("03-1234-5678\n");
  EXPECT_EQ(Call(), -2);
}

TEST_F(StandinTest, SleepTakesTheTime) {
  WriteJob("!sleep 150\n");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Call(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

TEST_F(StandinTest, CrashFaults) {
  for (const char* kind : {"", " illegal-instruction", " stack-overflow"}) {
    WriteJob(std::string("!crash") + kind + "\n");
    EXPECT_DEATH(Call(), "") << kind;
  }
  EXPECT_FALSE(Exists(resultPath_));
}

}  // namespace
