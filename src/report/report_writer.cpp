#include "report/report_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>

#include "base/failure.h"
#include "report/result_reader.h"

namespace faxjob {

namespace {

// Lines are gathered in a buffer that grows to this size and are then
// written in chunks of about this size.
constexpr std::size_t kBufferSize = 1024 * 1024;
constexpr std::size_t kFirstBufferSize = 4096;
// The longest number field: a minus and the 309 digits of the largest double.
constexpr std::size_t kMaxFieldSize = 320;
// A line's text this short (with its comma and CR LF) is copied in one
// fixed-size move; one up to the narrower size, as the usual text of a sent
// fax is, in a move half as wide.
constexpr std::size_t kShortSuffixSize = 64;
constexpr std::size_t kNarrowSuffixSize = 32;
// Kept free at the end of the buffer for one more line of entry.
constexpr std::size_t kLineRoom = kMaxFieldSize + kShortSuffixSize;

struct DigitPairs {
  char digits[200] = {};
  constexpr DigitPairs() {
    for (int i = 0; i < 100; ++i) {
      digits[2 * i] = static_cast<char>('0' + i / 10);
      digits[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr DigitPairs kDigitPairs;

int DigitCount(std::uint32_t value) {
  int count = 1;
  for (std::uint32_t bound = 10; count < 10 && value >= bound; bound *= 10) ++count;
  return count;
}

// Writes `value` in at least `minDigits` digits, padded with zeros, two
// digits a step and in 32-bit arithmetic.
char* WriteDigits(char* out, std::uint32_t value, int minDigits) {
  const int count = std::max(DigitCount(value), minDigits);
  char* digit = out + count;
  while (value >= 100) {
    digit -= 2;
    std::memcpy(digit, kDigitPairs.digits + 2 * (value % 100), 2);
    value /= 100;
  }
  if (value >= 10) {
    digit -= 2;
    std::memcpy(digit, kDigitPairs.digits + 2 * value, 2);
  } else {
    *--digit = static_cast<char>('0' + value);
  }
  while (digit != out) *--digit = '0';
  return out + count;
}

char* WriteDigits(char* out, std::uint64_t value, int minDigits) {
  if (value <= UINT32_MAX) return WriteDigits(out, static_cast<std::uint32_t>(value), minDigits);
  constexpr std::uint32_t kLowDigits = 1'000'000'000;
  out = WriteDigits(out, value / kLowDigits, minDigits - 9);
  return WriteDigits(out, static_cast<std::uint32_t>(value % kLowDigits), 9);
}

char* WriteField(char* out, bool negative, std::uint64_t magnitude) {
  if (negative) *out++ = '-';
  return WriteDigits(out, magnitude, negative ? 5 : 6);
}

char* WriteField(char* out, double value) {
  const double rounded = std::round(value);
  const bool negative = rounded < 0;
  const double magnitude = std::fabs(rounded);
  if (magnitude < 1e18) return WriteField(out, negative, static_cast<std::uint64_t>(magnitude));
  if (negative) *out++ = '-';
  return std::to_chars(out, out + kMaxFieldSize - 1, magnitude, std::chars_format::fixed, 0).ptr;
}

// Writes eight bytes, of which the field's are kept.
char* WriteField(char* out, const EntryNumber& number) {
  if (number.fieldSize != 0) {
    std::memcpy(out, number.field, sizeof number.field);
    return out + number.fieldSize;
  }
  if (!number.isWhole) return WriteField(out, number.value);
  if (number.whole >= 0 && number.whole < 1'000'000) {
    // The usual field: six digits, in three independent pairs.
    const auto value = static_cast<std::uint32_t>(number.whole);
    const std::uint32_t lowFour = value % 10000;
    std::memcpy(out, kDigitPairs.digits + 2 * (value / 10000), 2);
    std::memcpy(out + 2, kDigitPairs.digits + 2 * (lowFour / 100), 2);
    std::memcpy(out + 4, kDigitPairs.digits + 2 * (lowFour % 100), 2);
    return out + 6;
  }
  const bool negative = number.whole < 0;
  const auto magnitude = static_cast<std::uint64_t>(number.whole);
  return WriteField(out, negative, negative ? 0 - magnitude : magnitude);
}

// Sixteen bytes as one value, which the compiler keeps in a vector register
// where the processor has one.
using Chunk = char __attribute__((vector_size(16)));
constexpr std::size_t kChunkSize = sizeof(Chunk);

// Writes a line for each of `numbers` from `out`: its field, then the text in
// kWidth bytes, of which `suffixSize` are kept. Room for each line of entry
// must be there. The text stays in registers from line to line, and only a
// field that needs a call, which may change them, breaks the run: under an
// emulator a sixteen-byte load from memory costs as much as several other
// instructions.
template <std::size_t kWidth>
char* WriteShortLines(char* out, std::span<const EntryNumber> numbers, const char* paddedSuffix,
                      std::size_t suffixSize) {
  Chunk text[kWidth / kChunkSize];
  for (std::size_t i = 0; i < kWidth / kChunkSize; ++i) {
    std::memcpy(&text[i], paddedSuffix + i * kChunkSize, kChunkSize);
  }
  const auto putText = [&] {
    for (std::size_t i = 0; i < kWidth / kChunkSize; ++i) {
      std::memcpy(out + i * kChunkSize, &text[i], kChunkSize);
    }
    out += suffixSize;
  };
  const EntryNumber* number = numbers.data();
  const EntryNumber* const end = number + numbers.size();
  while (number != end) {
    for (; number != end && number->fieldSize != 0; ++number) {
      std::memcpy(out, number->field, sizeof number->field);
      out += number->fieldSize;
      putText();
    }
    if (number == end) break;
    out = WriteField(out, *number++);
    putText();
  }
  return out;
}

}  // namespace

void AppendNumberField(std::string& out, double value) {
  char field[kMaxFieldSize];
  out.append(field, WriteField(field, value));
}

void AppendNumberField(std::string& out, const EntryNumber& number) {
  char field[kMaxFieldSize];
  out.append(field, WriteField(field, number));
}

std::string ReportLine(double number, std::string_view narrowText) {
  std::string line;
  AppendNumberField(line, number);
  return line.append(",").append(narrowText).append("\r\n");
}

ReportWriter::ReportWriter(std::unique_ptr<OutputFile> file) : file_(std::move(file)) {}

void ReportWriter::MakeRoom() {
  if (capacity_ == kBufferSize) {
    Flush();
    return;
  }
  // Grown step by step, so a short report never takes the whole buffer.
  const std::size_t capacity = capacity_ == 0 ? kFirstBufferSize : 4 * capacity_;
  std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(capacity);
  if (used_ > 0) std::memcpy(buffer.get(), buffer_.get(), used_);
  buffer_ = std::move(buffer);
  capacity_ = capacity;
}

void ReportWriter::WriteLine(double number, std::string_view narrowText) {
  if (broken_) throw Failure(kDeviceIoError);
  const std::string line = ReportLine(number, narrowText);
  Append(line.data(), line.size());
}

void ReportWriter::WriteLines(ResultReader& entries, std::string_view narrowText) {
  if (broken_) throw Failure(kDeviceIoError);
  std::string suffix;
  suffix.reserve(narrowText.size() + 3);
  suffix.append(",").append(narrowText).append("\r\n");
  char paddedSuffix[kShortSuffixSize] = {};
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): moved in fixed blocks, never a C string.
  std::memcpy(paddedSuffix, suffix.data(), std::min(suffix.size(), kShortSuffixSize));
  for (std::span<const EntryNumber> numbers = entries.NextEntries(); !numbers.empty();
       numbers = entries.NextEntries()) {
    if (suffix.size() > kShortSuffixSize) {
      for (const EntryNumber& number : numbers) {
        if (used_ + kLineRoom > capacity_) MakeRoom();
        used_ = static_cast<std::size_t>(WriteField(buffer_.get() + used_, number) - buffer_.get());
        Append(suffix.data(), suffix.size());
      }
      continue;
    }
    // The usual short text: lines go straight into the buffer, through
    // locals that the stores cannot alias.
    for (std::size_t next = 0; next < numbers.size();) {
      if (used_ + kLineRoom > capacity_) MakeRoom();
      char* out = buffer_.get() + used_;
      const std::size_t room = (capacity_ - used_) / kLineRoom;
      const std::span<const EntryNumber> lines =
          numbers.subspan(next, std::min(numbers.size() - next, room));
      out = suffix.size() <= kNarrowSuffixSize
                ? WriteShortLines<kNarrowSuffixSize>(out, lines, paddedSuffix, suffix.size())
                : WriteShortLines<kShortSuffixSize>(out, lines, paddedSuffix, suffix.size());
      next += lines.size();
      used_ = static_cast<std::size_t>(out - buffer_.get());
    }
  }
}

void ReportWriter::Append(const char* bytes, std::size_t size) {
  while (size > 0) {
    if (used_ == capacity_) MakeRoom();
    const std::size_t count = std::min(size, capacity_ - used_);
    std::memcpy(buffer_.get() + used_, bytes, count);
    used_ += count;
    bytes += count;
    size -= count;
  }
}

void ReportWriter::Flush() {
  if (used_ == 0) return;
  broken_ = true;
  file_->Write(buffer_.get(), used_);
  broken_ = false;
  used_ = 0;
}

void ReportWriter::Close() {
  Flush();
  broken_ = true;  // a failed close leaves the file's content in doubt
  file_->Keep();
  file_->Close();
  broken_ = false;
}

}  // namespace faxjob
