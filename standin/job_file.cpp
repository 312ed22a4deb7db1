// The job file, as the stand-in reads it: what to return, write, wait for or crash with.
#include "job_file.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace zrq {

namespace {

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

}  // namespace

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

}  // namespace zrq
