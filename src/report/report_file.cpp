#include "report/report_file.h"

namespace faxjob {

void ReportFile::Create(InputFile& resultFile) {
  if (resultFile.IsSameFileAs(path_)) {
    state_ = State::kNamesResultFile;
    throw Failure(kFileAlreadyOpen);
  }
  writer_.emplace(platform_.OpenForWriting(path_));
  state_ = State::kOpen;
}

void ReportFile::WriteLine(double number, std::string_view narrowText) {
  state_ = State::kInDoubt;
  writer_->WriteLine(number, narrowText);
  state_ = State::kOpen;
}

void ReportFile::WriteLines(ResultReader& entries, std::string_view narrowText) {
  state_ = State::kInDoubt;
  try {
    writer_->WriteLines(entries, narrowText);
  } catch (const Failure&) {
    if (!writer_->broken()) state_ = State::kOpen;
    throw;
  }
  state_ = State::kOpen;
}

void ReportFile::Finish() {
  state_ = State::kInDoubt;
  writer_->Close();
  writer_.reset();
  state_ = State::kFinished;
}

bool ReportFile::RecordFailure(const Failure& failure) noexcept {
  if (state_ == State::kNamesResultFile) return false;
  if (state_ != State::kInDoubt) {
    try {
      AppendErrorLine(failure);
      return true;
    } catch (...) {
      // Tolerant from here on: what cannot be done is skipped.
    }
  }
  RemoveTouchedReport();
  return false;
}

void ReportFile::AppendErrorLine(const Failure& failure) {
  const std::string description = platform_.ToNarrow(failure.description());
  switch (state_) {
    case State::kUntouched:
      writer_.emplace(platform_.OpenForWriting(path_));
      break;
    case State::kFinished:
      writer_.emplace(platform_.OpenForAppending(path_));
      break;
    default:
      break;
  }
  state_ = State::kOpen;
  WriteLine(failure.code(), description);
  Finish();
}

void ReportFile::RemoveTouchedReport() noexcept {
  // A report this run never opened is another run's, left as it was.
  if (state_ == State::kUntouched || state_ == State::kNamesResultFile) return;
  // A marked file goes by itself when closed; removing it by name then could
  // remove a file that someone else has made there since.
  const bool goesByItself = writer_ && writer_->vanishesUnlessClosed();
  writer_.reset();  // closed first: an open file cannot be removed
  if (goesByItself) return;
  try {
    platform_.RemoveFile(path_);
  } catch (...) {
  }
}

}  // namespace faxjob
