#include "faxbridge/fax_library.h"

#include "platform/failure.h"

namespace faxjob {

std::int32_t FaxLibrary::SendPageInt(SendRequest& request) {
  if (sendPageInt_ == nullptr) {
    std::unique_ptr<DynamicLibrary> library = platform_.OpenLibrary(kFaxLibraryFileName);
    void* entry = library->EntryPoint(kSendPageIntEntryName);
    if (entry == nullptr) throw Failure(kEntryPointNotFound);
    library_ = std::move(library);
    sendPageInt_ = reinterpret_cast<SendPageIntFunction>(entry);
  }
  return sendPageInt_(&request, nullptr);
}

}  // namespace faxjob
