// The platform's process: its command line, the message box, the fax library
// (loaded and called) and the fault path. Each operation names the failure
// codes it raises; any of them may also raise 7 when memory runs out.
#pragma once

#include <string>
#include <string_view>

namespace faxjob {

class Process {
 public:
  virtual ~Process() = default;

  /// The process command line as the OS hands it over, program path included.
  virtual std::u16string RawCommandLine() = 0;

  /// A modal message box with the stop icon, one OK button and the program's name as its title;
  /// returns when it is closed. Shows nothing, and returns at once, where nobody could see it
  /// (a window station that is not visible: a service, a task run without a logged-on user).
  /// Raises nothing: there is no one else to tell.
  virtual void ShowStopMessage(const std::u16string& text) = 0;

  /// Loads a library and returns the address of its entry point `entryName`, or null when it has
  /// none. The search takes the program's own folder, the system folders and the folders on PATH,
  /// never the current folder. The library stays loaded until the process ends, so nothing that
  /// happens later in the run can unload code that may still be running or mapped. The load is
  /// guarded as CallLibrary guards a call, and the handler and the error mode are set again after
  /// it. The library's own calls that end the process (ExitProcess, FatalAppExit, TerminateProcess
  /// on this process, its C runtime's exit, abort, assert, through import tables) go to the fault
  /// path instead, which records them as a fault, and no C runtime shows a box. Raises 53 (the
  /// library, or one it needs, is missing), 48 (it cannot be loaded for another reason).
  virtual void* LoadEntryPoint(const std::u16string& fileName, const char* entryName) = 0;

  /// Runs `call`, which calls into the fax library, with the process made ready for code it
  /// does not trust: the fault path's handler installed again (the library's runtime may have
  /// put its own in its place while loading), and the floating-point environment (rounding,
  /// precision, denormals) saved before and restored after, so that nothing the library sets
  /// there changes how the run reads and rounds numbers. From its start a recorded fault ends the
  /// process with status 1 instead of 5: a fax may have gone out. Raises nothing of its own.
  virtual void CallLibrary(void (*call)(void* context), void* context) = 0;

  /// Prepares the fault path; called once, before the fax library is loaded. From then on until
  /// the process ends, a processor fault on any thread (access violation, illegal instruction,
  /// stack overflow, ...), or the library's own call to end the process, ends the process within
  /// seconds and without any system dialog. Until the run's end is decided (DisarmFaultPath), it
  /// records `errorLine` (one complete narrow report line, CR LF included) in the report file:
  ///  - not opened by this run: created or emptied, and then holds the line alone;
  ///  - open for writing in this run through Files::OpenForWriting with exactly `reportPath`,
  ///    every write so far complete: the line is appended after what was written;
  ///  - closed by this run after complete writes but not kept: the line is appended;
  ///  - a write to it failed, so its content is unknown: no line;
  ///  - kept (OutputFile::Keep has given it its name): final, nothing changes or deletes it; the
  ///    process ends with the status set by SetKeptReportStatus.
  /// Exit status 1 when the line is in the report (5 before the library's call), else 2; a
  /// report this run created or emptied that does not end up holding the line is deleted, so it
  /// never reads as a success (an empty report means "no entries"). Raises 7 when the
  /// preparation fails.
  virtual void ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) = 0;
  /// The exit status that goes with the armed report once it is kept: 0 or 4 for the library's
  /// entries, 1 for an error line. Set before the report is opened. Raises nothing.
  virtual void SetKeptReportStatus(int status) = 0;
  /// The run's end, decided once: from now on a fault, or a library's call that ends the process,
  /// ends it with `status` and touches no file. Where a fault has taken the end first, it never
  /// returns: the fault path ends the process.
  virtual void DisarmFaultPath(int status) = 0;
};

}  // namespace faxjob
