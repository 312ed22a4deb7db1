#include "report/result_reader.h"

#include <gtest/gtest.h>

#include <random>

#include "fake_platform.h"
#include "report/byte_classes.h"

namespace faxjob {
namespace {

using testing::FakeNarrow;
using testing::FakePlatform;

// Reads `content` in blocks of `blockSize` bytes and returns the numbers of
// its record entries; reading it in one block must give the same.
std::vector<double> EntriesOf(const std::string& content, std::size_t blockSize = 3) {
  FakePlatform platform;
  platform.world.readChunk = SIZE_MAX;
  platform.world.AddFile(u"R", content);
  auto read = [&](std::size_t size) {
    auto file = platform.files.OpenForReading(u"R");
    ResultReader reader(platform.text, *file, size);
    std::vector<double> numbers;
    for (auto batch = reader.NextEntries(); !batch.empty(); batch = reader.NextEntries()) {
      for (const EntryNumber& number : batch) numbers.push_back(number.AsDouble());
    }
    return numbers;
  };
  std::vector<double> numbers = read(blockSize);
  EXPECT_EQ(read(ResultReader::kDefaultBlockSize), numbers);
  return numbers;
}

using Numbers = std::vector<double>;

TEST(ResultReader, SplitsItemsAtCommasAndEveryKindOfLineEnd) {
  for (std::size_t chunk : {1, 2, 3, 4, 5, 6, 7, 4096}) {
    EXPECT_EQ(EntriesOf("/R 1\r\n/R 2\r\n", chunk), (Numbers{1, 2})) << chunk;
    EXPECT_EQ(EntriesOf("/R 1\r/R 2\n/R 3", chunk), (Numbers{1, 2, 3})) << chunk;
    EXPECT_EQ(EntriesOf("/R 1,OK,/R 2\r\n\r\n\n\r/R 3\r\n", chunk), (Numbers{1, 2, 3})) << chunk;
    EXPECT_EQ(EntriesOf("  /R 4 ,  /R 5", chunk), (Numbers{4, 5})) << chunk;
  }
}

TEST(ResultReader, RecognisesRecordEntriesExactly) {
  EXPECT_EQ(EntriesOf("/R 7\r\n/R:0012\r\n/R 1234567\r\n/R -5\r\n/R-5\r\n"),
            (Numbers{7, 12, 1234567, -5, 5}));
  EXPECT_EQ(EntriesOf("/r 7\r\nX/R 7\r\n R 7\r\n/ R 7\r\n//R 7\r\n"), Numbers{});
  // The third character is skipped as a character: here a two-byte kanji.
  EXPECT_EQ(EntriesOf("/R" + FakeNarrow(u"漢") + "5\r\n", 1), (Numbers{5}));
  EXPECT_EQ(EntriesOf("/R" + FakeNarrow(u"ｱ") + "5\r\n", 1), (Numbers{5}));
}

TEST(ResultReader, ReadsQuotedItemsWithoutTheirQuotes) {
  EXPECT_EQ(EntriesOf("\"/R 1\",\"/R 2\"\r\n\"/R 3\"\r\n\"/R 4\""), (Numbers{1, 2, 3, 4}));
  EXPECT_EQ(EntriesOf("\"a,b\",/R 5\r\n\"x\r\ny\",/R 6\r\n"), (Numbers{5, 6}));
  // Characters after the closing quote go with the separator.
  EXPECT_EQ(EntriesOf("\"/R 8\"junk,/R 9\r\n"), (Numbers{8, 9}));
  EXPECT_EQ(EntriesOf("a\"b,/R 3\r\n"), (Numbers{3})) << "a quote inside an item is ordinary";
  // Quotes that are ordinary characters put the count of quotes out of step.
  for (std::size_t chunk : {3, 4096}) {
    EXPECT_EQ(EntriesOf("a\"b,/R 5,\"c,/R 6\"\r\n", chunk), (Numbers{5})) << chunk;
    EXPECT_EQ(EntriesOf("/R 1, \"x,/R 2\",/R 3\r\n", chunk), (Numbers{1, 3})) << chunk;
    EXPECT_EQ(EntriesOf("\"x\"\"y,/R 2,z\",/R 3\r\n", chunk), (Numbers{2, 3})) << chunk;
  }
  // A quoted item read piece by piece: the blocks after its first begin inside it.
  EXPECT_EQ(EntriesOf("\"" + std::string(5000, 'x') + ",\",/R 4,\"/R 7\"\r\n", 1000),
            (Numbers{4, 7}));
}

TEST(ResultReader, TakesBlanksAloneAfterTheLastItemAsAnEmptyItem) {
  EXPECT_EQ(EntriesOf("/R 1\r\n   "), (Numbers{1}));
  EXPECT_EQ(EntriesOf("/R 1,  \t "), (Numbers{1}));
  EXPECT_EQ(EntriesOf(""), Numbers{});
  EXPECT_EQ(EntriesOf("\r\n"), Numbers{});
}

TEST(ResultReader, FailsOnAQuoteNeverClosedAndOnAnEntryWithoutNumber) {
  auto failureOf = [](const std::string& content) {
    try {
      EntriesOf(content);
    } catch (const Failure& failure) {
      return failure.code();
    }
    return 0;
  };
  EXPECT_EQ(failureOf("/R 1\r\n\"/R 2"), kInputPastEndOfFile);
  EXPECT_EQ(failureOf("/R 1,\"x\r\n/R 2\r\n"), kInputPastEndOfFile);
  EXPECT_EQ(failureOf("/R\r\n"), kTypeMismatch);
  EXPECT_EQ(failureOf("/R 1\r\n/R x\r\n"), kTypeMismatch);
  EXPECT_EQ(failureOf("/R\x88"), kTypeMismatch) << "item ends inside the skipped character";
}

TEST(ResultReader, StreamsHugeItems) {
  std::string huge =
      "/R 5" + std::string(3'000'000, ' ') + "\r\nfiller" + std::string(3'000'000, 'x') + ",/R 6";
  EXPECT_EQ(EntriesOf(huge, 1 << 20), (Numbers{5, 6}));
}

TEST(ByteClasses, MarkSeparatorsQuotesAndItemStartsOnEveryPath) {
  std::mt19937 random(7);
  auto isSeparator = [](char byte) { return byte == ',' || byte == '\r' || byte == '\n'; };
  auto isBlank = [](char byte) { return byte == ' ' || byte == '\t'; };
  // Quotes often, now and then or never, among other bytes up to the slash.
  for (const std::string alphabet : {",\r\n\" \ta/R", ",,\n\na/Rx/Ry/R\"", "\n,a-0/"}) {
    std::string bytes(600, ' ');
    for (char& byte : bytes) byte = alphabet[random() % alphabet.size()];
    for (auto classify : {&ClassifyBytes, &ClassifyBytesPortable}) {
      for (std::size_t offset = 0; offset < 16; ++offset) {
        for (std::size_t size = 0; size < 300; size += 1 + size / 16) {
          for (const bool atItemStart : {false, true}) {
            const char* data = bytes.data() + offset;
            // The quoted regions by count, and whether they can be masked.
            std::vector<bool> inside(size + 1), open(size + 1);
            bool masked = atItemStart;
            for (std::size_t i = 0, quotes = 0; i < size; ++i) {
              quotes += data[i] == '"';
              inside[i] = quotes % 2 == 1;
              open[i] = data[i] == '"' && inside[i];
              if (open[i] && i > 0 && !isSeparator(data[i - 1])) masked = false;
            }
            const std::size_t words = BitWordsFor(size);
            std::vector<BitWord> separators(words), quotes(words), starts(words);
            classify(data, size, {separators.data(), quotes.data(), starts.data()}, atItemStart);
            auto bit = [](const std::vector<BitWord>& bits, std::size_t i) {
              return (bits[i / kBitsPerWord] >> (i % kBitsPerWord)) & 1;
            };
            for (std::size_t i = 0; i < words * kBitsPerWord; ++i) {
              const char byte = i < size ? data[i] : 0;
              const bool itemStart = i == 0 || isSeparator(data[i - 1]);
              bool start = itemStart && (byte == '/' || isBlank(byte) || byte == '"');
              bool separator = isSeparator(byte);
              if (masked && i < size) {
                start = itemStart && (open[i] ? data[i + 1] == '/'
                                              : !inside[i] && byte != '"' && !separator &&
                                                    static_cast<unsigned char>(byte) <= '/');
                separator = separator && !inside[i];
              }
              ASSERT_EQ(bit(separators, i), i == size || (i < size && separator)) << i;
              ASSERT_EQ(bit(quotes, i), i == size || (i < size && byte == '"')) << i;
              ASSERT_EQ(bit(starts, i), i == size || (i < size && start)) << i;
            }
            for (std::size_t from = 0; from <= size; from += 7) {
              std::size_t after = from;
              for (std::size_t i = from; i < size; ++i) after = bit(separators, i) ? i + 1 : after;
              ASSERT_EQ(AfterLastSetBit(separators.data(), from, size), after) << from;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace faxjob
