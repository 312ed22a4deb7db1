#include "faxbridge/send_request.h"

#include "base/failure.h"
#include "platform/text.h"

namespace faxjob {

SendRequest gSendRequest{};

void CopyToAnsiSlot(Text& codePage, std::span<char> slot, const std::u16string& text) {
  const std::string bytes = codePage.ToNarrowExactly(text);
  auto store = [&slot](std::size_t index, char byte) {
    if (index >= slot.size()) throw Failure(kSubscriptOutOfRange);
    slot[index] = byte;
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) store(i, bytes[i]);
  store(bytes.size(), '\0');
}

void FillSendRequest(Text& text, SendRequest& request, const std::u16string& jobFilePath,
                     const std::u16string& resultFilePath) {
  request.ValueB = 0;
  for (std::int32_t& value : request.ValueList) value = 0;
  CopyToAnsiSlot(text, request.JobFilePath, jobFilePath);
  CopyToAnsiSlot(text, request.TextSlotB, u"");
  CopyToAnsiSlot(text, request.ResultFilePath, resultFilePath);
  CopyToAnsiSlot(text, request.TextSlotD, u"");
  CopyToAnsiSlot(text, request.TextSlotE, u"");
  CopyToAnsiSlot(text, request.ShortTextSlot, u"");
}

}  // namespace faxjob
