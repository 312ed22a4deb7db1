// The job record handed to the fax library, and the routines that fill it.
// Its layout is a binary interface with a closed library: every offset and
// size below is fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace faxjob {

class Text;

struct SendRequest {
  std::uint8_t ValueA[4];  // never written
  std::int32_t ValueB;
  std::int32_t ValueList[5];
  char JobFilePath[260];
  char TextSlotB[260];
  char ResultFilePath[260];
  char TextSlotD[260];
  char TextSlotE[260];
  char ShortTextSlot[21];
  std::uint8_t TailBytes[11];  // padding to the full record; never written
};

static_assert(sizeof(SendRequest) == 1360);
static_assert(alignof(SendRequest) == 4);
static_assert(offsetof(SendRequest, ValueA) == 0);
static_assert(offsetof(SendRequest, ValueB) == 4);
static_assert(offsetof(SendRequest, ValueList) == 8);
static_assert(offsetof(SendRequest, JobFilePath) == 28);
static_assert(offsetof(SendRequest, TextSlotB) == 288);
static_assert(offsetof(SendRequest, ResultFilePath) == 548);
static_assert(offsetof(SendRequest, TextSlotD) == 808);
static_assert(offsetof(SendRequest, TextSlotE) == 1068);
static_assert(offsetof(SendRequest, ShortTextSlot) == 1328);
static_assert(offsetof(SendRequest, TailBytes) == 1349);

// The program-wide record: zero at start, filled once, read by the library.
extern SendRequest gSendRequest;

// Stores `text` in the narrow code page followed by a NUL, byte by byte,
// checking each store against the slot's bounds. A store outside the slot
// raises failure 9; the bytes stored before it remain. A text that has no
// exact narrow form raises failure 52 before any byte is stored: the slots
// hold paths, and a near equivalent or a '?' would name another file.
void CopyToAnsiSlot(Text& codePage, std::span<char> slot, const std::u16string& text);

// Fills the numeric fields and every text slot, in the record's field order.
void FillSendRequest(Text& text, SendRequest& request, const std::u16string& jobFilePath,
                     const std::u16string& resultFilePath);

}  // namespace faxjob
