#include "reference_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace faxjob::testing {

namespace {

bool IsSeparator(char c) { return c == ',' || c == '\r' || c == '\n'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The number field of a line, "000000;-00000", rounding half away from zero.
std::string Field(double value) {
  const double rounded = std::round(value);
  char digits[400];
  std::snprintf(digits, sizeof digits, "%.0f", std::fabs(rounded));
  const std::size_t width = rounded < 0 ? 5 : 6;
  std::string field(width - std::min(width, std::string(digits).size()), '0');
  return (rounded < 0 ? "-" : "") + field + digits;
}

// The value of a number text, or the failure code.
std::string NumberField(std::string text, int& failure) {
  while (!text.empty() && IsBlank(text.front())) text.erase(0, 1);
  while (!text.empty() && IsBlank(text.back())) text.pop_back();
  std::size_t i = text.starts_with('-') ? 1 : 0;
  std::size_t digits = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) ++digits;
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && IsDigit(text[i]); ++i) ++digits;
  }
  if (digits == 0 || i != text.size()) return failure = 13, "";
  double value = 0;
  const bool integerPartNonzero =
      text.find_first_not_of("-0") < std::min(text.find('.'), text.size());
  if (std::from_chars(text.data(), text.data() + text.size(), value).ec != std::errc()) {
    if (integerPartNonzero) return failure = 6, "";
    value = 0;
  }
  if (std::isinf(value)) return failure = 6, "";
  return Field(value);
}

}  // namespace

std::string ReferenceReport(std::string_view content,
                            const std::function<std::size_t(unsigned char)>& charLength,
                            std::string_view text) {
  std::string report;
  std::size_t pos = 0;
  while (pos < content.size()) {
    while (pos < content.size() && IsBlank(content[pos])) ++pos;
    std::string_view item;
    if (pos < content.size() && content[pos] == '"') {
      const std::size_t close = content.find('"', pos + 1);
      if (close == std::string_view::npos) return report + "failure 62";
      item = content.substr(pos + 1, close - pos - 1);
      pos = close + 1;
      while (pos < content.size() && !IsSeparator(content[pos])) ++pos;
    } else {
      const std::size_t begin = pos;
      while (pos < content.size() && !IsSeparator(content[pos])) ++pos;
      item = content.substr(begin, pos - begin);
    }
    if (pos < content.size()) {
      if (content.substr(pos, 2) == "\r\n") ++pos;
      ++pos;
    }
    if (!item.starts_with("/R")) continue;
    std::size_t numberStart = 2;
    if (item.size() > 2) {
      numberStart += std::min(std::max<std::size_t>(1, charLength(item[2])), item.size() - 2);
    }
    int failure = 0;
    const std::string field = NumberField(std::string(item.substr(numberStart)), failure);
    if (failure != 0) return report + "failure " + std::to_string(failure);
    report += field + "," + std::string(text) + "\r\n";
  }
  return report;
}

}  // namespace faxjob::testing
