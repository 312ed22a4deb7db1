#include "report/number_text.h"

#include <charconv>
#include <cmath>
#include <string>

#include "base/failure.h"

namespace faxjob {

namespace {

bool IsBlank(char byte) { return byte == ' ' || byte == '\t'; }

}  // namespace

double EntryNumber::AsDouble() const {
  if (fieldSize == 0) return isWhole ? static_cast<double>(whole) : value;
  std::int64_t digits = 0;
  for (std::uint32_t i = 0; i < fieldSize; ++i) digits = digits * 10 + (field[i] - '0');
  return static_cast<double>(digits);
}

void NumberTextParser::Feed(const char* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size && state_ != State::kInvalid; ++i) Feed(bytes[i]);
}

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
          inexact_ = inexact_ || byte != '0';
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
        } else {
          inexact_ = inexact_ || byte != '0';
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

EntryNumber NumberTextParser::Finish() const {
  if (!sawDigit_ || state_ == State::kInvalid) throw Failure(kTypeMismatch);
  if (significantCount_ == 0) return EntryNumber::Whole(0);
  const std::int64_t decimalMagnitude = significantCount_ + exponent_;
  if (decimalMagnitude > 310) throw Failure(kOverflow);
  if (decimalMagnitude < -330) return EntryNumber::Whole(0);

  if (significantCount_ <= 15 && exponent_ <= 0 && exponent_ >= -22) {
    std::int64_t mantissa = 0;
    for (int i = 0; i < significantCount_; ++i) mantissa = mantissa * 10 + (significant_[i] - '0');
    if (exponent_ == 0) return EntryNumber::Whole(negative_ ? -mantissa : mantissa);
    // Exact integer over an exact power of ten: one correctly rounded division.
    static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const double value = static_cast<double>(mantissa) / kPowersOfTen[-exponent_];
    return EntryNumber::Real(negative_ ? -value : value);
  }

  std::string text(significant_, static_cast<std::size_t>(significantCount_));
  // One more nonzero digit stands for all that was dropped: it puts the
  // value on the right side of every decision point.
  if (inexact_) text += '1';
  text += 'e';
  text += std::to_string(exponent_ - (inexact_ ? 1 : 0));
  double value;
  const std::from_chars_result parsed =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (parsed.ec == std::errc::result_out_of_range) {
    if (decimalMagnitude > 0) throw Failure(kOverflow);
    value = 0.0;
  }
  if (std::isinf(value)) throw Failure(kOverflow);
  return EntryNumber::Real(negative_ ? -value : value);
}

void EntryText::Feed(const char* bytes, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    switch (state_) {
      case State::kNotEntry:
        return;
      case State::kSlash:
        state_ = bytes[i++] == '/' ? State::kCapitalR : State::kNotEntry;
        break;
      case State::kCapitalR:
        state_ = bytes[i++] == 'R' ? State::kThirdChar : State::kNotEntry;
        break;
      case State::kThirdChar:
        // Skipped as a character: in a double-byte code page it may take two bytes.
        thirdCharBytesLeft_ = charLength_[static_cast<unsigned char>(bytes[i++])] - 1u;
        state_ = thirdCharBytesLeft_ > 0 ? State::kSkipThirdChar : State::kNumber;
        break;
      case State::kSkipThirdChar:
        ++i;
        if (--thirdCharBytesLeft_ == 0) state_ = State::kNumber;
        break;
      case State::kNumber:
        number_.Feed(bytes + i, size - i);
        return;
    }
  }
}

std::optional<EntryNumber> EntryText::Finish() const {
  switch (state_) {
    case State::kSlash:
    case State::kCapitalR:
    case State::kNotEntry:
      return std::nullopt;
    case State::kThirdChar:
    case State::kSkipThirdChar:
    case State::kNumber:
      // "/R" with no number text fails here too, as an empty number.
      return number_.Finish();
  }
  return std::nullopt;
}

}  // namespace faxjob
