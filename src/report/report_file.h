// The report file's one owner for the whole run. The transcription writes
// its lines through it; the failure trap records a failure in it, after the
// lines already written. What the trap may do depends only on the state kept
// here, never on which of the run's objects happened to be alive.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "base/report_stage.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"
#include "report/report_writer.h"

namespace faxjob {

class ReportFile {
 public:
  /// `faultPath`, where given, is told the status that goes with the report once it is kept.
  ReportFile(Files& files, Text& text, std::u16string path, Process* faultPath = nullptr)
      : files_(files), text_(text), faultPath_(faultPath), path_(std::move(path)) {}
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  /// Creates the report, or empties an existing one. Raises 55, and touches nothing, when the
  /// report path names `resultFile` itself: opening it for writing would destroy what it reports.
  void Create(InputFile& resultFile);
  /// One line for each record entry `entries` reads, all with the same text. A bad entry (13, 6,
  /// 62) raises after the lines before it, which stay complete; a failed write leaves the
  /// report's content in doubt.
  void WriteLines(ResultReader& entries, std::string_view narrowText);
  /// Writes what is buffered and closes the report: every line is complete. Until then the
  /// report has a delete disposition, so a run that ends before, however it ends, leaves none.
  void Finish();

  /// Makes `failure`'s error line the report's last line, after the complete lines already
  /// written, creating the report when this run has not. Returns whether the line is in. A report
  /// that this run created or emptied and that cannot end with the line is removed, so it never
  /// passes for a finished one. Never raises.
  bool RecordFailure(const Failure& failure) noexcept;

 private:
  // One report line; a failed write leaves the report's content in doubt.
  void WriteLine(double number, std::string_view narrowText);
  void AppendErrorLine(const Failure& failure, ErrorLine action);
  void RemoveTouchedReport() noexcept;

  Files& files_;
  Text& text_;
  Process* faultPath_;
  std::u16string path_;
  ReportStage stage_ = ReportStage::kUntouched;
  bool namesResultFile_ = false;  // never to be opened for writing
  std::optional<ReportWriter> writer_;
};

}  // namespace faxjob
