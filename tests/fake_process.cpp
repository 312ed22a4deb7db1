// The in-memory platform's process: the command line and the library come
// from the world; the boxes and the armed fault path are observed.
#include <optional>
#include <string>

#include "fake_platform.h"

namespace faxjob::testing {

std::u16string FakeProcess::RawCommandLine() {
  platform_.Call("RawCommandLine");
  return platform_.world.commandLine;
}

// Showing a message box reports no failure on any platform, so it is never
// made to fail here.
void FakeProcess::ShowStopMessage(const std::u16string& text) {
  platform_.observed.messages.push_back(text);
}

void FakeProcess::CallLibrary(void (*call)(void* context), void* context) {
  platform_.observed.libraryCalled = true;
  call(context);
}

void* FakeProcess::LoadEntryPoint(const std::u16string& fileName, const char* entryName) {
  platform_.Call("LoadEntryPoint");
  platform_.observed.events.push_back("load " + Utf8(fileName));
  switch (platform_.world.library) {
    case FakeWorld::Library::kMissing:
      throw Failure(kFileNotFound);
    case FakeWorld::Library::kNotLoadable:
      throw Failure(kLibraryLoadError);
    case FakeWorld::Library::kNoEntryPoint:
      return nullptr;
    case FakeWorld::Library::kPresent:
      break;
  }
  return std::string(entryName) == kSendPageIntEntryName
             ? reinterpret_cast<void*>(platform_.world.sendPageInt)
             : nullptr;
}

void FakeProcess::ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) {
  platform_.Call("ArmFaultPath");
  // The report's NT path is made now; Windows' conversion fails where its open would.
  const std::optional<std::u16string> path = platform_.files.Reachable(reportPath);
  if (!path) throw Failure(kOutOfMemory);
  platform_.observed.faultPath = FakeObserved::FaultPath{*path, std::string(errorLine)};
  platform_.observed.faultReport = ReportStage::kUntouched;
}

void FakeProcess::SetKeptReportStatus(int status) {
  platform_.observed.keptReportStatus = status;
}

void FakeProcess::DisarmFaultPath(int status) {
  platform_.observed.faultPath.reset();
  platform_.observed.decidedEnd = status;
}

}  // namespace faxjob::testing
