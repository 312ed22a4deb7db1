#include "report/byte_classes.h"

#include <initializer_list>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define FAXJOB_HAVE_SSE2 1
#else
#define FAXJOB_HAVE_SSE2 0
#endif

namespace faxjob {

namespace {

struct WordClasses {
  BitWord separators = 0;
  BitWord quotes = 0;
  // Unmasked: slashes, blanks and quotes. Masked: every byte up to the slash
  // in code order but separators and quotes (slashes and blanks among them,
  // and a few others that seldom begin an item), and quotes followed by a
  // slash.
  BitWord lookedAt = 0;
};

constexpr unsigned char kSeparator = 1;
constexpr unsigned char kQuote = 2;
constexpr unsigned char kSlashOrBlank = 4;

struct ClassTable {
  unsigned char classes[256] = {};
  constexpr ClassTable() {
    for (unsigned char separator : {',', '\r', '\n'}) classes[separator] = kSeparator;
    for (unsigned char start : {'/', ' ', '\t'}) classes[start] = kSlashOrBlank;
    classes[static_cast<unsigned char>('"')] = kQuote;
  }
};
constexpr ClassTable kClasses;

struct PortableClassifier {
  template <bool kMasked>
  WordClasses Classify(const char* data) const {
    WordClasses word;
    for (std::size_t i = 0; i < kBitsPerWord; ++i) {
      const unsigned byteClass = kClasses.classes[static_cast<unsigned char>(data[i])];
      const bool quote = (byteClass & kQuote) != 0;
      const bool lookedAt =
          kMasked ? (quote ? data[i + 1] == '/'
                           : static_cast<unsigned char>(data[i]) <= '/' && byteClass != kSeparator)
                  : (byteClass & (kSlashOrBlank | kQuote)) != 0;
      word.separators |= static_cast<BitWord>(byteClass & kSeparator) << i;
      word.quotes |= static_cast<BitWord>(quote) << i;
      word.lookedAt |= static_cast<BitWord>(lookedAt) << i;
    }
    return word;
  }
};

#if FAXJOB_HAVE_SSE2
// Sixteen bytes a step: one comparison a byte value of interest for all
// sixteen at once, then one bit a byte. Each sixteen bytes are loaded once,
// and what follows a quote is read from the bits: under an emulator a
// sixteen-byte load costs as much as several other instructions, and with few
// vector registers every extra value is one more load from the stack.
struct Sse2Classifier {
  __m128i commas = _mm_set1_epi8(',');
  __m128i carriageReturns = _mm_set1_epi8('\r');
  __m128i lineFeeds = _mm_set1_epi8('\n');
  __m128i doubleQuotes = _mm_set1_epi8('"');
  __m128i slashes = _mm_set1_epi8('/');
  __m128i spaces = _mm_set1_epi8(' ');
  __m128i tabs = _mm_set1_epi8('\t');

  template <bool kMasked>
  WordClasses Classify(const char* data) const {
    WordClasses word;
    BitWord upToSlash = 0;
    BitWord slashBits = 0;
    for (std::size_t offset = 0; offset < kBitsPerWord; offset += 16) {
      const __m128i bytes = Load(data + offset);
      const __m128i quotes = _mm_cmpeq_epi8(bytes, doubleQuotes);
      const __m128i separators = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(bytes, commas), _mm_cmpeq_epi8(bytes, carriageReturns)),
          _mm_cmpeq_epi8(bytes, lineFeeds));
      const __m128i slashesHere = _mm_cmpeq_epi8(bytes, slashes);
      word.separators |= Bits(separators) << offset;
      word.quotes |= Bits(quotes) << offset;
      if constexpr (kMasked) {
        upToSlash |= Bits(_mm_cmpeq_epi8(_mm_min_epu8(bytes, slashes), bytes)) << offset;
        slashBits |= Bits(slashesHere) << offset;
      } else {
        word.lookedAt |= Bits(_mm_or_si128(_mm_or_si128(quotes, slashesHere),
                                           _mm_or_si128(_mm_cmpeq_epi8(bytes, spaces),
                                                        _mm_cmpeq_epi8(bytes, tabs))))
                         << offset;
      }
    }
    if constexpr (kMasked) {
      // Followed by a slash: the next word's first byte counts for the last.
      const BitWord followedBySlash =
          (slashBits >> 1) |
          (static_cast<BitWord>(data[kBitsPerWord] == '/') << (kBitsPerWord - 1));
      word.lookedAt = upToSlash & ~word.separators & ~(word.quotes & ~followedBySlash);
    }
    return word;
  }

  static __m128i Load(const char* data) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
  }
  static BitWord Bits(__m128i bytes) {
    return static_cast<BitWord>(static_cast<unsigned>(_mm_movemask_epi8(bytes)));
  }
};
#endif

// Clears the bits past `size` and sets the end mark.
void MarkEnd(std::size_t size, const ByteClasses& classes) {
  const std::size_t last = size / kBitsPerWord;
  const BitWord endMark = BitWord{1} << (size % kBitsPerWord);
  for (BitWord* bits : {classes.separators, classes.quotes, classes.starts}) {
    bits[last] = (bits[last] & (endMark - 1)) | endMark;
  }
}

// Every item start whose first byte needs a look.
template <typename Classifier>
void ClassifyEveryStart(const char* data, std::size_t size, const ByteClasses& classes) {
  const Classifier classifier;
  const std::size_t words = BitWordsFor(size);
  BitWord startCarry = 1;  // the first byte starts an item
  for (std::size_t index = 0; index < words; ++index) {
    const WordClasses word = classifier.template Classify<false>(data + index * kBitsPerWord);
    classes.separators[index] = word.separators;
    classes.quotes[index] = word.quotes;
    classes.starts[index] = ((word.separators << 1) | startCarry) & word.lookedAt;
    startCarry = word.separators >> (kBitsPerWord - 1);
  }
  MarkEnd(size, classes);
}

// Bit i set where an odd number of bits 0 to i are set.
BitWord RunningParity(BitWord bits) {
  bits ^= bits << 1;
  bits ^= bits << 2;
  bits ^= bits << 4;
  bits ^= bits << 8;
  bits ^= bits << 16;
  if constexpr (kBitsPerWord == 64) bits ^= bits << (kBitsPerWord / 2);
  return bits;
}

// The quoted regions masked, counting quotes from data[0]; false when a
// quote that opens a region by count does not begin an item.
template <typename Classifier>
bool ClassifyMasked(const char* data, std::size_t size, const ByteClasses& classes) {
  const Classifier classifier;
  const std::size_t words = BitWordsFor(size);
  const std::size_t last = size / kBitsPerWord;
  const BitWord beforeEnd = (BitWord{1} << (size % kBitsPerWord)) - 1;
  BitWord startCarry = 1;
  BitWord insideCarry = 0;  // all ones while a quoted region goes on
  BitWord misplaced = 0;
  for (std::size_t index = 0; index < words; ++index) {
    WordClasses word = classifier.template Classify<true>(data + index * kBitsPerWord);
    if (index == last) {
      word.separators &= beforeEnd;
      word.quotes &= beforeEnd;
      word.lookedAt &= beforeEnd;
    }
    const BitWord itemStarts = (word.separators << 1) | startCarry;
    startCarry = word.separators >> (kBitsPerWord - 1);
    // Set from an opening quote up to its closing one, which is clear.
    BitWord inside = insideCarry;
    if (word.quotes != 0) {
      inside ^= RunningParity(word.quotes);
      misplaced |= word.quotes & inside & ~itemStarts;
      insideCarry = BitWord{0} - (inside >> (kBitsPerWord - 1));
    }
    classes.separators[index] = word.separators & ~inside;
    classes.quotes[index] = word.quotes;
    // Quotes that open a region, other bytes outside one.
    classes.starts[index] = itemStarts & word.lookedAt & ~(inside ^ word.quotes);
  }
  MarkEnd(size, classes);
  return misplaced == 0;
}

template <typename Classifier>
void Classify(const char* data, std::size_t size, const ByteClasses& classes, bool atItemStart) {
  if (atItemStart && ClassifyMasked<Classifier>(data, size, classes)) return;
  ClassifyEveryStart<Classifier>(data, size, classes);
}

}  // namespace

void ClassifyBytesPortable(const char* data, std::size_t size, const ByteClasses& classes,
                           bool atItemStart) {
  Classify<PortableClassifier>(data, size, classes, atItemStart);
}

void ClassifyBytes(const char* data, std::size_t size, const ByteClasses& classes,
                   bool atItemStart) {
#if FAXJOB_HAVE_SSE2
  Classify<Sse2Classifier>(data, size, classes, atItemStart);
#else
  Classify<PortableClassifier>(data, size, classes, atItemStart);
#endif
}

std::size_t AfterLastSetBit(const BitWord* words, std::size_t from, std::size_t to) {
  std::size_t index = to / kBitsPerWord;
  BitWord word = words[index] & ((BitWord{1} << (to % kBitsPerWord)) - 1);
  while (word == 0 && index > from / kBitsPerWord) word = words[--index];
  if (word == 0) return from;
  const std::size_t after =
      index * kBitsPerWord + kBitsPerWord - static_cast<std::size_t>(std::countl_zero(word));
  return after > from ? after : from;
}

}  // namespace faxjob
