#include "faxbridge/fax_library.h"

#include "base/failure.h"

namespace faxjob {

SendPageIntFunction BindSendPageInt(Process& process) {
  void* entry = process.LoadEntryPoint(kFaxLibraryFileName, kSendPageIntEntryName);
  if (entry == nullptr) throw Failure(kEntryPointNotFound);
  return reinterpret_cast<SendPageIntFunction>(entry);
}

}  // namespace faxjob
