// The POSIX implementation of the platform interface, for the host build:
// unit tests, sanitizers, fuzzing, benchmarks. Each part only hands its
// operations on to their concern: files, names, process, fault_path in this
// folder.
#include "platform/posix/platform.h"

#include <fcntl.h>

#include <string>
#include <utility>

#include "platform/fault_path.h"
#include "platform/posix/files.h"
#include "platform/posix/names.h"
#include "platform/posix/process.h"

namespace faxjob {

namespace {

using fault_path::ArmedReport;

// Folder paths as the calls below take them: empty, or ending in a slash.
std::string FolderPrefix(posix::Names& names, const std::u16string& folder) {
  std::string path = names.Native(folder);
  if (!path.empty() && path.back() != '/') path += '/';
  return path;
}

class PosixFiles : public Files {
 public:
  PosixFiles(posix::Names& names, const ArmedReport& armed) : names_(names), armed_(armed) {}

  std::u16string FullPathOf(const std::u16string& path) override { return names_.FullPathOf(path); }
  char16_t FolderSeparator() override { return u'/'; }
  bool OrdinaryFileMatches(const std::u16string& searchName) override {
    return posix::OrdinaryFileMatches(names_.Native(searchName));
  }
  bool CanNeverCreate(const std::u16string& path) override { return names_.CanNeverCreate(path); }
  bool NamesStream(const std::u16string&) override { return false; }
  bool IsSameFile(const std::u16string& first, const std::u16string& second) override {
    return posix::IsSameFile(names_.Native(first), names_.Native(second));
  }
  std::unique_ptr<FolderTurn> TakeFolderTurn(const std::u16string& folder) override {
    return posix::TakeFolderTurn(FolderPrefix(names_, folder) +
                                 names_.Native(std::u16string(kFolderTurnFileName)));
  }
  std::unique_ptr<InputFile> OpenForReading(const std::u16string& path) override {
    return posix::OpenInput(names_.Native(path), names_);
  }
  std::unique_ptr<OutputFile> OpenForWriting(const std::u16string& path) override {
    return posix::CreateOutput(names_.Native(path), armed_.Watch(path));
  }
  std::unique_ptr<OutputFile> OpenForAppending(const std::u16string& path) override {
    return posix::AppendOutput(names_.Native(path), armed_.Watch(path));
  }
  bool RemoveFile(const std::u16string& path) override {
    return posix::RemoveFile(names_.Native(path));
  }
  void RemoveStaleTemporaryFiles(const std::u16string& folder) noexcept override {
    try {
      posix::RemoveStaleTemporaryFiles(FolderPrefix(names_, folder));
    } catch (...) {
      // Out of memory: what stays is removed by a later run.
    }
  }

 private:
  posix::Names& names_;
  const ArmedReport& armed_;
};

class PosixText : public Text {
 public:
  explicit PosixText(posix::Names& names) : names_(names) {}

  std::string ToNarrow(std::u16string_view text) override { return names_.ToNarrow(text); }
  std::string ToNarrowExactly(std::u16string_view text) override {
    return names_.ToNarrowExactly(text);
  }
  std::u16string FromNarrow(std::string_view bytes) override { return names_.FromNarrow(bytes); }
  std::size_t NarrowCharLength(unsigned char leadByte) override {
    return names_.NarrowCharLength(leadByte);
  }

 private:
  posix::Names& names_;
};

class PosixProcess : public Process {
 public:
  PosixProcess(posix::Names& names, ArmedReport& armed, std::u16string commandLine)
      : names_(names), armed_(armed), commandLine_(std::move(commandLine)) {}

  std::u16string RawCommandLine() override { return commandLine_; }
  void ShowStopMessage(const std::u16string& text) override {
    posix::ShowStopMessage(names_.ToNarrow(text));
  }
  void* LoadEntryPoint(const std::u16string& fileName, const char* entryName) override {
    return posix::LoadEntryPoint(names_.ToNarrow(fileName), entryName);
  }
  void CallLibrary(void (*call)(void* context), void* context) override {
    fault_path::CallLibrary(call, context);
  }
  void ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) override {
    fault_path::Arm(names_.Native(reportPath), errorLine);
    armed_.path = reportPath;
  }
  void SetKeptReportStatus(int status) override { fault_path::gReport.SetKeptStatus(status); }
  void DisarmFaultPath(int status) override {
    fault_path::DecideEnd(status);
    armed_.path.reset();
  }

 private:
  posix::Names& names_;
  ArmedReport& armed_;
  std::u16string commandLine_;
};

// The arguments arrive already split: joined with single spaces they give the same command text
// whenever neither path holds a blank or a quote.
std::u16string CommandLineOf(posix::Names& names, int argc, char** argv) {
  std::u16string commandLine = u"faxjob";
  // Appended piece by piece: `u" " + text` sends GCC 12 at -O3 into a false -Wrestrict.
  for (int i = 1; i < argc; ++i) {
    commandLine += u' ';
    commandLine += names.FromNarrow(argv[i]);
  }
  return commandLine;
}

}  // namespace

struct PosixPlatform::Parts {
  Parts(int argc, char** argv) : process(names, armed, CommandLineOf(names, argc, argv)) {}

  posix::Names names;
  ArmedReport armed;
  PosixFiles files{names, armed};
  PosixText text{names};
  PosixProcess process;
};

PosixPlatform::PosixPlatform(int argc, char** argv) {
  posix::PrepareProcess();
  parts_ = std::make_unique<Parts>(argc, argv);
}

PosixPlatform::~PosixPlatform() = default;

Platform PosixPlatform::parts() const { return {parts_->files, parts_->text, parts_->process}; }

}  // namespace faxjob
