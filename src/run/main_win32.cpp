// The program's entry on Windows: no console, Unicode command line.
#include <windows.h>

#include "platform/win32/platform.h"
#include "run/run_sequence.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const faxjob::Win32Platform platform;
  const UINT status = static_cast<UINT>(faxjob::RunJob(platform.parts(), faxjob::gSendRequest));
  // Every path ends here, with the exit status the run chose. Not through
  // ExitProcess: that runs the detach code of every library, and the fax
  // library's could hang, or end the process with a status of its own, after
  // the report is written.
  TerminateProcess(GetCurrentProcess(), status);
  ExitProcess(status);  // not reached: TerminateProcess of the own process does not return
}
