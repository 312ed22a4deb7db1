// The in-memory platform's core: the call count that faults are injected at,
// and what the process leaves when it ends.
#include "fake_platform.h"

#include <stdexcept>
#include <utility>

#include "base/exit_status.h"

namespace faxjob::testing {

FakePlatform* FakePlatform::current = nullptr;

FakePlatform::FakePlatform() { current = this; }
FakePlatform::~FakePlatform() { current = nullptr; }

bool FakePlatform::IsStep(std::string_view operation) {
  return operation == "SetDeleteDisposition" || operation == "RenameAside" ||
         operation == "CloseRemoved" || operation == "RemoveStaleTemporaryFiles";
}

void FakePlatform::Call(const char* operation) {
  observed.calls.emplace_back(operation);
  const int number = static_cast<int>(observed.calls.size());
  if (number == faults.killCall) observed.killOutcome = world.FilesLeftAtTheEnd();
  if (number == faults.faultCall) observed.faultOutcome = SimulateFault();
  if (IsStep(operation)) return;  // a moment in a call, which cannot fail by itself
  const FakeFaults::Failing& failing = faults.failing;
  if (failing.atCall != 0 &&
      (number == failing.atCall || (failing.persistent && number > failing.atCall))) {
    ++observed.faultsInjected;
    if (failing.foreign) throw std::runtime_error("not a failure");
    throw Failure(failing.code);
  }
}

void FakeWorld::AddFile(const std::u16string& path, std::string content) {
  files[path] = std::move(content);
  for (std::u16string folder = FakeFiles::FolderOf(path); !folder.empty();
       folder = FakeFiles::FolderOf(folder)) {
    folders.insert(folder);
  }
}

std::map<std::u16string, std::string> FakeWorld::FilesLeftAtTheEnd() const {
  std::map<std::u16string, std::string> left = files;
  for (const std::u16string& path : deletePending) left.erase(path);
  return left;
}

ProcessEnd FakePlatform::SimulateUnseenEnd(UnseenEnd route, int status) const {
  // At the detach, a report being opened stays in doubt: its thread has ended.
  if (route == UnseenEnd::kExitProcess && observed.faultPath) return SimulateFault();
  return {status, world.FilesLeftAtTheEnd()};
}

ProcessEnd FakePlatform::SimulateFault() const {
  ProcessEnd outcome{observed.decidedEnd.value_or(2), world.FilesLeftAtTheEnd()};
  if (!observed.faultPath) return outcome;
  const std::u16string& path = observed.faultPath->reportPath;
  // The run's open report, still a temporary file or under its path.
  const std::u16string runFile = observed.faultReportTemporary.value_or(path);
  std::map<std::u16string, std::string>& left = outcome.files;
  const ErrorLine action = ErrorLineAt(observed.faultReport);
  switch (action) {
    case ErrorLine::kLeave:
      outcome.status = observed.keptReportStatus;
      return outcome;
    case ErrorLine::kRemove:
      left.erase(runFile);
      return outcome;
    case ErrorLine::kCreate:
    case ErrorLine::kAppendToClosed:
      // Opened again by the handler: refused as OpenForWriting would refuse it.
      try {
        files.CheckWritable(path);
      } catch (const Failure&) {
        return outcome;
      }
      if (action == ErrorLine::kAppendToClosed && world.files.count(path) == 0) return outcome;
      if (action == ErrorLine::kCreate) left[path].clear();
      break;
    case ErrorLine::kAppendToOpen:
      // The handler takes the run's file over, keeps it, and gives it its path's name.
      left.erase(runFile);
      left[path] = world.files.at(runFile);
      break;
  }
  const std::string& line = observed.faultPath->errorLine;
  if (line.size() > world.diskSpace) {
    left.erase(path);
    return outcome;
  }
  left[path] += line;
  outcome.status = observed.libraryCalled ? kExitFailureReported : kExitFailedBeforeCall;
  return outcome;
}

}  // namespace faxjob::testing
