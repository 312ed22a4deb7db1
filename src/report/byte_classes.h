// Bitmaps of the bytes that shape a result file, one bit a byte, found for a
// whole block in one pass: item separators (comma, CR, LF), double quotes,
// and the item starts that need a look (a slash, a quote or a blank right
// after a separator). Any other item is no record entry and is passed over.
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
  // A slash, quote, space or tab at the first byte or right after a separator.
  BitWord* starts;
};

/// Sets the bits of `classes` for data[0] to data[size - 1]; bit `size` is
/// set in each as an end mark, and higher bits are clear. Reads `data` up to
/// the next multiple of kBitsPerWord bytes past `size`, which must be
/// readable.
void ClassifyBytes(const char* data, std::size_t size, const ByteClasses& classes);

/// The same without vector instructions; ClassifyBytes uses it where the
/// processor has none.
void ClassifyBytesPortable(const char* data, std::size_t size, const ByteClasses& classes);

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
