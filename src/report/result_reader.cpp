#include "report/result_reader.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "platform/failure.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define FAXJOB_HAVE_SSE2 1
#else
#define FAXJOB_HAVE_SSE2 0
#endif

namespace faxjob {

namespace {

bool IsBlank(char byte) { return byte == ' ' || byte == '\t'; }

struct ItemEndTable {
  bool ends[256] = {};
  constexpr ItemEndTable() {
    for (unsigned char separator : {',', '\r', '\n'}) ends[separator] = true;
  }
};
constexpr ItemEndTable kItemEnds;

// The hot loop of the reader: most bytes belong to items that are skipped.
const char* FindItemEnd(const char* begin, const char* end) {
#if FAXJOB_HAVE_SSE2
  const __m128i commas = _mm_set1_epi8(',');
  const __m128i carriageReturns = _mm_set1_epi8('\r');
  const __m128i lineFeeds = _mm_set1_epi8('\n');
  while (end - begin >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin));
    const __m128i separators = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(block, commas), _mm_cmpeq_epi8(block, carriageReturns)),
        _mm_cmpeq_epi8(block, lineFeeds));
    if (const auto mask = static_cast<unsigned>(_mm_movemask_epi8(separators))) {
      return begin + std::countr_zero(mask);
    }
    begin += 16;
  }
#endif
  while (begin != end && !kItemEnds.ends[static_cast<unsigned char>(*begin)]) ++begin;
  return begin;
}

// First bytes that the fast path leaves to the general one: blanks to skip
// and empty lines.
struct SlowStartTable {
  bool slow[256] = {};
  constexpr SlowStartTable() {
    for (unsigned char byte : {' ', '\t', '\r', '\n'}) slow[byte] = true;
  }
};
constexpr SlowStartTable kSlowStarts;

}  // namespace

void NumberTextParser::Feed(char byte) {
  const bool digit = byte >= '0' && byte <= '9';
  switch (state_) {
    case State::kLeadingBlanks:
      if (IsBlank(byte)) return;
      if (byte == '-') {
        negative_ = true;
        state_ = State::kSign;
        return;
      }
      [[fallthrough]];
    case State::kSign:
    case State::kInteger:
      if (digit) {
        state_ = State::kInteger;
        sawDigit_ = true;
        if (significantCount_ == 0 && byte == '0') return;  // leading zero
        if (significantCount_ < kMaxSignificantDigits) {
          significant_[significantCount_++] = byte;
        } else {
          ++exponent_;  // an integer digit beyond the precision kept
        }
        return;
      }
      if (byte == '.') {
        state_ = State::kFraction;
        return;
      }
      break;
    case State::kFraction:
      if (digit) {
        sawDigit_ = true;
        if (significantCount_ == 0 && byte == '0') {
          --exponent_;
        } else if (significantCount_ < kMaxSignificantDigits) {
          significant_[significantCount_++] = byte;
          --exponent_;
        }
        return;
      }
      break;
    case State::kTrailingBlanks:
      if (!IsBlank(byte)) state_ = State::kInvalid;
      return;
    case State::kInvalid:
      return;
  }
  state_ = IsBlank(byte) && state_ != State::kSign ? State::kTrailingBlanks : State::kInvalid;
}

double NumberTextParser::Finish() const {
  if (!sawDigit_ || state_ == State::kInvalid) throw Failure(kTypeMismatch);
  if (significantCount_ == 0) return 0.0;
  const std::int64_t decimalMagnitude = significantCount_ + exponent_;
  if (decimalMagnitude > 310) throw Failure(kOverflow);
  if (decimalMagnitude < -330) return 0.0;

  double value;
  if (significantCount_ <= 15 && exponent_ <= 0 && exponent_ >= -22) {
    // Exact integer over an exact power of ten: one correctly rounded division.
    static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    std::int64_t mantissa = 0;
    for (int i = 0; i < significantCount_; ++i) mantissa = mantissa * 10 + (significant_[i] - '0');
    value = static_cast<double>(mantissa) / kPowersOfTen[-exponent_];
  } else {
    std::string text(significant_, static_cast<std::size_t>(significantCount_));
    text += 'e';
    text += std::to_string(exponent_);
    const std::from_chars_result parsed =
        std::from_chars(text.data(), text.data() + text.size(), value);
    if (parsed.ec == std::errc::result_out_of_range) {
      if (decimalMagnitude > 0) throw Failure(kOverflow);
      value = 0.0;
    }
  }
  if (std::isinf(value)) throw Failure(kOverflow);
  return negative_ ? -value : value;
}

ResultReader::ResultReader(Platform& platform, InputFile& file, std::size_t blockSize)
    : platform_(platform),
      file_(file),
      buffer_(std::make_unique_for_overwrite<char[]>(blockSize)),
      blockSize_(blockSize) {}

bool ResultReader::Fill() {
  if (endOfFile_) return false;
  position_ = 0;
  filled_ = file_.Read(buffer_.get(), blockSize_);
  endOfFile_ = filled_ == 0;
  return !endOfFile_;
}

void ResultReader::SkipBlanks() {
  // Tabs are skipped like spaces: both are invisible in the file.
  for (int byte = Peek(); byte == ' ' || byte == '\t'; byte = Peek()) ++position_;
}

void ResultReader::ConsumeLineEndAfterCr() {
  if (Peek() == '\n') ++position_;
}

std::optional<double> ResultReader::ReadItem() {
  SkipBlanks();
  const int first = Peek();
  if (first < 0) return std::nullopt;  // blanks alone after the last item: an empty item
  if (first == '\r' || first == '\n') {
    ++position_;
    if (first == '\r') ConsumeLineEndAfterCr();
    return std::nullopt;  // an empty line: an empty item
  }

  entryState_ = EntryState::kSlash;
  if (first == '"') {
    ++position_;
    ReadQuoted();
  } else {
    ReadUnquoted();
  }

  switch (entryState_) {
    case EntryState::kSlash:
    case EntryState::kCapitalR:
    case EntryState::kNotEntry:
      return std::nullopt;
    case EntryState::kThirdChar:
    case EntryState::kSkipThirdChar:
    case EntryState::kNumber:
      // "/R" with no number text fails here too, as an empty number.
      return number_.Finish();
  }
  return std::nullopt;
}

std::optional<double> ResultReader::NextEntry() {
  for (;;) {
    // Fast path: items that lie whole in the buffer, quoted or not, taken
    // without leaving this loop.
    while (position_ < filled_) {
      const char* begin = buffer_.get() + position_;
      const char* blockEnd = buffer_.get() + filled_;
      const char* content = begin;
      const char* contentEnd;
      const char* itemEnd;
      if (*begin == '"') {
        ++content;
        contentEnd = static_cast<const char*>(
            std::memchr(content, '"', static_cast<std::size_t>(blockEnd - content)));
        if (contentEnd == nullptr) break;
        itemEnd = FindItemEnd(contentEnd + 1, blockEnd);
      } else {
        if (kSlowStarts.slow[static_cast<unsigned char>(*begin)]) break;
        itemEnd = contentEnd = FindItemEnd(begin, blockEnd);
      }
      if (itemEnd == blockEnd) break;
      // Decided before the line end is consumed, which may refill the buffer.
      const std::optional<double> number =
          *content == '/' ? EntryNumberOf(content, contentEnd) : std::nullopt;
      position_ = static_cast<std::size_t>(itemEnd - buffer_.get()) + 1;
      if (*itemEnd == '\r') ConsumeLineEndAfterCr();
      if (number) return number;
    }
    if (AtEnd()) return std::nullopt;
    if (const std::optional<double> number = ReadItem()) return number;
  }
}

std::optional<double> ResultReader::EntryNumberOf(const char* begin, const char* end) {
  if (end - begin < 2 || begin[0] != '/' || begin[1] != 'R') return std::nullopt;
  const char* numberText = begin + 2;
  if (numberText != end) {
    const std::size_t thirdChar = std::max<std::size_t>(
        1, platform_.NarrowCharLength(static_cast<unsigned char>(*numberText)));
    numberText += std::min(thirdChar, static_cast<std::size_t>(end - numberText));
  }
  if (const std::optional<double> value = PlainInteger(numberText, end)) return value;
  NumberTextParser parser;
  for (const char* byte = numberText; byte != end; ++byte) parser.Feed(*byte);
  return parser.Finish();
}

std::optional<double> ResultReader::PlainInteger(const char* begin, const char* end) {
  while (begin != end && IsBlank(*begin)) ++begin;
  while (begin != end && IsBlank(end[-1])) --end;
  const bool negative = begin != end && *begin == '-';
  if (negative) ++begin;
  if (begin == end || end - begin > 15) return std::nullopt;
  std::int64_t value = 0;
  for (; begin != end; ++begin) {
    if (*begin < '0' || *begin > '9') return std::nullopt;
    value = value * 10 + (*begin - '0');
  }
  return negative ? -static_cast<double>(value) : static_cast<double>(value);
}

void ResultReader::ReadUnquoted() {
  while (position_ < filled_ || Fill()) {
    const char* begin = buffer_.get() + position_;
    const char* blockEnd = buffer_.get() + filled_;
    const char* itemEnd = FindItemEnd(begin, blockEnd);
    FeedEntry(begin, static_cast<std::size_t>(itemEnd - begin));
    position_ = static_cast<std::size_t>(itemEnd - buffer_.get());
    if (itemEnd != blockEnd) {
      ++position_;
      if (*itemEnd == '\r') ConsumeLineEndAfterCr();
      return;
    }
  }
}

void ResultReader::ReadQuoted() {
  for (;;) {
    // A quote never closed means the file was cut short.
    if (position_ == filled_ && !Fill()) throw Failure(kInputPastEndOfFile);
    const char* begin = buffer_.get() + position_;
    const std::size_t available = filled_ - position_;
    const char* closingQuote = static_cast<const char*>(std::memchr(begin, '"', available));
    if (closingQuote == nullptr) {
      FeedEntry(begin, available);
      position_ = filled_;
      continue;
    }
    FeedEntry(begin, static_cast<std::size_t>(closingQuote - begin));
    position_ = static_cast<std::size_t>(closingQuote - buffer_.get()) + 1;
    break;
  }
  // Anything between the closing quote and the separator is dropped with it.
  const EntryState entryState = entryState_;
  entryState_ = EntryState::kNotEntry;
  ReadUnquoted();
  entryState_ = entryState;
}

void ResultReader::FeedEntry(const char* bytes, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    switch (entryState_) {
      case EntryState::kNotEntry:
        return;
      case EntryState::kSlash:
        if (bytes[i++] != '/') {
          entryState_ = EntryState::kNotEntry;
          return;
        }
        entryState_ = EntryState::kCapitalR;
        break;
      case EntryState::kCapitalR:
        if (bytes[i++] != 'R') {
          entryState_ = EntryState::kNotEntry;
          return;
        }
        entryState_ = EntryState::kThirdChar;
        number_ = NumberTextParser();
        break;
      case EntryState::kThirdChar:
        // Decided on characters: in a double-byte code page the skipped
        // character may take two bytes.
        thirdCharBytesLeft_ = std::max<std::size_t>(
            1, platform_.NarrowCharLength(static_cast<unsigned char>(bytes[i++])));
        entryState_ = --thirdCharBytesLeft_ > 0 ? EntryState::kSkipThirdChar : EntryState::kNumber;
        break;
      case EntryState::kSkipThirdChar:
        ++i;
        if (--thirdCharBytesLeft_ == 0) entryState_ = EntryState::kNumber;
        break;
      case EntryState::kNumber:
        for (; i < size; ++i) number_.Feed(bytes[i]);
        return;
    }
  }
}

}  // namespace faxjob
