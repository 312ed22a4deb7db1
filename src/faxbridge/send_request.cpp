#include "faxbridge/send_request.h"

#include "base/failure.h"
#include "platform/platform.h"

namespace faxjob {

SendRequest gSendRequest{};

void CopyToAnsiSlot(Platform& platform, std::span<char> slot, const std::u16string& text) {
  const std::string bytes = platform.ToNarrowExactly(text);
  auto store = [&slot](std::size_t index, char byte) {
    if (index >= slot.size()) throw Failure(kSubscriptOutOfRange);
    slot[index] = byte;
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) store(i, bytes[i]);
  store(bytes.size(), '\0');
}

void FillSendRequest(Platform& platform, SendRequest& request, const std::u16string& jobFilePath,
                     const std::u16string& resultFilePath) {
  request.ValueB = 0;
  for (std::int32_t& value : request.ValueList) value = 0;
  CopyToAnsiSlot(platform, request.JobFilePath, jobFilePath);
  CopyToAnsiSlot(platform, request.TextSlotB, u"");
  CopyToAnsiSlot(platform, request.ResultFilePath, resultFilePath);
  CopyToAnsiSlot(platform, request.TextSlotD, u"");
  CopyToAnsiSlot(platform, request.TextSlotE, u"");
  CopyToAnsiSlot(platform, request.ShortTextSlot, u"");
}

}  // namespace faxjob
