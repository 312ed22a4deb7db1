#include "run_sequence_fixture.h"

#include <cstring>

namespace faxjob::testing {

LibraryScript gScript;

std::int32_t FAXJOB_STDCALL StandInSendPageInt(SendRequest* request, const void* logFont) {
  ++gScript.calls;
  std::memcpy(&gScript.received, request, sizeof *request);
  FakePlatform* platform = FakePlatform::current;
  gScript.platformCallsBefore = platform->observed.calls.size();
  if (logFont != nullptr) return -1;
  if (!gScript.changesFolderTo.empty()) platform->world.currentFolder = gScript.changesFolderTo;
  if (gScript.writesResult) {
    const std::u16string resultPath = platform->files.Resolve(std::u16string(
        request->ResultFilePath, request->ResultFilePath + std::strlen(request->ResultFilePath)));
    if (platform->world.folders.count(FakeFiles::FolderOf(resultPath)) != 0) {
      platform->world.files[resultPath] = gScript.result;
    }
  }
  return gScript.code;
}

}  // namespace faxjob::testing
