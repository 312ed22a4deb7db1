#include "run/run_sequence.h"

#include <new>
#include <optional>

#include "faxbridge/fax_library.h"
#include "faxbridge/result_messages.h"
#include "platform/failure.h"
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
    if (paths && platform.OrdinaryFileMatches(FileSearchNameFor(paths->jobFilePath))) return paths;
    platform.ShowStopMessage(kArgumentErrorMessage);
  } catch (const Failure& failure) {
    platform.ShowStopMessage(FailureMessageText(failure));
  } catch (const std::bad_alloc&) {
    platform.ShowStopMessage(FailureMessageText(Failure(kOutOfMemory)));
  }
  return std::nullopt;
}

}  // namespace

int RunJob(Platform& platform, SendRequest& request) {
  const std::optional<CommandLinePaths> paths = CheckCommandLine(platform);
  if (!paths) return kExitCommandLineUnusable;
  const std::u16string resultFilePath = ResultFilePathFor(paths->reportFilePath);

  RunFiles files;
  FailureTrap trap(platform, paths->reportFilePath, files);

  int status = kExitReportWritten;
  try {
    // A fault inside the library unwinds nothing; the fault path still reports it.
    std::string faultLine;
    AppendNumberField(faultLine, kInternalError);
    faultLine += ',' + platform.ToNarrow(DescriptionOf(kInternalError)) + "\r\n";
    platform.ArmFaultPath(paths->reportFilePath, faultLine);
    FillSendRequest(platform, request, paths->jobFilePath, resultFilePath);
    FaxLibrary library(platform);
    const std::int32_t resultCode = library.SendPageInt(request);
    Transcribe(platform, files, resultFilePath, paths->reportFilePath, ResultMessages(resultCode));
    // A library failure whose result file lists no entries leaves an empty report.
    if (resultCode != 0) status = kExitLibraryFailed;
  } catch (const Failure& failure) {
    status = trap.Handle(failure);
  } catch (const std::bad_alloc&) {
    status = trap.Handle(Failure(kOutOfMemory));
  }
  platform.DisarmFaultPath();
  return status;
}

}  // namespace faxjob
