#include "platform/win32/fault_record.h"

#include "platform/win32/support.h"

namespace faxjob::fault_path {

DWORD CheckOf(const char* data, DWORD size) {
  DWORD hash = 2166136261u;
  for (DWORD i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 16777619u;
  return hash;
}

namespace {

UniqueKernelObject OpenFile(const Prepared& prepared, const UNICODE_STRING& ntPath,
                            ACCESS_MASK access, ULONG sharing, ULONG disposition) {
  OBJECT_ATTRIBUTES attributes;
  UNICODE_STRING path = ntPath;  // the call takes it as changeable
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK status;
  HANDLE file = nullptr;
  const NTSTATUS result = prepared.ntCreateFile(
      &file, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, sharing,
      disposition, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  return UniqueKernelObject(result >= 0 ? ProtectedFromClose(file) : nullptr);
}

bool AppendLine(HANDLE file, const char* data, DWORD left) {
  while (left > 0) {
    OVERLAPPED atTheEnd{};
    atTheEnd.Offset = atTheEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    if (!WriteFile(file, data, left, &written, &atTheEnd) || written == 0) return false;
    data += written;
    left -= written;
  }
  return true;
}

bool Commit() {
  int working = kWorking;
  return gProgress.compare_exchange_strong(working, kCommitted);
}

UniqueKernelObject OpenReport(const Prepared& prepared, ACCESS_MASK access, ULONG sharing,
                              ULONG disposition) {
  return OpenFile(prepared, prepared.ntPath, access, sharing, disposition);
}

bool RenameOntoReport(const Prepared& prepared, HANDLE file) {
  IO_STATUS_BLOCK status;
  return prepared.ntSetInformationFile(file, &status, prepared.renameOntoReport,
                                       prepared.renameSize, kFileRenameInformation) >= 0;
}

// Appends the line to the report; true when the report keeps it. Until the
// line is whole the report is marked for deletion; one still under a name of
// its own then takes the report's name.
bool AddLine(const Prepared& prepared, HANDLE file, bool underItsOwnName) {
  if (file == nullptr) return false;
  const bool marked = SetDeleteDisposition(file, true);
  if (!AppendLine(file, prepared.errorLine, prepared.errorLineSize) || !Commit() ||
      (marked && !SetDeleteDisposition(file, false))) {
    return false;
  }
  if (!underItsOwnName || RenameOntoReport(prepared, file)) return true;
  SetDeleteDisposition(file, true);
  return false;
}

void RemoveReport(const Prepared& prepared, HANDLE runFile, bool underItsOwnName) {
  if (runFile != nullptr && SetDeleteDisposition(runFile, true)) return;
  if (underItsOwnName) return;  // nothing of this run's lies under the report's name
  const ULONG anySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (const UniqueKernelObject file = OpenReport(prepared, DELETE, anySharing, FILE_OPEN)) {
    SetDeleteDisposition(file.Get(), true);
  }
}

}  // namespace

int RecordErrorLine(const Prepared& prepared, bool othersRun) {
  HANDLE runFile = nullptr;
  const char16_t* temporaryName = nullptr;
  const Report stage = gReport.TakeOver(runFile, temporaryName, othersRun);
  // Taken over already, by a recording that ended with its thread: what it did is unknown.
  if (stage == Report::kTakenOver) return kNothingRecorded;
  const bool underItsOwnName = temporaryName != nullptr;
  const ErrorLine action = ErrorLineAt(stage);
  if (action == ErrorLine::kLeave) return gReport.keptStatus();
  // A line that something wrote over is never written: no report instead.
  if (CheckOf(prepared.errorLine, prepared.errorLineSize) != prepared.errorLineCheck) {
    if (stage != Report::kUntouched) RemoveReport(prepared, runFile, underItsOwnName);
    return kNothingRecorded;
  }
  bool kept = false;
  switch (action) {
    case ErrorLine::kCreate:
      // Under a name of its own until the line is whole, as the run writes a report.
      kept = AddLine(prepared,
                     OpenFile(prepared, prepared.ntTemporaryPath, kWriteAccess, FILE_SHARE_READ,
                              FILE_OVERWRITE_IF)
                         .Get(),
                     true);
      break;
    case ErrorLine::kAppendToClosed:
      kept = AddLine(prepared, OpenReport(prepared, kWriteAccess, FILE_SHARE_READ, FILE_OPEN).Get(),
                     false);
      break;
    case ErrorLine::kAppendToOpen:
      kept = AddLine(prepared, runFile, underItsOwnName);
      break;
    case ErrorLine::kRemove:
      RemoveReport(prepared, runFile, underItsOwnName);
      break;
    case ErrorLine::kLeave:  // answered above
      break;
  }
  return kept ? kLineRecorded : kNothingRecorded;
}

}  // namespace faxjob::fault_path
