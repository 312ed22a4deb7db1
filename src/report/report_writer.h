// Report lines: number field, a comma, a text, CR LF, in the narrow code page.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "report/number_text.h"

namespace faxjob {

class ResultReader;

// Appends `value` in the pattern "000000;-00000": zero and positive values
// padded to six digits, negative ones a minus and five digits; longer
// numbers in full. Fractions round half away from zero, and the section is
// chosen by the rounded value, so -0.4 gives 000000.
void AppendNumberField(std::string& out, double value);
// The same for an entry's number.
void AppendNumberField(std::string& out, const EntryNumber& number);

/// One report line: the number field, a comma, the text, CR LF.
std::string ReportLine(double number, std::string_view narrowText);

// Writes report lines through one buffer, in large chunks. After a failed
// write the writer is broken: what reached the file is unknown, so nothing
// more is written.
class ReportWriter {
 public:
  explicit ReportWriter(std::unique_ptr<OutputFile> file);
  ReportWriter(const ReportWriter&) = delete;
  ReportWriter& operator=(const ReportWriter&) = delete;

  void WriteLine(double number, std::string_view narrowText);
  /// Writes one line for each record entry that `entries` reads, all with
  /// the same text, until the end of the result file or a failure.
  void WriteLines(ResultReader& entries, std::string_view narrowText);
  // Writes what is buffered, keeps the file (every line is whole now) and closes it.
  void Close();
  bool broken() const { return broken_; }
  // False when the file stays even if it is never closed through Close.
  bool vanishesUnlessClosed() const { return file_->hasDeleteDisposition(); }

 private:
  void Append(const char* bytes, std::size_t size);
  // Grows the buffer, or empties it into the file once it is full grown.
  void MakeRoom();
  void Flush();

  std::unique_ptr<OutputFile> file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  bool broken_ = false;
};

}  // namespace faxjob
