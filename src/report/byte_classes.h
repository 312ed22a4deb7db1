// Bitmaps of the bytes that shape a result file, one bit a byte, found for a
// whole block in one pass: item separators (comma, CR, LF), double quotes,
// and the item starts that need a look. Any other item is no record entry
// and is passed over.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace faxjob {

// A machine word of bits: 32 bytes a word on a 32-bit processor, 64 on a
// 64-bit one, so the scan never needs wider arithmetic than the machine has.
using BitWord = std::uintptr_t;
inline constexpr std::size_t kBitsPerWord = sizeof(BitWord) * 8;

// Words needed for `size` bytes and the end mark after them.
constexpr std::size_t BitWordsFor(std::size_t size) { return size / kBitsPerWord + 1; }

struct ByteClasses {
  BitWord* separators;
  BitWord* quotes;
  BitWord* starts;
};

// Bytes past the last whole word that the classification reads.
inline constexpr std::size_t kClassifyLookAhead = 1;

/// Sets the bits of `classes` for data[0] to data[size - 1]; bit `size` is
/// set in each as an end mark, and higher bits are clear. Reads `data` up to
/// the next multiple of kBitsPerWord bytes past `size`, and
/// kClassifyLookAhead bytes more, which must be readable.
///
/// When data[0] begins an item outside quotes (`atItemStart`), the quoted
/// items are found in bulk: `separators` holds only those outside quotes,
/// and `starts` the item starts that may be record entries: a slash, a blank
/// (an item that begins later), an opening quote followed by a slash, and the
/// few other bytes up to the slash in code order that seldom begin an item
/// (neither digits nor letters are among them).
/// That holds when every quote that opens a quoted region by count lies
/// right after a separator: a quote inside an unquoted item or after a
/// closing quote is an ordinary character and breaks the count. Where one
/// does, or when data[0] is inside an item, `separators` holds them all and
/// `starts` every slash, quote or blank at the first byte or right after a
/// separator; the caller's walk from item to item sorts them out.
void ClassifyBytes(const char* data, std::size_t size, const ByteClasses& classes,
                   bool atItemStart);

/// The same without vector instructions; ClassifyBytes uses it where the
/// processor has none.
void ClassifyBytesPortable(const char* data, std::size_t size, const ByteClasses& classes,
                           bool atItemStart);

/// The position of the first set bit at or after `from`. An end mark at or
/// after `from` must exist.
inline std::size_t NextSetBit(const BitWord* words, std::size_t from) {
  std::size_t index = from / kBitsPerWord;
  BitWord word = words[index] & (~BitWord{0} << (from % kBitsPerWord));
  while (word == 0) word = words[++index];
  return index * kBitsPerWord + static_cast<std::size_t>(std::countr_zero(word));
}

/// The position after the last set bit in [from, to), or `from` when none
/// is set there.
std::size_t AfterLastSetBit(const BitWord* words, std::size_t from, std::size_t to);

}  // namespace faxjob
