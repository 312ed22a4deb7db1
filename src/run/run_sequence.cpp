#include "run/run_sequence.h"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "faxbridge/fax_library.h"
#include "faxbridge/result_messages.h"
#include "platform/failure.h"
#include "report/report_file.h"
#include "report/report_writer.h"
#include "report/transcription.h"
#include "run/command_line.h"
#include "run/failure_trap.h"

namespace faxjob {

namespace {

std::u16string FailureMessageText(const Failure& failure) {
  std::u16string text = u"エラー ";
  for (char digit : std::to_string(failure.code())) text += static_cast<char16_t>(digit);
  return text + u": " + failure.description();
}

// Steps before the trap is armed: a failure here ends in a message box.
std::optional<CommandLinePaths> CheckCommandLine(Platform& platform) {
  try {
    std::optional<CommandLinePaths> paths =
        SplitArguments(ArgumentTextOf(platform.RawCommandLine()));
    if (paths && platform.OrdinaryFileMatches(
                     FileSearchNameFor(paths->jobFilePath, platform.FolderSeparator()))) {
      return paths;
    }
    platform.ShowStopMessage(kArgumentErrorMessage);
  } catch (const Failure& failure) {
    platform.ShowStopMessage(FailureMessageText(failure));
  } catch (const std::bad_alloc&) {
    platform.ShowStopMessage(FailureMessageText(Failure(kOutOfMemory)));
  }
  return std::nullopt;
}

// No fax goes out whose outcome could never be recorded. Only what is certain
// counts: a check that cannot be made lets the run go ahead.
bool ReportCanNeverBeWritten(Platform& platform, const std::u16string& reportFilePath) {
  try {
    return NamesResultFile(reportFilePath, platform.FolderSeparator()) ||
           platform.CanNeverCreate(reportFilePath);
  } catch (...) {
    return false;
  }
}

// Runs whose result files are one file take turns, from before the stale
// result file is removed until the new one is closed after the transcription.
int SendAndTranscribe(Platform& platform, SendPageIntFunction sendPageInt, SendRequest& request,
                      const std::u16string& resultFilePath, ReportFile& report) {
  const std::unique_ptr<FolderTurn> turn = platform.TakeFolderTurn(
      std::u16string(FolderPartOf(resultFilePath, platform.FolderSeparator())));
  // A result file that the library does not rewrite must not pass for this run's.
  platform.RemoveFile(resultFilePath);
  const std::int32_t resultCode = sendPageInt(&request, nullptr);
  Transcribe(platform, resultFilePath, report, ResultMessages(resultCode));
  return resultCode == 0 ? kExitReportWritten : kExitLibraryFailed;
}

// The error line of a fault, made before the library is called: a process
// that has faulted may not be able to make it any more.
std::string FaultLine(Platform& platform) {
  return ReportLine(kInternalError, platform.ToNarrow(DescriptionOf(kInternalError)));
}

}  // namespace

int RunJob(Platform& platform, SendRequest& request) {
  const std::optional<CommandLinePaths> paths = CheckCommandLine(platform);
  if (!paths) return kExitNothingSent;
  if (ReportCanNeverBeWritten(platform, paths->reportFilePath)) return kExitNothingSent;
  const std::u16string resultFilePath =
      ResultFilePathFor(paths->reportFilePath, platform.FolderSeparator());

  ReportFile report(platform, paths->reportFilePath);
  FailureTrap trap(report);

  int status;
  try {
    // A fault inside the library unwinds nothing; the fault path still reports it.
    platform.ArmFaultPath(paths->reportFilePath, FaultLine(platform));
    FillSendRequest(platform, request, paths->jobFilePath, resultFilePath);
    const SendPageIntFunction sendPageInt = BindSendPageInt(platform);
    status = SendAndTranscribe(platform, sendPageInt, request, resultFilePath, report);
  } catch (const Failure& failure) {
    status = trap.Handle(failure);
  } catch (const std::bad_alloc&) {
    status = trap.Handle(Failure(kOutOfMemory));
  }
  platform.DisarmFaultPath();
  return status;
}

}  // namespace faxjob
