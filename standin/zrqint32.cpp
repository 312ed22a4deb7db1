// Stand-in for the closed fax library ZRQINT32.DLL.
//
// It implements the library's side of the binary interface on its own: the
// record is read at raw byte offsets, never through the program's struct, so
// a layout mistake in the program cannot hide behind a shared header. What it
// does with a job is driven by the job file; see README.md beside this file.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>
#define ZRQ_API __stdcall
#define ZRQ_EXPORT
#else
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#define ZRQ_API
#define ZRQ_EXPORT __attribute__((visibility("default")))
#endif

namespace {

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

// Names a file that receives every record, first of all, when set.
constexpr char kRecordEnvironmentVariable[] = "ZRQ_STANDIN_RECORD";

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

// ---------------------------------------------------------------------------
// Files, by narrow (ANSI code page) names.

#ifdef _WIN32

bool ReadWholeFile(const std::string& path, std::string& contents) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  contents.clear();
  char buffer[4096];
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    contents.append(buffer, got);
  }
  CloseHandle(file);
  return ok;
}

bool WriteWholeFile(const std::string& path, const void* data, std::size_t size) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const char* p = static_cast<const char*>(data);
  bool ok = true;
  while (size > 0) {
    DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, p, chunk, &written, nullptr) || written == 0) {
      ok = false;
      break;
    }
    p += written;
    size -= written;
  }
  if (!CloseHandle(file)) ok = false;
  return ok;
}

// `path` becomes a second name of `existing`: no bytes are copied.
bool LinkFile(const std::string& existing, const std::string& path) {
  DeleteFileA(path.c_str());
  return CreateHardLinkA(path.c_str(), existing.c_str(), nullptr) != 0;
}

// Read from the process environment itself, not from a C runtime's copy of
// it, so that a caller's SetEnvironmentVariable counts.
std::string RecordPathFromEnvironment() {
  char buffer[1024];
  DWORD length = GetEnvironmentVariableA(kRecordEnvironmentVariable, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return std::string();
  return std::string(buffer, length);
}

void SleepMilliseconds(std::uint32_t ms) {
  // Sleep(INFINITE) would never return; split the one value that means it.
  if (ms == INFINITE) {
    Sleep(INFINITE - 1);
    Sleep(1);
  } else {
    Sleep(ms);
  }
}

#else

bool ReadWholeFile(const std::string& path, std::string& contents) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  contents.clear();
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) contents.append(buffer, got);
  // A folder opens on POSIX but fails to read: treat it as unopenable.
  bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

bool WriteWholeFile(const std::string& path, const void* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

bool LinkFile(const std::string& existing, const std::string& path) {
  unlink(path.c_str());
  return link(existing.c_str(), path.c_str()) == 0;
}

std::string RecordPathFromEnvironment() {
  const char* path = std::getenv(kRecordEnvironmentVariable);
  return path ? std::string(path) : std::string();
}

void SleepMilliseconds(std::uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

#endif

// ---------------------------------------------------------------------------
// Crashes.

enum class CrashKind {
  kNone,
  kAccessViolation,
  kIllegalInstruction,
  kStackOverflow,
  kHeapLocked,
  kHeapOverwritten,
  kThreadsSuspended,
};

// A real access violation: a store through a null pointer that the compiler
// cannot see is null, so it can neither drop the store nor turn it into a trap.
int* volatile gNowhere = nullptr;

void WriteThroughNull() {
  int* volatile target = gNowhere;
  *static_cast<volatile int*>(target) = 0x2A;
}

// Deep enough to overflow any stack; the compiler cannot tell it is bounded.
volatile std::uint32_t gRecursionDepth = 0xFFFFFFFF;

int Recurse(volatile char* previous, std::uint32_t depth) {
  volatile char frame[256];
  frame[0] = *previous;
  return depth == 0 ? 0 : Recurse(frame, depth - 1) + frame[0];
}

void OverflowTheStack() {
  volatile char start = 0;
  Recurse(&start, gRecursionDepth);
}

// Overwrites a freed block between two live ones, with the bookkeeping the
// allocator keeps beside and inside them.
template <typename Allocate, typename Free>
void OverwriteAroundAFreedBlock(Allocate allocate, Free release) {
  constexpr std::size_t kBlock = 64;
  char* blocks[3];
  for (char*& block : blocks) block = static_cast<char*>(allocate(kBlock));
  release(blocks[1]);
  char* low = blocks[0] < blocks[2] ? blocks[0] : blocks[2];
  char* high = (blocks[0] < blocks[2] ? blocks[2] : blocks[0]) + kBlock;
  // Blocks far apart may have unmapped memory between them.
  if (high - low > 4096) high = low + 2 * kBlock;
  std::memset(low, 0xCC, static_cast<std::size_t>(high - low));
}

[[noreturn]] void IllegalInstruction() {
#ifdef _MSC_VER
  __ud2();
#else
  __builtin_trap();
#endif
}

#ifdef _WIN32

DWORD WINAPI HoldTheHeapLock(void* locked) {
  HeapLock(GetProcessHeap());
  SetEvent(locked);
  Sleep(INFINITE);
  return 0;
}

// Another thread takes the process heap's lock and keeps it.
void LockTheHeap() {
  HANDLE locked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE holder = CreateThread(nullptr, 0, HoldTheHeapLock, locked, 0, nullptr);
  WaitForSingleObject(locked, INFINITE);
  CloseHandle(holder);
  CloseHandle(locked);
}

void SuspendOtherThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId() ||
        entry.th32ThreadID == GetCurrentThreadId()) {
      continue;
    }
    if (HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)) {
      SuspendThread(thread);
      CloseHandle(thread);
    }
  }
  CloseHandle(snapshot);
}

void OverwriteTheHeap() {
  OverwriteAroundAFreedBlock([](std::size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); },
                             [](void* block) { HeapFree(GetProcessHeap(), 0, block); });
}

#else

// The C library offers no way to hold its allocator's lock, nor to suspend
// other threads: those kinds crash like a plain access violation here.
void LockTheHeap() {}
void SuspendOtherThreads() {}
void OverwriteTheHeap() { OverwriteAroundAFreedBlock(std::malloc, std::free); }

#endif

void Crash(CrashKind kind) {
  switch (kind) {
    case CrashKind::kIllegalInstruction:
      IllegalInstruction();
    case CrashKind::kStackOverflow:
      OverflowTheStack();
      break;
    case CrashKind::kHeapLocked:
      LockTheHeap();
      break;
    case CrashKind::kHeapOverwritten:
      OverwriteTheHeap();
      break;
    case CrashKind::kThreadsSuspended:
      SuspendOtherThreads();
      break;
    case CrashKind::kAccessViolation:
    case CrashKind::kNone:
      break;
  }
  WriteThroughNull();
}

// ---------------------------------------------------------------------------
// The job file.

struct Job {
  std::int32_t code = kOk;
  std::uint64_t sleepMs = 0;
  CrashKind crash = CrashKind::kNone;
  bool noResult = false;
  bool explicitResult = false;  // some `!result` line was given
  std::string resultBytes;      // the explicit result bytes
  std::string resultFile;       // `!result-file`: a file to give as RESULT.TXT
  std::vector<std::string> saveRecordPaths;
  std::vector<std::string> faxNumbers;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Shift_JIS (CP932) lead bytes: a lead byte and the byte after it are one
// character, copied as they are even when the second one is a backslash.
bool IsShiftJisLead(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Decimal with an optional sign, or 0x hex; -2147483648 to 4294967295, the
// values above 2147483647 wrapping to their 32-bit two's-complement value.
bool ParseCode(std::string_view s, std::int32_t& out) {
  if (s.empty()) return false;
  std::uint64_t magnitude = 0;
  bool negative = false;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    if (s.size() > 8) return false;
    for (char c : s) {
      int v = HexValue(c);
      if (v < 0) return false;
      magnitude = magnitude * 16 + static_cast<std::uint64_t>(v);
    }
  } else {
    if (s[0] == '-' || s[0] == '+') {
      negative = s[0] == '-';
      s.remove_prefix(1);
    }
    if (s.empty() || s.size() > 10) return false;
    for (char c : s) {
      if (!IsDigit(c)) return false;
      magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (negative ? magnitude > 0x80000000ull : magnitude > 0xFFFFFFFFull) return false;
  }
  std::uint32_t bits = static_cast<std::uint32_t>(negative ? 0u - magnitude : magnitude);
  std::int32_t value;
  std::memcpy(&value, &bits, sizeof value);
  out = value;
  return true;
}

bool ParseMilliseconds(std::string_view s, std::uint64_t& out) {
  if (s.empty() || s.size() > 10) return false;
  std::uint64_t value = 0;
  for (char c : s) {
    if (!IsDigit(c)) return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFull) return false;
  out = value;
  return true;
}

// Appends `text` with the escapes \r \n \t \\ \" \xHH decoded.
bool AppendUnescaped(std::string_view text, std::string& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (IsShiftJisLead(c) && i + 1 < text.size()) {
      out += text[i];
      out += text[++i];
      continue;
    }
    if (c != '\\') {
      out += text[i];
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case '\\':
        out += '\\';
        break;
      case '"':
        out += '"';
        break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        int hi = HexValue(text[i + 1]);
        int lo = HexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

bool IsFaxNumber(std::string_view s) {
  bool digit = false;
  for (char c : s) {
    if (IsDigit(c)) {
      digit = true;
    } else if (!(c == '-' || c == '+' || c == '(' || c == ')' || IsBlank(c))) {
      return false;
    }
  }
  return digit;
}

// A directive line without its leading `!`. False when it is malformed.
bool ParseDirective(std::string_view line, Job& job) {
  std::size_t nameEnd = 0;
  while (nameEnd < line.size() && !IsBlank(line[nameEnd])) ++nameEnd;
  std::string_view name = line.substr(0, nameEnd);
  std::string_view rest = line.substr(nameEnd);

  if (name == "result") {
    // Exactly one separating blank; every byte after it counts.
    if (!rest.empty()) rest.remove_prefix(1);
    job.explicitResult = true;
    return AppendUnescaped(rest, job.resultBytes);
  }

  std::string_view argument = Trim(rest);
  if (name == "return") return ParseCode(argument, job.code);
  if (name == "sleep") {
    std::uint64_t ms = 0;
    if (!ParseMilliseconds(argument, ms)) return false;
    job.sleepMs += ms;
    return true;
  }
  if (name == "save-record") {
    if (argument.empty()) return false;
    job.saveRecordPaths.emplace_back(argument);
    return true;
  }
  if (name == "no-result") {
    job.noResult = true;
    return argument.empty();
  }
  if (name == "result-file") {
    job.resultFile = argument;
    return !argument.empty();
  }
  if (name == "crash") {
    const struct {
      std::string_view name;
      CrashKind kind;
    } kinds[] = {{"", CrashKind::kAccessViolation},
                 {"illegal-instruction", CrashKind::kIllegalInstruction},
                 {"stack-overflow", CrashKind::kStackOverflow},
                 {"heap-locked", CrashKind::kHeapLocked},
                 {"heap-overwritten", CrashKind::kHeapOverwritten},
                 {"threads-suspended", CrashKind::kThreadsSuspended}};
    for (const auto& kind : kinds) {
      if (argument == kind.name) {
        job.crash = kind.kind;
        return true;
      }
    }
    return false;
  }
  return false;
}

// Parses the whole file before anything is done, so that a malformed job has
// no effect at all.
bool ParseJob(std::string_view contents, Job& job) {
  std::size_t pos = 0;
  while (pos < contents.size()) {
    std::size_t end = contents.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = contents.size();
    std::string_view line = contents.substr(pos, end - pos);
    pos = end;
    if (pos < contents.size()) {
      if (contents[pos] == '\r' && pos + 1 < contents.size() && contents[pos + 1] == '\n') ++pos;
      ++pos;
    }

    std::size_t first = 0;
    while (first < line.size() && IsBlank(line[first])) ++first;
    line.remove_prefix(first);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '!') {
      if (!ParseDirective(line.substr(1), job)) return false;
      continue;
    }
    line = Trim(line);
    if (!IsFaxNumber(line)) return false;
    job.faxNumbers.emplace_back(line);
  }
  return true;
}

// What a fax server that sent every number would report.
std::string AutomaticResult(const Job& job) {
  std::string out;
  std::size_t n = 0;
  for (const std::string& number : job.faxNumbers) {
    out += "/R " + std::to_string(++n) + ",\"" + number + "\",OK\r\n";
  }
  return out;
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
