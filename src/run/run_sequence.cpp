#include "run/run_sequence.h"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "base/bench_guards.h"
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
std::optional<CommandLinePaths> CheckCommandLine(Process& process, Files& files) {
  try {
    std::optional<CommandLinePaths> paths =
        SplitArguments(ArgumentTextOf(process.RawCommandLine()));
    if (paths &&
        (!Kept(Guard::kJobFileCheck) || files.OrdinaryFileMatches(FileSearchNameFor(
                                            paths->jobFilePath, files.FolderSeparator())))) {
      return paths;
    }
    process.ShowStopMessage(kArgumentErrorMessage);
  } catch (const Failure& failure) {
    process.ShowStopMessage(FailureMessageText(failure));
  } catch (const std::bad_alloc&) {
    process.ShowStopMessage(FailureMessageText(Failure(kOutOfMemory)));
  } catch (...) {
    process.ShowStopMessage(FailureMessageText(Failure(kInternalError)));
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

std::optional<OwnFiles> FixOwnFiles(Files& files, const std::u16string& reportFilePath) {
  try {
    std::u16string resultAsGiven = ResultFilePathFor(reportFilePath, files.FolderSeparator());
    std::u16string report = files.FullPathOf(reportFilePath);
    std::u16string result = files.FullPathOf(resultAsGiven);
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
bool ReportCanNeverBeWritten(Files& files, const CommandLinePaths& paths, const OwnFiles& own) {
  const char16_t separator = files.FolderSeparator();
  // The reserved names as given and as the system normalises them
  // (`out/RESULT.TXT`, `RESULT.TXT\.`, `D:RESULT.TXT`), and streams of a file.
  if (Certainly([&] {
        return NamesReservedFile(paths.reportFilePath, separator) ||
               NamesReservedFile(own.report, separator) || files.NamesStream(own.report);
      }) ||
      Certainly([&] { return files.CanNeverCreate(own.report); })) {
    return true;
  }
  // The report written over the job, or the job removed with the old result
  // file or taken as the folder's lock file: by identity, whatever the spelling.
  const std::u16string lockFile =
      std::u16string(FolderPartOf(own.result, separator)) + std::u16string(kFolderTurnFileName);
  return Certainly([&] {
    return files.IsSameFile(paths.jobFilePath, own.report) ||
           files.IsSameFile(paths.jobFilePath, own.result) ||
           files.IsSameFile(paths.jobFilePath, lockFile);
  });
}

// An earlier report must never pass for this run's: it goes first, before
// any library code runs and before the run waits for the folder's turn, so a
// run ended from outside at any later moment leaves none. One that cannot be
// removed could not be replaced either.
bool RemoveEarlierReport(Files& files, const std::u16string& reportPath) {
  try {
    files.RemoveFile(reportPath);
    return true;
  } catch (const Failure&) {
    return false;
  }
}

// Runs whose result files are one file take turns, from before the library is
// loaded until the new result file is closed after the transcription. Only in
// the turn is the library loaded: while a run waits, for as long as another
// run's fax takes, none of its code runs (its start-up code, threads and
// windows), and a caller's time-out that ends a waiting run ends no library
// code.
int SendAndTranscribe(const Platform& platform, SendRequest& request, const OwnFiles& own,
                      ReportFile& report, bool& libraryCalled) {
  const std::u16string folder(FolderPartOf(own.result, platform.files.FolderSeparator()));
  const std::unique_ptr<FolderTurn> turn =
      Kept(Guard::kFolderTurn) ? platform.files.TakeFolderTurn(folder) : nullptr;
  if (Kept(Guard::kStaleSweep)) platform.files.RemoveStaleTemporaryFiles(folder);
  const SendPageIntFunction sendPageInt = BindSendPageInt(platform.process);
  // A result file that the library does not rewrite must not pass for this
  // run's. Removed last before the call: a run refused for its library leaves
  // it as it was, and nothing the library's start-up code left there counts.
  if (Kept(Guard::kOldResultRemoval)) platform.files.RemoveFile(own.result);
  struct Call {
    SendPageIntFunction sendPageInt;
    SendRequest& request;
    std::int32_t resultCode = 0;
  } call{sendPageInt, request};
  libraryCalled = true;
  platform.process.CallLibrary(
      [](void* context) {
        Call& call = *static_cast<Call*>(context);
        call.resultCode = call.sendPageInt(&call.request, nullptr);
      },
      &call);
  const std::int32_t resultCode = call.resultCode;
  const int status = resultCode == 0 ? kExitReportWritten : kExitLibraryFailed;
  platform.process.SetKeptReportStatus(status);
  Transcribe(platform.files, platform.text, own.result, report, ResultMessages(resultCode));
  return status;
}

// The error line of a fault, made before the library is called: a process
// that has faulted may not be able to make it any more.
std::string FaultLine(Text& text) {
  return ReportLine(kInternalError, text.ToNarrow(DescriptionOf(kInternalError)));
}

}  // namespace

int RunJob(const Platform& platform, SendRequest& request) {
  const std::optional<CommandLinePaths> paths = CheckCommandLine(platform.process, platform.files);
  if (!paths) return kExitNothingSent;
  const std::optional<OwnFiles> own = FixOwnFiles(platform.files, paths->reportFilePath);
  if (!own || (Kept(Guard::kRefusals) && ReportCanNeverBeWritten(platform.files, *paths, *own)) ||
      (Kept(Guard::kEarlierReportRemoval) && !RemoveEarlierReport(platform.files, own->report))) {
    return kExitNothingSent;
  }

  ReportFile report(platform.files, platform.text, own->report, &platform.process);
  FailureTrap trap(report);

  int status;
  bool libraryCalled = false;
  try {
    // A fault inside the library unwinds nothing; the fault path still reports it.
    if (Kept(Guard::kFaultPath))
      platform.process.ArmFaultPath(own->report, FaultLine(platform.text));
    FillSendRequest(platform.text, request, paths->jobFilePath, own->resultAsGiven);
    status = SendAndTranscribe(platform, request, *own, report, libraryCalled);
  } catch (const Failure& failure) {
    status = trap.Handle(failure);
  } catch (const std::bad_alloc&) {
    status = trap.Handle(Failure(kOutOfMemory));
  } catch (...) {
    status = trap.Handle(Failure(kInternalError));
  }
  // A failure before any fax could go out says so, recorded or not.
  if (!libraryCalled && status == kExitFailureUnreported) status = kExitNothingSent;
  if (!libraryCalled && status == kExitFailureReported) status = kExitFailedBeforeCall;
  platform.process.DisarmFaultPath(status);
  return status;
}

}  // namespace faxjob
