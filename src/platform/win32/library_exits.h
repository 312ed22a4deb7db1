// A library's own ways of ending the process, taken over.
#pragma once

#include <windows.h>

namespace faxjob {

/// Called with `library` null before the library is loaded: makes every C runtime DLL loaded in
/// the process report its errors without a box and send its abort (SIGABRT, assert, abort) to
/// `end`, which never returns; points each import slot of those runtimes that holds a
/// process-ending function at the fault path; and from then on, as the loader reports each module
/// loaded (before its start-up code runs), the library and every module it brings in, during the
/// load or the call, have their import slots, delay-loaded ones included, taken the same way.
/// Called again with the library once it is loaded: runtimes it brought in are quieted too.
/// Taken: ExitProcess, FatalExit, FatalAppExitA/W, RaiseFailFastException, RtlExitUserProcess,
/// the runtimes' exit, _exit, _Exit, quick_exit, abort and _amsg_exit (to `end`);
/// TerminateProcess and NtTerminateProcess on any handle to this process, whatever its rights (to
/// `end`; another process's handle is passed on); for the library and what it loads also
/// SetUnhandledExceptionFilter, whose filter is remembered and never installed, SuspendThread of
/// the program's own threads (refused), and GetProcAddress, which answers every function taken
/// over with its replacement.
void TakeOverProcessEnds(HMODULE library, void* end);

}  // namespace faxjob
