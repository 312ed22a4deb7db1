#include "run/failure_trap.h"

namespace faxjob {

int FailureTrap::Handle(const Failure& failure) noexcept {
  if (handled_) return kExitFailureUnreported;
  handled_ = true;
  return report_.RecordFailure(failure) ? kExitFailureReported : kExitFailureUnreported;
}

}  // namespace faxjob
