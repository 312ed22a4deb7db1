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
  BitWord lookedAt = 0;  // slashes, quotes and blanks
};

constexpr unsigned char kSeparator = 1;
constexpr unsigned char kQuote = 2;
constexpr unsigned char kLookedAt = 4;

struct ClassTable {
  unsigned char classes[256] = {};
  constexpr ClassTable() {
    for (unsigned char separator : {',', '\r', '\n'}) classes[separator] = kSeparator;
    for (unsigned char start : {'/', ' ', '\t'}) classes[start] = kLookedAt;
    classes[static_cast<unsigned char>('"')] = kQuote | kLookedAt;
  }
};
constexpr ClassTable kClasses;

struct PortableClassifier {
  WordClasses operator()(const char* data) const {
    WordClasses word;
    for (std::size_t i = 0; i < kBitsPerWord; ++i) {
      const unsigned byteClass = kClasses.classes[static_cast<unsigned char>(data[i])];
      word.separators |= static_cast<BitWord>(byteClass & kSeparator) << i;
      word.quotes |= static_cast<BitWord>((byteClass & kQuote) >> 1) << i;
      word.lookedAt |= static_cast<BitWord>((byteClass & kLookedAt) >> 2) << i;
    }
    return word;
  }
};

#if FAXJOB_HAVE_SSE2
// Sixteen bytes a step: one comparison a byte value of interest for all
// sixteen at once, then one bit a byte.
struct Sse2Classifier {
  __m128i commas = _mm_set1_epi8(',');
  __m128i carriageReturns = _mm_set1_epi8('\r');
  __m128i lineFeeds = _mm_set1_epi8('\n');
  __m128i doubleQuotes = _mm_set1_epi8('"');
  __m128i slashes = _mm_set1_epi8('/');
  __m128i spaces = _mm_set1_epi8(' ');
  __m128i tabs = _mm_set1_epi8('\t');

  WordClasses operator()(const char* data) const {
    WordClasses word;
    for (std::size_t offset = 0; offset < kBitsPerWord; offset += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + offset));
      const __m128i quotes = _mm_cmpeq_epi8(bytes, doubleQuotes);
      const __m128i separators = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(bytes, commas), _mm_cmpeq_epi8(bytes, carriageReturns)),
          _mm_cmpeq_epi8(bytes, lineFeeds));
      const __m128i lookedAt =
          _mm_or_si128(_mm_or_si128(quotes, _mm_cmpeq_epi8(bytes, slashes)),
                       _mm_or_si128(_mm_cmpeq_epi8(bytes, spaces), _mm_cmpeq_epi8(bytes, tabs)));
      word.separators |= Bits(separators) << offset;
      word.quotes |= Bits(quotes) << offset;
      word.lookedAt |= Bits(lookedAt) << offset;
    }
    return word;
  }

  static BitWord Bits(__m128i bytes) {
    return static_cast<BitWord>(static_cast<unsigned>(_mm_movemask_epi8(bytes)));
  }
};
#endif

template <typename Classifier>
void Classify(const char* data, std::size_t size, const ByteClasses& classes) {
  const Classifier classify;
  const std::size_t words = BitWordsFor(size);
  BitWord startCarry = 1;  // the first byte starts an item
  for (std::size_t index = 0; index < words; ++index) {
    const WordClasses word = classify(data + index * kBitsPerWord);
    classes.separators[index] = word.separators;
    classes.quotes[index] = word.quotes;
    classes.starts[index] = ((word.separators << 1) | startCarry) & word.lookedAt;
    startCarry = word.separators >> (kBitsPerWord - 1);
  }
  // Bytes past the end are nothing; the end mark is everything.
  const std::size_t last = size / kBitsPerWord;
  const BitWord endMark = BitWord{1} << (size % kBitsPerWord);
  for (BitWord* bits : {classes.separators, classes.quotes, classes.starts}) {
    bits[last] = (bits[last] & (endMark - 1)) | endMark;
  }
}

}  // namespace

void ClassifyBytesPortable(const char* data, std::size_t size, const ByteClasses& classes) {
  Classify<PortableClassifier>(data, size, classes);
}

void ClassifyBytes(const char* data, std::size_t size, const ByteClasses& classes) {
#if FAXJOB_HAVE_SSE2
  Classify<Sse2Classifier>(data, size, classes);
#else
  Classify<PortableClassifier>(data, size, classes);
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
