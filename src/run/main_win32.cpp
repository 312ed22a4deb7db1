// The program's entry on Windows: no console, Unicode command line.
#include <windows.h>

#include "platform/platform_win32.h"
#include "run/run_sequence.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::unique_ptr<faxjob::Platform> platform = faxjob::CreateWin32Platform();
  // Every path ends here, with the exit status the run chose.
  ExitProcess(static_cast<UINT>(faxjob::RunJob(*platform, faxjob::gSendRequest)));
}
