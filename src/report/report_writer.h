// Report lines: number field, a comma, a text, CR LF, in the narrow code page.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace faxjob {

// Appends `value` in the pattern "000000;-00000": zero and positive values
// padded to six digits, negative ones a minus and five digits; longer
// numbers in full. Fractions round half away from zero, and the section is
// chosen by the rounded value, so -0.4 gives 000000.
void AppendNumberField(std::string& out, double value);

// Writes report lines through one buffer. After a failed write the writer
// is broken: what reached the file is unknown, so nothing more is written.
class ReportWriter {
 public:
  explicit ReportWriter(std::unique_ptr<OutputFile> file);
  ReportWriter(const ReportWriter&) = delete;
  ReportWriter& operator=(const ReportWriter&) = delete;

  void WriteLine(double number, std::string_view narrowText);
  // Writes what is buffered, then closes the file.
  void Close();
  bool broken() const { return broken_; }

 private:
  void Flush();

  std::unique_ptr<OutputFile> file_;
  std::string buffer_;
  bool broken_ = false;
};

}  // namespace faxjob
