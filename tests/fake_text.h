// The in-memory platform's text, in a narrow code page shaped like code page
// 932: ASCII and half-width katakana take one byte, ideographs and other
// characters from U+3000 on take two (lead byte 0x88 or 0x89). It lacks the
// characters between U+0080 and U+2FFF (é, ¥, ☃) and those outside the basic
// plane: each of their UTF-16 units becomes the default character '?'.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace faxjob::testing {

class FakePlatform;

class FakeText : public Text {
 public:
  explicit FakeText(FakePlatform& platform) : platform_(platform) {}

  std::string ToNarrow(std::u16string_view text) override;
  std::string ToNarrowExactly(std::u16string_view text) override;
  std::u16string FromNarrow(std::string_view bytes) override;
  std::size_t NarrowCharLength(unsigned char leadByte) override;

 private:
  FakePlatform& platform_;
};

// The text in that code page.
std::string FakeNarrow(std::u16string_view text);
// True when every character of `text` has a place in that code page.
bool FakeNarrowHasAll(std::u16string_view text);

// UTF-8 spelling for readable assertion messages.
std::string Utf8(std::u16string_view text);

}  // namespace faxjob::testing
