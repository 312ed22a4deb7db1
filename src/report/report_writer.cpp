#include "report/report_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "platform/failure.h"

namespace faxjob {

namespace {

constexpr std::size_t kFlushThreshold = 64 * 1024;

void AppendPadded(std::string& out, std::string_view digits, std::size_t width) {
  if (digits.size() < width) out.append(width - digits.size(), '0');
  out.append(digits);
}

}  // namespace

void AppendNumberField(std::string& out, double value) {
  const double rounded = std::round(value);
  const bool negative = rounded < 0;
  const double magnitude = std::fabs(rounded);
  char digits[400];  // the largest double has 309 digits
  char* const digitsEnd = digits + sizeof digits;
  const char* first;
  if (magnitude < 1e18) {
    // The usual case, written backwards without a library call.
    auto whole = static_cast<std::uint64_t>(magnitude);
    char* cursor = digitsEnd;
    do {
      *--cursor = static_cast<char>('0' + whole % 10);
      whole /= 10;
    } while (whole != 0);
    first = cursor;
  } else {
    const std::to_chars_result written =
        std::to_chars(digits, digitsEnd, magnitude, std::chars_format::fixed, 0);
    first = std::move_backward(digits, written.ptr, digitsEnd);
  }
  const std::string_view text(first, static_cast<std::size_t>(digitsEnd - first));
  if (negative) {
    out.push_back('-');
    AppendPadded(out, text, 5);
  } else {
    AppendPadded(out, text, 6);
  }
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
