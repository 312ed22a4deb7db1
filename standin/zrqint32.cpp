// Stand-in for the closed fax library ZRQINT32.DLL.
//
// It implements the library's side of the binary interface on its own: the
// record is read at raw byte offsets, never through the program's struct, so
// a layout mistake in the program cannot hide behind a shared header. What it
// does with a job is driven by the job file; see README.md beside this file.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "crashes.h"
#include "files.h"
#include "job_file.h"

#ifdef _WIN32
#define ZRQ_API __stdcall
#define ZRQ_EXPORT
#else
#define ZRQ_API
#define ZRQ_EXPORT __attribute__((visibility("default")))
#endif

namespace {

using namespace zrq;  // NOLINT(google-build-using-namespace): the stand-in's own parts

// ---------------------------------------------------------------------------
// The record, by raw offsets.

constexpr std::size_t kRecordSize = 1360;

struct Range {
  std::size_t offset;
  std::size_t size;
};

constexpr Range kValueA{0, 4};
constexpr Range kValueB{4, 4};
constexpr Range kValueList{8, 20};
constexpr Range kJobFilePath{28, 260};
constexpr Range kTextSlotB{288, 260};
constexpr Range kResultFilePath{548, 260};
constexpr Range kTextSlotD{808, 260};
constexpr Range kTextSlotE{1068, 260};
constexpr Range kShortTextSlot{1328, 21};
constexpr Range kTailBytes{1349, 11};

static_assert(kTailBytes.offset + kTailBytes.size == kRecordSize);

constexpr Range kZeroFields[] = {kValueA, kValueB, kValueList, kTailBytes};
constexpr Range kTextSlots[] = {kJobFilePath, kTextSlotB, kResultFilePath,
                                kTextSlotD,   kTextSlotE, kShortTextSlot};

// Result codes, as the real library numbers them.
constexpr std::int32_t kOk = 0;
constexpr std::int32_t kBadArguments = -1;     // bad argument or record
constexpr std::int32_t kResultFileError = -2;  // RESULT.TXT could not be written
constexpr std::int32_t kFileWriteError = -3;   // any other file could not be written
constexpr std::int32_t kInternalError = -4;
constexpr std::int32_t kOutOfMemory = -6;
constexpr std::int32_t kJobFileOpenError = -16;
constexpr std::int32_t kJobFileFormatError = -17;

bool AllZero(const unsigned char* record, Range range) {
  for (std::size_t i = 0; i < range.size; ++i) {
    if (record[range.offset + i] != 0) return false;
  }
  return true;
}

bool HasNul(const unsigned char* record, Range range) {
  return std::memchr(record + range.offset, 0, range.size) != nullptr;
}

bool RecordIsValid(const unsigned char* record) {
  for (Range r : kZeroFields) {
    if (!AllZero(record, r)) return false;
  }
  for (Range r : kTextSlots) {
    if (!HasNul(record, r)) return false;
  }
  return true;
}

// The text of a slot up to its NUL; only call on a validated record.
std::string SlotText(const unsigned char* record, Range range) {
  const char* begin = reinterpret_cast<const char*>(record + range.offset);
  return std::string(begin, std::strlen(begin));
}

std::int32_t Run(const unsigned char* record) {
  if (std::string envPath = RecordPathFromEnvironment(); !envPath.empty()) {
    // A failure here is ignored: the caller's test sees the missing file.
    WriteWholeFile(envPath, record, kRecordSize);
  }
  if (!RecordIsValid(record)) return kBadArguments;

  std::string contents;
  if (!ReadWholeFile(SlotText(record, kJobFilePath), contents)) return kJobFileOpenError;

  Job job;
  if (!ParseJob(contents, job)) return kJobFileFormatError;

  for (const std::string& path : job.saveRecordPaths) {
    if (!WriteWholeFile(path, record, kRecordSize)) return kFileWriteError;
  }

  for (std::uint64_t left = job.sleepMs; left > 0;) {
    std::uint32_t step = left > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(left);
    SleepMilliseconds(step);
    left -= step;
  }

  if (job.crash != CrashKind::kNone) Crash(job.crash);

  if (!job.noResult && !job.resultFile.empty()) {
    if (!LinkFile(job.resultFile, SlotText(record, kResultFilePath))) return kResultFileError;
  } else if (!job.noResult) {
    std::string bytes = job.explicitResult ? job.resultBytes : AutomaticResult(job);
    if (!WriteWholeFile(SlotText(record, kResultFilePath), bytes.data(), bytes.size())) {
      return kResultFileError;
    }
  }
  return job.code;
}

}  // namespace

extern "C" ZRQ_EXPORT std::int32_t ZRQ_API SendZRQ_PageInt(void* record, const void* logFont) {
  (void)logFont;  // always null from faxjob; the stand-in ignores it
  if (record == nullptr) return kBadArguments;
  try {
    return Run(static_cast<const unsigned char*>(record));
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (...) {
    return kInternalError;
  }
}
