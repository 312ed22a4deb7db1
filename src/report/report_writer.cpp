#include "report/report_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "platform/failure.h"

namespace faxjob {

namespace {

constexpr std::size_t kFlushThreshold = 64 * 1024;

}  // namespace

void AppendNumberField(std::string& out, double value) {
  const double rounded = std::round(value);
  const bool negative = rounded < 0;
  const double magnitude = std::fabs(rounded);
  char field[400];  // the largest double has 309 digits
  char* const fieldEnd = field + sizeof field;
  char* first;
  if (magnitude < 1e18) {
    // The usual case, written backwards without a library call.
    auto whole = static_cast<std::uint64_t>(magnitude);
    first = fieldEnd;
    do {
      *--first = static_cast<char>('0' + whole % 10);
      whole /= 10;
    } while (whole != 0);
  } else {
    const std::to_chars_result written =
        std::to_chars(field + 1, fieldEnd, magnitude, std::chars_format::fixed, 0);
    first = std::move_backward(field + 1, written.ptr, fieldEnd);
  }
  const std::ptrdiff_t width = negative ? 5 : 6;
  while (fieldEnd - first < width) *--first = '0';
  if (negative) *--first = '-';
  out.append(first, fieldEnd);
}

ReportWriter::ReportWriter(std::unique_ptr<OutputFile> file) : file_(std::move(file)) {
  buffer_.reserve(kFlushThreshold + 1024);
}

void ReportWriter::WriteLine(double number, std::string_view narrowText) {
  if (broken_) throw Failure(kDeviceIoError);
  AppendNumberField(buffer_, number);
  buffer_.push_back(',');
  buffer_.append(narrowText);
  buffer_.append("\r\n");
  if (buffer_.size() >= kFlushThreshold) Flush();
}

void ReportWriter::Flush() {
  if (buffer_.empty()) return;
  broken_ = true;
  file_->Write(buffer_.data(), buffer_.size());
  broken_ = false;
  buffer_.clear();
}

void ReportWriter::Close() {
  Flush();
  broken_ = true;  // a failed close leaves the file's content in doubt
  file_->Close();
  broken_ = false;
}

}  // namespace faxjob
