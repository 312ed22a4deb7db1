// The POSIX implementation of the platform interface, for the host build:
// unit tests, sanitizers, fuzzing, benchmarks. Each operation lives with its
// concern: files, names, process, fault_path in this folder.
#include "platform/posix/platform.h"

#include <fcntl.h>

#include <optional>
#include <string>
#include <utility>

#include "platform/fault_path.h"
#include "platform/posix/files.h"
#include "platform/posix/names.h"
#include "platform/posix/process.h"

namespace faxjob {

namespace {

class PosixPlatform : public Platform {
 public:
  PosixPlatform(int argc, char** argv) {
    posix::PrepareProcess();
    // The arguments arrive already split: joined with single spaces they give
    // the same command text whenever neither path holds a blank or a quote.
    commandLine_ = u"faxjob";
    for (int i = 1; i < argc; ++i) commandLine_ += u" " + names_.FromNarrow(argv[i]);
  }

  std::u16string RawCommandLine() override { return commandLine_; }
  std::u16string FullPathOf(const std::u16string& path) override { return names_.FullPathOf(path); }
  char16_t FolderSeparator() override { return u'/'; }
  bool OrdinaryFileMatches(const std::u16string& searchName) override {
    return posix::OrdinaryFileMatches(names_.Native(searchName));
  }
  std::string ToNarrow(std::u16string_view text) override { return names_.ToNarrow(text); }
  std::string ToNarrowExactly(std::u16string_view text) override {
    return names_.ToNarrowExactly(text);
  }
  std::u16string FromNarrow(std::string_view bytes) override { return names_.FromNarrow(bytes); }
  std::size_t NarrowCharLength(unsigned char leadByte) override {
    return names_.NarrowCharLength(leadByte);
  }
  void ShowStopMessage(const std::u16string& text) override {
    posix::ShowStopMessage(names_.ToNarrow(text));
  }
  void* LoadEntryPoint(const std::u16string& fileName, const char* entryName) override {
    return posix::LoadEntryPoint(names_.ToNarrow(fileName), entryName);
  }
  void CallLibrary(void (*call)(void* context), void* context) override {
    fault_path::CallUntrusted(call, context);
  }
  bool CanNeverCreate(const std::u16string& path) override { return names_.CanNeverCreate(path); }
  bool NamesStream(const std::u16string&) override { return false; }
  bool IsSameFile(const std::u16string& first, const std::u16string& second) override {
    return posix::IsSameFile(names_.Native(first), names_.Native(second));
  }
  std::unique_ptr<FolderTurn> TakeFolderTurn(const std::u16string& folder) override {
    std::string path = names_.Native(folder);
    if (!path.empty() && path.back() != '/') path += '/';
    return posix::TakeFolderTurn(path + names_.Native(std::u16string(kFolderTurnFileName)));
  }
  std::unique_ptr<InputFile> OpenForReading(const std::u16string& path) override {
    return posix::OpenInput(names_.Native(path), names_);
  }
  std::unique_ptr<OutputFile> OpenForWriting(const std::u16string& path) override {
    return posix::CreateOutput(names_.Native(path), Watch(path));
  }
  std::unique_ptr<OutputFile> OpenForAppending(const std::u16string& path) override {
    return posix::AppendOutput(names_.Native(path), Watch(path));
  }
  bool RemoveFile(const std::u16string& path) override {
    return posix::RemoveFile(names_.Native(path));
  }
  void RemoveLeftovers(const std::u16string& folder) noexcept override {
    try {
      std::string native = names_.Native(folder);
      if (!native.empty() && native.back() != '/') native += '/';
      posix::RemoveLeftovers(native);
    } catch (...) {
      // Out of memory: what stays is removed by a later run.
    }
  }

  void ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) override {
    fault_path::Arm(names_.Native(reportPath), errorLine);
    faultReportPath_ = reportPath;
  }
  void SetKeptReportStatus(int status) override { fault_path::gReport.SetKeptStatus(status); }
  void DisarmFaultPath(int status) override {
    fault_path::DecideEnd(status);
    faultReportPath_.reset();
  }

 private:
  // The armed report's file tells the fault path what it holds at every moment.
  fault_path::ReportWatch Watch(const std::u16string& path) const {
    return fault_path::ReportWatch(faultReportPath_ == path);
  }

  posix::Names names_;
  std::u16string commandLine_;
  std::optional<std::u16string> faultReportPath_;
};

}  // namespace

std::unique_ptr<Platform> CreatePosixPlatform(int argc, char** argv) {
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace faxjob
