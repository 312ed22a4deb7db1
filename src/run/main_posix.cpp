// The program's entry in the host build.
#include "platform/posix/platform.h"
#include "run/run_sequence.h"

int main(int argc, char** argv) {
  const std::unique_ptr<faxjob::Platform> platform = faxjob::CreatePosixPlatform(argc, argv);
  return faxjob::RunJob(*platform, faxjob::gSendRequest);
}
