// The number of a record entry, read from its number text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace faxjob {

// The usual number text, up to eight plain digits, is kept as the number
// field it gives. Other whole numbers of up to 15 digits stay integers from
// the text to the report line; the rest go through a double.
struct EntryNumber {
  // The field's digits from the first, then filler up to eight bytes;
  // `fieldSize` (6 to 8) is 0 when the number is in `whole` or `value`.
  char field[8] = {};
  std::uint32_t fieldSize = 0;
  bool isWhole = true;
  std::int64_t whole = 0;
  double value = 0.0;

  static EntryNumber Whole(std::int64_t number) { return {{}, 0, true, number, 0.0}; }
  static EntryNumber Real(double number) { return {{}, 0, false, 0, number}; }
  double AsDouble() const;
};

// The number text of a record entry, parsed as it streams past: an optional
// minus, digits, an optional point and fraction, blanks around it ignored.
// Memory stays the same however long the text is.
class NumberTextParser {
 public:
  void Feed(const char* bytes, std::size_t size);
  /// The number; failure 13 when the text is no number (or empty), 6 when
  /// it lies beyond the range of a double. Values are the nearest double to
  /// the text, whatever its length.
  EntryNumber Finish() const;

 private:
  enum class State { kLeadingBlanks, kSign, kInteger, kFraction, kTrailingBlanks, kInvalid };
  // Enough for the nearest double: no decision point between two doubles
  // has more significant digits than this, so what lies beyond only tells
  // whether the value is above the digits kept.
  static constexpr int kMaxSignificantDigits = 800;

  void Feed(char byte);

  State state_ = State::kLeadingBlanks;
  bool negative_ = false;
  bool sawDigit_ = false;
  // A nonzero digit was dropped beyond the digits kept.
  bool inexact_ = false;
  int significantCount_ = 0;
  // Power of ten to apply to the significant digits.
  std::int64_t exponent_ = 0;
  char significant_[kMaxSignificantDigits];
};

// Decides an item fed in pieces: whether it is a record entry ("/R", any
// one character, then the number text) and, if so, its number.
class EntryText {
 public:
  /// `charLength` gives, for each first byte, how many bytes its character takes in the code page.
  explicit EntryText(const unsigned char* charLength) : charLength_(charLength) {}
  void Feed(const char* bytes, std::size_t size);
  /// Nothing when the item is no entry; its number otherwise, or the failures of
  /// NumberTextParser::Finish.
  std::optional<EntryNumber> Finish() const;

 private:
  enum class State { kSlash, kCapitalR, kThirdChar, kSkipThirdChar, kNumber, kNotEntry };

  const unsigned char* charLength_;
  State state_ = State::kSlash;
  std::size_t thirdCharBytesLeft_ = 0;
  NumberTextParser number_;
};

}  // namespace faxjob
