// Reads the record entries of the fax library's result file. The file is
// read in large blocks; each block is classified in one pass into bitmaps
// (byte_classes.h), and the items that may be entries are then taken whole
// from the block.
// An item that crosses the end of a block is carried over to the next one;
// one longer than the carry-over room is read piece by piece. Memory stays
// flat whatever the size of the file or of a single item.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "base/failure.h"
#include "platform/files.h"
#include "platform/text.h"
#include "report/byte_classes.h"
#include "report/number_text.h"

namespace faxjob {

class ResultReader {
 public:
  static constexpr std::size_t kDefaultBlockSize = 64 * 1024;
  // The longest item carried over whole into the next block.
  static constexpr std::size_t kMaxCarryOver = 4096;

  /// Builds the narrow character lengths once from `codePage`. Reads `file`
  /// in blocks of `blockSize` bytes.
  ResultReader(Text& codePage, InputFile& file, std::size_t blockSize = kDefaultBlockSize);

  /// The numbers of the next record entries, in file order; empty at the end
  /// of the file. A failure met after some entries is raised by the next
  /// call, so the entries before it can still be written.
  std::span<const EntryNumber> NextEntries();

 private:
  static constexpr std::size_t kBatchSize = 256;

  // Replaces what was read with what is kept from `keepFrom` on and the next
  // block after it. False at the end of the file. `atItemStart` when an item
  // (or the blanks before it) begins at `keepFrom`, not a part of one.
  bool Refill(std::size_t keepFrom, bool atItemStart);
  // Takes the items that lie whole in the buffer, up to a full batch; stops
  // at the first one that runs past what was read.
  void TakeItems();
  // Sets `number` to that of a record entry that lies whole in the buffer.
  void ReadNumber(const char* entry, const char* entryEnd, EntryNumber& number) const;
  // The same for number texts other than up to eight plain digits.
  EntryNumber OtherNumberOf(const char* entry, const char* numberText, const char* entryEnd) const;
  // Reads an item too long to carry over, from `itemStart`, piece by piece.
  std::optional<EntryNumber> StreamItem(std::size_t itemStart);

  InputFile& file_;
  std::size_t blockSize_;
  std::size_t carryOver_;
  unsigned char charLength_[256];

  std::unique_ptr<char[]> storage_;
  char* data_;  // after room for reading a number's last eight bytes as two words
  std::unique_ptr<BitWord[]> separators_;
  std::unique_ptr<BitWord[]> quotes_;
  std::unique_ptr<BitWord[]> starts_;
  std::size_t filled_ = 0;
  std::size_t position_ = 0;  // where the next item (or the blanks before it) begins
  bool endOfFile_ = false;

  EntryNumber batch_[kBatchSize];
  std::size_t batchCount_ = 0;
  std::optional<Failure> pendingFailure_;
};

}  // namespace faxjob
