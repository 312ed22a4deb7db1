#include "report/result_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace faxjob {

namespace {

bool IsBlank(char byte) { return byte == ' ' || byte == '\t'; }
bool IsDigit(char byte) { return static_cast<unsigned char>(byte - '0') < 10; }

// The usual number text is up to eight digits and nothing else. Its number
// field is the text itself, padded with zeros to six digits, with leading
// zeros beyond those dropped: the text is read as two 32-bit words, four
// characters each, and checked and padded in them, without a branch on the
// digits.
constexpr std::size_t kNumberWordsSize = 8;

std::uint32_t Word32(const char* bytes) {
  std::uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// Sets the field of `number` when the text from `begin` to `end` is one to
// eight digits. `end` must have eight readable bytes before it.
bool ReadShortField(const char* begin, const char* end, EntryNumber& number) {
  const std::ptrdiff_t length = end - begin;
  if (length < 1 || length > static_cast<std::ptrdiff_t>(kNumberWordsSize)) return false;
  // The bytes before the text, in the low bytes of the words (the first
  // character is the lowest byte), taken as '0'.
  static constexpr std::uint32_t kHighBefore[] = {
      0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0x00FFFFFFu, 0x0000FFFFu, 0xFFu, 0};
  static constexpr std::uint32_t kLowBefore[] = {0, 0x00FFFFFFu, 0x0000FFFFu, 0xFFu, 0, 0, 0, 0, 0};
  const auto index = static_cast<std::size_t>(length);
  const std::uint32_t high =
      (Word32(end - 8) & ~kHighBefore[index]) | (0x30303030u & kHighBefore[index]);
  const std::uint32_t low =
      (Word32(end - 4) & ~kLowBefore[index]) | (0x30303030u & kLowBefore[index]);
  // '0'..'9' to 0..9, every other byte above 9.
  const std::uint32_t highDigits = high ^ 0x30303030u;
  const std::uint32_t lowDigits = low ^ 0x30303030u;
  if ((((highDigits | lowDigits) | ((highDigits + 0x06060606u) | (lowDigits + 0x06060606u))) &
       0xF0F0F0F0u) != 0) {
    return false;
  }
  // Eight digits, of which the field keeps the last six and any nonzero ones before.
  const std::uint64_t digits = (std::uint64_t{low} << 32) | high;
  std::uint64_t field = digits >> 16;
  number.fieldSize = 6;
  if (length > 6) {
    const std::uint32_t dropped = static_cast<std::uint32_t>((highDigits & 0xFFu) == 0) +
                                  static_cast<std::uint32_t>((highDigits & 0xFFFFu) == 0);
    field = digits >> (8 * dropped);
    number.fieldSize = 8 - dropped;
  }
  std::memcpy(number.field, &field, sizeof number.field);
  return true;
}

// Other number texts that stay whole numbers: blanks around, an optional
// minus and up to 15 digits; nothing for anything else.
std::optional<EntryNumber> PlainWholeNumber(const char* begin, const char* end) {
  while (begin != end && IsBlank(*begin)) ++begin;
  while (begin != end && IsBlank(end[-1])) --end;
  const bool negative = begin != end && *begin == '-';
  if (negative) ++begin;
  if (begin == end || end - begin > 15) return std::nullopt;
  std::uint64_t value = 0;
  for (; begin != end; ++begin) {
    if (!IsDigit(*begin)) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(*begin - '0');
  }
  const auto whole = static_cast<std::int64_t>(value);
  return EntryNumber::Whole(negative ? -whole : whole);
}

}  // namespace

ResultReader::ResultReader(Text& codePage, InputFile& file, std::size_t blockSize)
    : file_(file),
      blockSize_(std::max<std::size_t>(blockSize, 1)),
      carryOver_(std::min(blockSize_, kMaxCarryOver)) {
  for (unsigned byte = 0; byte < 256; ++byte) {
    charLength_[byte] = static_cast<unsigned char>(std::clamp<std::size_t>(
        codePage.NarrowCharLength(static_cast<unsigned char>(byte)), 1, 255));
  }
  // Room for a carried item, a block, its end mark and the whole word the
  // classifier reads past it.
  const std::size_t capacity = carryOver_ + blockSize_ + kBitsPerWord + kClassifyLookAhead;
  storage_ = std::make_unique_for_overwrite<char[]>(kNumberWordsSize + capacity);
  std::memset(storage_.get(), 0, kNumberWordsSize);
  data_ = storage_.get() + kNumberWordsSize;
  separators_ = std::make_unique_for_overwrite<BitWord[]>(BitWordsFor(capacity));
  quotes_ = std::make_unique_for_overwrite<BitWord[]>(BitWordsFor(capacity));
  starts_ = std::make_unique_for_overwrite<BitWord[]>(BitWordsFor(capacity));
}

std::span<const EntryNumber> ResultReader::NextEntries() {
  // The failure met while reading ahead, raised again at the batch it belongs to.
  // NOLINTNEXTLINE(cert-err09-cpp,cert-err60-cpp,cert-err61-cpp,misc-throw-by-value-catch-by-reference)
  if (pendingFailure_) throw *pendingFailure_;
  batchCount_ = 0;
  try {
    for (;;) {
      TakeItems();
      if (batchCount_ == kBatchSize || endOfFile_) break;
      if (filled_ - position_ > carryOver_) {
        if (const std::optional<EntryNumber> number = StreamItem(position_)) {
          batch_[batchCount_++] = *number;
        }
      } else {
        Refill(position_, true);
      }
    }
  } catch (const Failure& failure) {
    if (batchCount_ == 0) throw;
    pendingFailure_ = failure;
  }
  return {batch_, batchCount_};
}

bool ResultReader::Refill(std::size_t keepFrom, bool atItemStart) {
  char* const data = data_;
  const std::size_t kept = filled_ - keepFrom;
  std::memmove(data, data + keepFrom, kept);
  const std::size_t got = file_.Read(data + kept, blockSize_);
  endOfFile_ = got == 0;
  filled_ = kept + got;
  position_ = 0;
  // The end mark stops the blank skipping; the rest of the word is read by
  // the classifier and dropped.
  data[filled_] = '\n';
  std::memset(data + filled_ + 1, 0, kBitsPerWord - 1 + kClassifyLookAhead);
  ClassifyBytes(data, filled_, {separators_.get(), quotes_.get(), starts_.get()}, atItemStart);
  return !endOfFile_;
}

inline void ResultReader::ReadNumber(const char* entry, const char* entryEnd,
                                     EntryNumber& number) const {
  const char* numberText = entry + 2;
  if (numberText != entryEnd) {
    numberText += std::min<std::ptrdiff_t>(charLength_[static_cast<unsigned char>(*numberText)],
                                           entryEnd - numberText);
  }
  if (!ReadShortField(numberText, entryEnd, number)) {
    number = OtherNumberOf(entry, numberText, entryEnd);
  }
}

void ResultReader::TakeItems() {
  // Kept in locals: stores into the batch could otherwise alias the members.
  const char* const data = data_;
  const BitWord* const separators = separators_.get();
  const BitWord* const quotes = quotes_.get();
  const BitWord* const starts = starts_.get();
  const std::size_t filled = filled_;
  const bool endOfFile = endOfFile_;
  std::size_t count = batchCount_;
  std::size_t position = position_;
  while (position < filled && count < kBatchSize) {
    // Items in between start with neither a slash, a quote nor a blank:
    // they are no entries, and end at the first separator.
    std::size_t start = NextSetBit(starts, position);
    if (data[start] == '/') {
      // The usual case: an unquoted item, up to the next separator.
      const std::size_t itemEnd = NextSetBit(separators, start);
      if (itemEnd == filled && !endOfFile) {
        position = start;
        break;
      }
      if (data[start + 1] == 'R') {
        batchCount_ = count;  // the entries so far, should this number fail
        ReadNumber(data + start, data + itemEnd, batch_[count++]);
      }
      position = itemEnd + 1;
      continue;
    }
    if (start == filled) {
      position = AfterLastSetBit(separators, position, filled);
      if (endOfFile) {
        // The last item, passed over, may be a quoted one never closed.
        if (data[position] == '"' && NextSetBit(quotes, position + 1) == filled) {
          throw Failure(kInputPastEndOfFile);
        }
        position = filled;
      }
      break;
    }
    while (IsBlank(data[start])) ++start;
    // Blanks up to the end: the next block goes on skipping them; at the
    // end of the file they are an empty item.
    position = start;
    if (start == filled) break;

    const char* content = data + start;
    std::size_t contentEnd;
    std::size_t itemEnd;
    if (*content == '"') {
      ++content;
      contentEnd = NextSetBit(quotes, start + 1);
      if (contentEnd == filled) {
        // A quote never closed means the file was cut short.
        if (endOfFile) throw Failure(kInputPastEndOfFile);
        break;
      }
      // Anything between the closing quote and the separator is dropped with it.
      itemEnd = NextSetBit(separators, contentEnd + 1);
    } else {
      // A line end here is an empty item; CR LF gives two, which is the same.
      itemEnd = contentEnd = NextSetBit(separators, start);
    }
    if (itemEnd == filled && !endOfFile) break;
    // Neither byte can be the item's end, and the end mark stops at the last.
    if (content[0] == '/' && content[1] == 'R') {
      batchCount_ = count;  // the entries so far, should this number fail
      ReadNumber(content, data + contentEnd, batch_[count++]);
    }
    position = itemEnd + 1;
  }
  batchCount_ = count;
  position_ = std::min(position, filled);
}

EntryNumber ResultReader::OtherNumberOf(const char* entry, const char* numberText,
                                        const char* entryEnd) const {
  if (const std::optional<EntryNumber> whole = PlainWholeNumber(numberText, entryEnd)) {
    return *whole;
  }
  EntryText text(charLength_);
  text.Feed(entry, static_cast<std::size_t>(entryEnd - entry));
  return *text.Finish();  // an entry, so a number or a failure
}

std::optional<EntryNumber> ResultReader::StreamItem(std::size_t itemStart) {
  enum class Part { kQuoted, kAfterQuote, kUnquoted };
  EntryText entry(charLength_);
  Part part = data_[itemStart] == '"' ? Part::kQuoted : Part::kUnquoted;
  std::size_t position = itemStart + (part == Part::kQuoted ? 1 : 0);
  for (;;) {
    const std::size_t stop =
        NextSetBit(part == Part::kQuoted ? quotes_.get() : separators_.get(), position);
    if (part != Part::kAfterQuote) entry.Feed(data_ + position, stop - position);
    if (stop < filled_) {
      position = stop + 1;
      if (part != Part::kQuoted) break;
      part = Part::kAfterQuote;
      continue;
    }
    if (!Refill(filled_, false)) {
      if (part == Part::kQuoted) throw Failure(kInputPastEndOfFile);
      return entry.Finish();
    }
    position = 0;
  }
  position_ = position;
  return entry.Finish();
}

}  // namespace faxjob
