// A library's own ways of ending the process, taken over.
#pragma once

#include <windows.h>

namespace faxjob {

/// Makes every C runtime DLL loaded in the process report its errors without a box and send its
/// abort (SIGABRT, assert, abort) to `end`, which never returns; and points each import slot of
/// those runtimes and of `library` (null: none) that holds a process-ending function at the fault
/// path. Slots are matched by the address they hold, so imports without a name table, by ordinal
/// or bound are taken too. Taken: ExitProcess, FatalExit, FatalAppExitA/W, RtlExitUserProcess,
/// the runtimes' exit, _exit, _Exit, quick_exit, abort and _amsg_exit (to `end`); TerminateProcess
/// and NtTerminateProcess on this process (to `end`; another process's handle is passed on); and
/// SetUnhandledExceptionFilter, whose filter is remembered and never installed. Beyond reach:
/// what is found by GetProcAddress, imported late (delay-loaded) or called by another library.
void TakeOverProcessEnds(HMODULE library, void* end);

}  // namespace faxjob
