// The program's entry in the host build.
#include "platform/posix/platform.h"
#include "run/run_sequence.h"

int main(int argc, char** argv) {
  const faxjob::PosixPlatform platform(argc, argv);
  return faxjob::RunJob(platform.parts(), faxjob::gSendRequest);
}
