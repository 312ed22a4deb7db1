#include "run/run_sequence.h"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "base/failure.h"
#include "faxbridge/fax_library.h"
#include "faxbridge/result_messages.h"
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
  } catch (...) {
    platform.ShowStopMessage(FailureMessageText(Failure(kInternalError)));
  }
  return std::nullopt;
}

// The files the program itself opens, fixed at the start in their absolute
// form: a library that changes the current folder cannot redirect them. The
// library gets the paths as the command line gave them and resolves its own.
struct OwnFiles {
  std::u16string resultAsGiven;  // for the library
  std::u16string report;
  std::u16string result;
};

std::optional<OwnFiles> FixOwnFiles(Platform& platform, const std::u16string& reportFilePath) {
  try {
    std::u16string resultAsGiven = ResultFilePathFor(reportFilePath, platform.FolderSeparator());
    std::u16string report = platform.FullPathOf(reportFilePath);
    std::u16string result = platform.FullPathOf(resultAsGiven);
    return OwnFiles{std::move(resultAsGiven), std::move(report), std::move(result)};
  } catch (...) {
    return std::nullopt;  // a report path that cannot even be resolved can never be written
  }
}

// True only when `check` says so: a check that cannot be made is no certainty.
template <typename Check>
bool Certainly(Check&& check) {
  try {
    return check();
  } catch (...) {
    return false;
  }
}

// No fax goes out whose outcome could never be recorded, nor one whose record
// would destroy the job or what the library reports. Only what is certain
// counts: a check that cannot be made lets the run go ahead.
bool ReportCanNeverBeWritten(Platform& platform, const CommandLinePaths& paths,
                             const OwnFiles& own) {
  const char16_t separator = platform.FolderSeparator();
  // The reserved names as given and as the system normalises them
  // (`out/RESULT.TXT`, `RESULT.TXT\.`, `D:RESULT.TXT`), and streams of a file.
  if (Certainly([&] {
        return NamesReservedFile(paths.reportFilePath, separator) ||
               NamesReservedFile(own.report, separator) || platform.NamesStream(own.report);
      }) ||
      Certainly([&] { return platform.CanNeverCreate(own.report); })) {
    return true;
  }
  // The report written over the job, or the job removed with the old result
  // file or taken as the folder's lock file: by identity, whatever the spelling.
  const std::u16string lockFile =
      std::u16string(FolderPartOf(own.result, separator)) + std::u16string(kFolderTurnFileName);
  return Certainly([&] {
    return platform.IsSameFile(paths.jobFilePath, own.report) ||
           platform.IsSameFile(paths.jobFilePath, own.result) ||
           platform.IsSameFile(paths.jobFilePath, lockFile);
  });
}

// An earlier report must never pass for this run's: it goes first, before
// any library code runs and before the run waits for the folder's turn, so a
// run ended from outside at any later moment leaves none. One that cannot be
// removed could not be replaced either.
bool RemoveEarlierReport(Platform& platform, const std::u16string& reportPath) {
  try {
    platform.RemoveFile(reportPath);
    return true;
  } catch (const Failure&) {
    return false;
  }
}

// Runs whose result files are one file take turns, from before the stale
// result file is removed until the new one is closed after the transcription.
int SendAndTranscribe(Platform& platform, SendPageIntFunction sendPageInt, SendRequest& request,
                      const OwnFiles& own, ReportFile& report, bool& libraryCalled) {
  const std::u16string folder(FolderPartOf(own.result, platform.FolderSeparator()));
  const std::unique_ptr<FolderTurn> turn = platform.TakeFolderTurn(folder);
  platform.RemoveLeftovers(folder);
  // A result file that the library does not rewrite must not pass for this run's.
  platform.RemoveFile(own.result);
  struct Call {
    SendPageIntFunction sendPageInt;
    SendRequest& request;
    std::int32_t resultCode = 0;
  } call{sendPageInt, request};
  libraryCalled = true;
  platform.CallLibrary(
      [](void* context) {
        Call& call = *static_cast<Call*>(context);
        call.resultCode = call.sendPageInt(&call.request, nullptr);
      },
      &call);
  const std::int32_t resultCode = call.resultCode;
  const int status = resultCode == 0 ? kExitReportWritten : kExitLibraryFailed;
  platform.SetKeptReportStatus(status);
  Transcribe(platform, own.result, report, ResultMessages(resultCode));
  return status;
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
  const std::optional<OwnFiles> own = FixOwnFiles(platform, paths->reportFilePath);
  if (!own || ReportCanNeverBeWritten(platform, *paths, *own) ||
      !RemoveEarlierReport(platform, own->report)) {
    return kExitNothingSent;
  }

  ReportFile report(platform, own->report);
  FailureTrap trap(report);

  int status;
  bool libraryCalled = false;
  try {
    // A fault inside the library unwinds nothing; the fault path still reports it.
    platform.ArmFaultPath(own->report, FaultLine(platform));
    FillSendRequest(platform, request, paths->jobFilePath, own->resultAsGiven);
    const SendPageIntFunction sendPageInt = BindSendPageInt(platform);
    status = SendAndTranscribe(platform, sendPageInt, request, *own, report, libraryCalled);
  } catch (const Failure& failure) {
    status = trap.Handle(failure);
  } catch (const std::bad_alloc&) {
    status = trap.Handle(Failure(kOutOfMemory));
  } catch (...) {
    status = trap.Handle(Failure(kInternalError));
  }
  // A failure that no report records, before any fax could go out, says so.
  if (status == kExitFailureUnreported && !libraryCalled) status = kExitNothingSent;
  platform.DisarmFaultPath(status);
  return status;
}

}  // namespace faxjob
