// The in-memory platform's text, in its code page shaped like code page 932.
#include <algorithm>
#include <string>

#include "fake_platform.h"

namespace faxjob::testing {

namespace {

bool FakeNarrowLacks(char16_t c) {
  return (c >= 0x80 && c < 0x3000) || (c >= 0xD800 && c <= 0xDFFF);
}

}  // namespace

std::string FakeNarrow(std::u16string_view text) {
  std::string bytes;
  for (const char16_t c : text) {
    if (c < 0x80) {
      bytes.push_back(static_cast<char>(c));
    } else if (c >= 0xFF61 && c <= 0xFF9F) {
      bytes.push_back(static_cast<char>(0xA1 + (c - 0xFF61)));
    } else if (FakeNarrowLacks(c)) {
      bytes.push_back('?');
    } else {
      bytes.push_back(static_cast<char>(0x88 + ((c >> 6) & 1)));
      bytes.push_back(static_cast<char>(0x40 + (c & 0x3F)));
    }
  }
  return bytes;
}

bool FakeNarrowHasAll(std::u16string_view text) {
  return std::none_of(text.begin(), text.end(), FakeNarrowLacks);
}

std::string FakeText::ToNarrow(std::u16string_view text) {
  platform_.Call("ToNarrow");
  return FakeNarrow(text);
}

std::string FakeText::ToNarrowExactly(std::u16string_view text) {
  platform_.Call("ToNarrowExactly");
  if (!FakeNarrowHasAll(text)) throw Failure(kBadFileName);
  return FakeNarrow(text);
}

std::u16string FakeText::FromNarrow(std::string_view bytes) {
  platform_.Call("FromNarrow");
  return std::u16string(bytes.begin(), bytes.end());
}

std::size_t FakeText::NarrowCharLength(unsigned char leadByte) {
  return (leadByte >= 0x81 && leadByte <= 0x9F) || (leadByte >= 0xE0 && leadByte <= 0xFC) ? 2 : 1;
}

std::string Utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace faxjob::testing
