// A library's own ways of ending the process, taken over.
#pragma once

#include <windows.h>

namespace faxjob {

/// Points the library's imports of ExitProcess, FatalExit, RtlExitUserProcess and of its C
/// runtime's exit, _exit, _Exit, quick_exit and abort at `replacement`, which never returns. What
/// the library finds by GetProcAddress, imports late (delay-loaded), or does through another
/// library is beyond reach, and so is TerminateProcess, which ends the process at once.
void RedirectProcessEnds(HMODULE library, void* replacement);

}  // namespace faxjob
