#include "report/report_file.h"

#include "base/exit_status.h"

namespace faxjob {

void ReportFile::Create(InputFile& resultFile) {
  if (resultFile.IsSameFileAs(path_)) {
    namesResultFile_ = true;
    throw Failure(kFileAlreadyOpen);
  }
  writer_.emplace(files_.OpenForWriting(path_));
  stage_ = ReportStage::kOpen;
}

void ReportFile::WriteLine(double number, std::string_view narrowText) {
  stage_ = ReportStage::kInDoubt;
  writer_->WriteLine(number, narrowText);
  stage_ = ReportStage::kOpen;
}

void ReportFile::WriteLines(ResultReader& entries, std::string_view narrowText) {
  stage_ = ReportStage::kInDoubt;
  try {
    writer_->WriteLines(entries, narrowText);
  } catch (const Failure&) {
    if (!writer_->broken()) stage_ = ReportStage::kOpen;
    throw;
  }
  stage_ = ReportStage::kOpen;
}

void ReportFile::Finish() {
  stage_ = ReportStage::kInDoubt;
  writer_->Close();
  writer_.reset();
  stage_ = ReportStage::kClosed;
}

bool ReportFile::RecordFailure(const Failure& failure) noexcept {
  if (namesResultFile_) return false;
  const ErrorLine action = ErrorLineAt(stage_);
  if (action != ErrorLine::kRemove) {
    try {
      AppendErrorLine(failure, action);
      return true;
    } catch (...) {
      // Tolerant from here on: what cannot be done is skipped.
    }
  }
  RemoveTouchedReport();
  return false;
}

void ReportFile::AppendErrorLine(const Failure& failure, ErrorLine action) {
  const std::string description = text_.ToNarrow(failure.description());
  if (action == ErrorLine::kCreate) writer_.emplace(files_.OpenForWriting(path_));
  if (action == ErrorLine::kAppendToClosed) writer_.emplace(files_.OpenForAppending(path_));
  // Once open: until then a kept report still goes with the run's earlier status.
  if (faultPath_ != nullptr) faultPath_->SetKeptReportStatus(kExitFailureReported);
  stage_ = ReportStage::kOpen;
  WriteLine(failure.code(), description);
  Finish();
}

void ReportFile::RemoveTouchedReport() noexcept {
  // A report this run never opened is another run's, left as it was.
  if (stage_ == ReportStage::kUntouched || namesResultFile_) return;
  // A file with a delete disposition goes by itself when closed; removing it
  // by name then could remove a file that someone else has made there since.
  const bool goesByItself = writer_ && writer_->vanishesUnlessClosed();
  writer_.reset();  // closed first: an open file cannot be removed
  if (goesByItself) return;
  try {
    files_.RemoveFile(path_);
  } catch (...) {
  }
}

}  // namespace faxjob
