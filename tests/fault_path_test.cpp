// The POSIX platform's fault path, with real processor faults in a child process.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "base/failure.h"
#include "platform/posix/platform.h"

namespace faxjob {
namespace {

const std::string kErrorLine = "000051,fault\r\n";
const std::string kEntries = "000001,sent\r\n000002,sent\r\n";

// A store to a page that allows no access: a real fault, which no sanitizer
// reports first.
void AccessViolation() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
}

volatile unsigned gDepth = ~0u;

int Recurse(volatile char* previous, unsigned depth) {
  volatile char frame[512];
  frame[0] = *previous;
  return depth == 0 ? 0 : Recurse(frame, depth - 1) + frame[0];
}

void StackOverflow() {
  volatile char start = 0;
  Recurse(&start, gDepth);
}

using RunStep = std::unique_ptr<OutputFile> (*)(const Platform&, const std::u16string& report);

std::unique_ptr<OutputFile> Untouched(const Platform&, const std::u16string&) { return nullptr; }

std::unique_ptr<OutputFile> EntriesWritten(const Platform& platform, const std::u16string& report) {
  std::unique_ptr<OutputFile> file = platform.files.OpenForWriting(report);
  file->Write(kEntries.data(), kEntries.size());
  return file;
}

// Kept: final under its name, so a fault leaves it and ends with the status that goes with it.
std::unique_ptr<OutputFile> Closed(const Platform& platform, const std::u16string& report) {
  platform.process.SetKeptReportStatus(4);
  const std::unique_ptr<OutputFile> file = EntriesWritten(platform, report);
  file->Keep();
  file->Close();
  return nullptr;
}

// Files of this process may not grow beyond a few bytes: the write fails part way.
std::unique_ptr<OutputFile> WriteFailed(const Platform& platform, const std::u16string& report) {
  std::unique_ptr<OutputFile> file = platform.files.OpenForWriting(report);
  signal(SIGXFSZ, SIG_IGN);
  const rlimit fewBytes{10, 10};
  setrlimit(RLIMIT_FSIZE, &fewBytes);
  try {
    file->Write(kEntries.data(), kEntries.size());
  } catch (const Failure&) {
    return file;
  }
  ADD_FAILURE() << "the write went through";
  return file;
}

// The run's end decided: its status, whatever comes after.
std::unique_ptr<OutputFile> Disarmed(const Platform& platform, const std::u16string&) {
  platform.process.DisarmFaultPath(4);
  return nullptr;
}

// Fills a pipe that nobody reads: the error line can never be written. A
// file opened for appending lies under its own name from the start.
std::unique_ptr<OutputFile> PipeFull(const Platform& platform, const std::u16string& report) {
  const std::string path(report.begin(), report.end());
  const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  std::unique_ptr<OutputFile> file = platform.files.OpenForAppending(report);
  const std::string filling(static_cast<std::size_t>(fcntl(reader, F_GETPIPE_SZ)), 'x');
  file->Write(filling.data(), filling.size());
  return file;
}

class FaultPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fault_path_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    path_ = folder_ + "/report.txt";
  }
  void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + folder_ + "'").c_str()), 0); }

  // In a child process: arms the fault path, takes the run's step, faults.
  void ExpectFaultEndsWith(int status, RunStep step, void (*fault)() = AccessViolation,
                           bool libraryCalled = true) {
    const std::u16string report(path_.begin(), path_.end());
    EXPECT_EXIT(
        {
          const PosixPlatform platform(0, nullptr);
          platform.parts().process.ArmFaultPath(report, kErrorLine);
          if (libraryCalled) platform.parts().process.CallLibrary([](void*) {}, nullptr);
          const std::unique_ptr<OutputFile> file = step(platform.parts(), report);
          fault();
        },
        ::testing::ExitedWithCode(status), "");
  }

  std::optional<std::string> Report() const {
    struct stat status;
    if (lstat(path_.c_str(), &status) != 0) return std::nullopt;
    if (!S_ISREG(status.st_mode)) return "<not a file>";
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The names in the report's folder other than the report's.
  std::string OtherFiles() const {
    std::string names;
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(folder_.c_str()), closedir);
    while (const dirent* entry = readdir(folder.get())) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && name != "report.txt") names += name + " ";
    }
    return names;
  }

  std::string folder_;
  std::string path_;
};

TEST_F(FaultPathTest, RecordsTheLineWhereverTheReportStands) {
  const struct {
    const char* name;
    RunStep step;
    void (*fault)();
    int status;
    std::optional<std::string> report;
    bool libraryCalled = true;
  } cases[] = {
      {"before the call", Untouched, AccessViolation, 5, kErrorLine, false},
      {"not opened", Untouched, AccessViolation, 1, kErrorLine},
      {"stack overflow", Untouched, StackOverflow, 1, kErrorLine},
      {"open", EntriesWritten, AccessViolation, 1, kEntries + kErrorLine},
      {"kept", Closed, AccessViolation, 4, kEntries},
      {"write failed", WriteFailed, AccessViolation, 2, std::nullopt},
      {"end decided", Disarmed, AccessViolation, 4, "stale"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(path_.c_str());
    if (c.step != WriteFailed) std::ofstream(path_, std::ios::binary) << "stale";
    ExpectFaultEndsWith(c.status, c.step, c.fault, c.libraryCalled);
    EXPECT_EQ(Report(), c.report);
    EXPECT_EQ(OtherFiles(), "") << "a name of the report's own stayed behind";
  }
}

TEST_F(FaultPathTest, EndsWithoutAReportWhenTheLineCannotBeWrittenInTime) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  ExpectFaultEndsWith(2, PipeFull);
  EXPECT_EQ(Report(), std::nullopt);
}

TEST(EscapedExceptionTest, EndsTheRunWithTheStatusOfAnUnrecordedFailure) {
  EXPECT_EXIT(
      {
        const PosixPlatform platform(0, nullptr);
        std::terminate();
      },
      ::testing::ExitedWithCode(2), "");
}

}  // namespace
}  // namespace faxjob
