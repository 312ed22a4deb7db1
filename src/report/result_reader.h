// Reads the fax library's result file item by item, in blocks, keeping only
// as much of each item as its meaning needs: memory stays flat whatever the
// size of the file or of a single item.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/platform.h"

namespace faxjob {

// The number text of a record entry, parsed as it streams past: an optional
// minus, digits, an optional point and fraction, blanks around it ignored.
class NumberTextParser {
 public:
  void Feed(char byte);
  // The value; failure 13 when the text is no number (or empty), 6 when it
  // lies beyond the range of a double.
  double Finish() const;

 private:
  enum class State { kLeadingBlanks, kSign, kInteger, kFraction, kTrailingBlanks, kInvalid };
  static constexpr int kMaxSignificantDigits = 40;

  State state_ = State::kLeadingBlanks;
  bool negative_ = false;
  bool sawDigit_ = false;
  int significantCount_ = 0;
  char significant_[kMaxSignificantDigits];
  // Power of ten to apply to the significant digits.
  std::int64_t exponent_ = 0;
};

class ResultReader {
 public:
  static constexpr std::size_t kDefaultBlockSize = 256 * 1024;

  ResultReader(Platform& platform, InputFile& file, std::size_t blockSize = kDefaultBlockSize);

  // Tested before each item, as the file format requires.
  bool AtEnd() { return Peek() < 0; }

  // Reads the next item, byte by byte. Returns its number when the item is a
  // record entry ("/R", any one character, then the number text), nothing
  // otherwise.
  std::optional<double> ReadItem();

  // Reads items up to the next record entry and returns its number; nothing
  // at the end of the file. The same as ReadItem in a loop, only faster:
  // items that lie whole in the buffer are looked at in one piece.
  std::optional<double> NextEntry();

 private:
  enum class EntryState { kSlash, kCapitalR, kThirdChar, kSkipThirdChar, kNumber, kNotEntry };

  bool Fill();
  int Peek() {
    if (position_ == filled_ && !Fill()) return -1;
    return static_cast<unsigned char>(buffer_[position_]);
  }
  void SkipBlanks();
  void ConsumeLineEndAfterCr();
  void ReadUnquoted();
  void ReadQuoted();
  void FeedEntry(const char* bytes, std::size_t size);
  // The same decision for an item that lies whole in the buffer.
  std::optional<double> EntryNumberOf(const char* begin, const char* end);
  // A fast path for the usual number text: blanks, an optional minus and up to 15 digits.
  static std::optional<double> PlainInteger(const char* begin, const char* end);

  Platform& platform_;
  InputFile& file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t blockSize_;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  bool endOfFile_ = false;

  EntryState entryState_ = EntryState::kSlash;
  std::size_t thirdCharBytesLeft_ = 0;
  NumberTextParser number_;
};

}  // namespace faxjob
