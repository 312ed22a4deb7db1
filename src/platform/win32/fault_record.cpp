#include "platform/win32/fault_record.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/failure.h"
#include "platform/platform.h"
#include "platform/win32/support.h"
#include "platform/win32/system_calls.h"

namespace faxjob::fault_path {

using win32::gSystem;

DWORD CheckOf(const char* data, DWORD size) {
  DWORD hash = 2166136261u;
  for (DWORD i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 16777619u;
  return hash;
}

namespace {

// Pages of their own, never given back: the fault path needs them until the process ends.
Prepared& AllocatePrepared(std::size_t size) {
  void* pages = gSystem.VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (pages == nullptr) throw Failure(kOutOfMemory);
  return *static_cast<Prepared*>(pages);
}

// The NT form of a path, as NtCreateFile takes it, in a heap block to copy.
class NtPath {
 public:
  NtPath(DosPathToNtPathFunction toNtPath, FreeUnicodeStringFunction freeString,
         const NativePath& path)
      : freeString_(freeString) {
    if (!toNtPath(reinterpret_cast<PCWSTR>(path.c_str()), &converted_, nullptr, nullptr)) {
      throw Failure(kOutOfMemory);
    }
  }
  NtPath(const NtPath&) = delete;
  NtPath& operator=(const NtPath&) = delete;
  ~NtPath() { freeString_(&converted_); }

  std::size_t size() const { return converted_.Length; }
  // Copies the text to `at` and points `path` at the copy; returns where the copy ends.
  char* CopyTo(char* at, UNICODE_STRING& path) const {
    std::memcpy(at, converted_.Buffer, converted_.Length);
    path.Length = path.MaximumLength = converted_.Length;
    path.Buffer = reinterpret_cast<PWSTR>(at);
    return at + converted_.Length;
  }

 private:
  FreeUnicodeStringFunction freeString_;
  UNICODE_STRING converted_{};
};

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
    if (!gSystem.WriteFile(file, data, left, &written, &atTheEnd) || written == 0) return false;
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
// line is whole the report has its delete disposition set; one still a
// temporary file then takes the report's name.
bool AddLine(const Prepared& prepared, HANDLE file, bool underItsOwnName) {
  if (file == nullptr) return false;
  const bool deleteDisposition = SetDeleteDisposition(file, true);
  if (!AppendLine(file, prepared.errorLine, prepared.errorLineSize) || !Commit() ||
      (deleteDisposition && !SetDeleteDisposition(file, false))) {
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
  return kept ? LineRecordedStatus() : kNothingRecorded;
}

Prepared& PrepareRecord(const NativePath& reportPath, std::string_view errorLine,
                        std::size_t& size) {
  const NtCreateFileFunction ntCreateFile = gSystem.NtCreateFile;
  const NtSetInformationFileFunction ntSetInformationFile = gSystem.NtSetInformationFile;
  const DosPathToNtPathFunction toNtPath = gSystem.RtlDosPathNameToNtPathName_U;
  const FreeUnicodeStringFunction freeString = gSystem.RtlFreeUnicodeString;
  if (ntCreateFile == nullptr || ntSetInformationFile == nullptr || toNtPath == nullptr ||
      freeString == nullptr) {
    throw Failure(kOutOfMemory);
  }
  const std::string process = std::to_string(gSystem.GetCurrentProcessId());
  const NativePath temporaryPath =
      reportPath.substr(0, reportPath.rfind(u'\\') + 1) + std::u16string(kTemporaryFilePrefix) +
      std::u16string(process.begin(), process.end()) + u"-0" + std::u16string(kTemporaryFileSuffix);
  const NtPath report(toNtPath, freeString, reportPath);
  const NtPath temporary(toNtPath, freeString, temporaryPath);
  const std::size_t renameSize = (offsetof(FILE_RENAME_INFO, FileName) + report.size() + 3) & ~3u;
  size = sizeof(Prepared) + report.size() + temporary.size() + 4 + renameSize + errorLine.size();
  Prepared& prepared = AllocatePrepared(size);
  char* at = report.CopyTo(reinterpret_cast<char*>(&prepared + 1), prepared.ntPath);
  at = temporary.CopyTo(at, prepared.ntTemporaryPath);
  at += (4 - reinterpret_cast<std::uintptr_t>(at) % 4) % 4;  // up to a multiple of 4
  prepared.renameOntoReport = reinterpret_cast<FILE_RENAME_INFO*>(at);
  prepared.renameOntoReport->ReplaceIfExists = TRUE;
  prepared.renameOntoReport->RootDirectory = nullptr;
  prepared.renameOntoReport->FileNameLength = static_cast<DWORD>(report.size());
  UNICODE_STRING renameText;
  report.CopyTo(at + offsetof(FILE_RENAME_INFO, FileName), renameText);
  prepared.renameSize = static_cast<DWORD>(renameSize);
  char* const line = at + renameSize;
  std::memcpy(line, errorLine.data(), errorLine.size());
  prepared.errorLine = line;
  prepared.errorLineSize = static_cast<DWORD>(errorLine.size());
  prepared.errorLineCheck = CheckOf(line, prepared.errorLineSize);
  prepared.ntCreateFile = ntCreateFile;
  prepared.ntSetInformationFile = ntSetInformationFile;
  return prepared;
}

}  // namespace faxjob::fault_path
