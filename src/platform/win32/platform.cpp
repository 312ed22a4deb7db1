// The Windows implementation of the platform interface: the product. Each
// part only hands its operations on to their concern: files (opening,
// writing, removing), names (paths and code pages), process (the library,
// the turn, the box), fault_path, all in this folder.
#include "platform/win32/platform.h"

#include <windows.h>

#include <utility>

#include "platform/fault_path.h"
#include "platform/win32/files.h"
#include "platform/win32/long_path.h"
#include "platform/win32/names.h"
#include "platform/win32/process.h"
#include "platform/win32/system_calls.h"
#include "platform/win32/temporary_files.h"

namespace faxjob {

namespace {

using fault_path::ArmedReport;

class Win32Files : public Files {
 public:
  explicit Win32Files(const ArmedReport& armed) : armed_(armed) {}

  std::u16string FullPathOf(const std::u16string& path) override { return win32::FullPathOf(path); }
  char16_t FolderSeparator() override { return u'\\'; }
  bool OrdinaryFileMatches(const std::u16string& searchName) override {
    return win32::OrdinaryFileMatches(searchName);
  }
  bool CanNeverCreate(const std::u16string& path) override { return win32::CanNeverCreate(path); }
  bool NamesStream(const std::u16string& fullPath) override {
    return faxjob::NamesStream(fullPath);
  }
  bool IsSameFile(const std::u16string& first, const std::u16string& second) override {
    return win32::IsSameFile(first, second);
  }
  std::unique_ptr<FolderTurn> TakeFolderTurn(const std::u16string& folder) override {
    return win32::TakeFolderTurn(folder);
  }
  std::unique_ptr<InputFile> OpenForReading(const std::u16string& path) override {
    return win32::OpenInput(path);
  }
  std::unique_ptr<OutputFile> OpenForWriting(const std::u16string& path) override {
    return win32::CreateOutput(path, armed_.Watch(path));
  }
  std::unique_ptr<OutputFile> OpenForAppending(const std::u16string& path) override {
    return win32::AppendOutput(path, armed_.Watch(path));
  }
  bool RemoveFile(const std::u16string& path) override { return win32::RemoveFile(path); }
  void RemoveStaleTemporaryFiles(const std::u16string& folder) noexcept override {
    win32::RemoveStaleTemporaryFiles(folder);
  }

 private:
  const ArmedReport& armed_;
};

class Win32Text : public Text {
 public:
  std::string ToNarrow(std::u16string_view text) override { return win32::ToNarrow(text); }
  std::string ToNarrowExactly(std::u16string_view text) override {
    return win32::ToNarrowExactly(text);
  }
  std::u16string FromNarrow(std::string_view bytes) override { return win32::FromNarrow(bytes); }
  std::size_t NarrowCharLength(unsigned char leadByte) override {
    return win32::NarrowCharLength(leadByte);
  }
};

class Win32Process : public Process {
 public:
  explicit Win32Process(ArmedReport& armed) : armed_(armed) {}

  std::u16string RawCommandLine() override {
    return reinterpret_cast<const char16_t*>(win32::gSystem.GetCommandLineW());
  }
  void ShowStopMessage(const std::u16string& text) override { win32::ShowStopMessage(text); }
  void* LoadEntryPoint(const std::u16string& fileName, const char* entryName) override {
    return win32::LoadEntryPoint(fileName, entryName);
  }
  void CallLibrary(void (*call)(void* context), void* context) override {
    fault_path::CallLibrary(call, context);
  }
  void ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) override {
    fault_path::Arm(reportPath, errorLine);
    armed_.path = reportPath;
  }
  void SetKeptReportStatus(int status) override { fault_path::gReport.SetKeptStatus(status); }
  void DisarmFaultPath(int status) override {
    fault_path::DecideEnd(status);
    armed_.path.reset();
  }

 private:
  ArmedReport& armed_;
};

}  // namespace

struct Win32Platform::Parts {
  ArmedReport armed;
  Win32Files files{armed};
  Win32Text text;
  Win32Process process{armed};
};

Win32Platform::Win32Platform() {
  win32::PrepareProcess();
  parts_ = std::make_unique<Parts>();
}

Win32Platform::~Win32Platform() = default;

Platform Win32Platform::parts() const { return {parts_->files, parts_->text, parts_->process}; }

void EndProcess(int status) { fault_path::EndProcess(status); }

}  // namespace faxjob
