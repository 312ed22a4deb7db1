// The program's entry on Windows: no console, Unicode command line.
#include <windows.h>

#include "platform/win32/platform.h"
#include "run/run_sequence.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const faxjob::Win32Platform platform;
  const int status = faxjob::RunJob(platform.parts(), faxjob::gSendRequest);
  // Every path ends here, with the exit status the run chose: not through
  // ExitProcess, whose detach code of the fax library could hang, or end the
  // process with a status of its own, after the report is written.
  faxjob::EndProcess(status);
}
