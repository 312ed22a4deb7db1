// One table of what Windows answers and what a platform operation must then
// raise or do, run against the real Windows layer (under Wine, with the
// answers put in place of the system's calls) and against the in-memory
// platform (with the same answers as its world). Where they disagree, the
// in-memory platform is wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"

namespace faxjob::testing {

// The system call that answers, as the real layer makes it.
enum class SystemCall {
  kNone,
  kCreateFile,   // CreateFileW of the operation's file
  kRename,       // SetFileInformationByHandle(FileRenameInfo)
  kRenameEx,     // SetFileInformationByHandle(FileRenameInfoEx), Windows 10 1809 on
  kDisposition,  // SetFileInformationByHandle(FileDispositionInfo)
  kWriteFile,
  kFileId,          // FileIdInfo and GetFileInformationByHandle: the id is `idByte` throughout
  kFileIdInfo,      // GetFileInformationByHandleEx(FileIdInfo), a newer information class
  kRemoteProtocol,  // GetFileInformationByHandleEx(FileRemoteProtocolInfo) succeeds: remote
};

struct WindowsAnswer {
  SystemCall call = SystemCall::kNone;
  std::uint32_t error = 0;  // the failure; 0 for an answer that succeeds
  std::uint32_t ntStatus = 0;
  int times = 0;   // `times` calls answer so; 0: every call from then on
  int atCall = 1;  // from this call of the kind on, counted from now (the real layer alone)
  std::uint8_t idByte = 0;
};

enum class Operation {
  kKeepOntoExisting,  // a report written, a file "old" put at its path, then kept
  kKeepNew,   // a report written where nothing is, then kept (its delete disposition checked)
  kRemove,    // RemoveFile of a file "old"
  kRead,      // OpenForReading of a file "old", read whole
  kWrite,     // a write to a new report
  kSameFile,  // IsSameFile of two files, and of one file by two spellings
  kSweep,     // RemoveStaleTemporaryFiles of `~faxjob-12-3.tmp` and `~faxjob-notes.tmp`
};

struct ContractCase {
  const char* name;
  Operation operation;
  std::vector<WindowsAnswer> answers;
  bool readOnly = false;  // the file "old" is read-only
  std::int32_t raises = 0;
  // What is at the operation's path after it: a file's content, or none.
  std::optional<std::string> left;
  bool deleteDisposition = true;  // kKeepNew: the new report has one until it is kept
  bool atPathBeforeKeep = false;  // kKeepNew: written at its path, not as a temporary file
};

const std::vector<ContractCase>& ContractCases();

// What a test world gives the table: a platform, a folder in it, and the means to put files
// there and to make Windows answer as a case says.
class ContractWorld {
 public:
  virtual ~ContractWorld() = default;
  virtual Files& files() = 0;
  /// The folder's full path, ending in a backslash.
  virtual std::u16string Folder() = 0;
  virtual void Put(const std::u16string& path, const std::string& content, bool readOnly) = 0;
  virtual std::optional<std::string> Content(const std::u16string& path) = 0;
  /// From now on, Windows answers so about `path`.
  virtual void Answer(const WindowsAnswer& answer, const std::u16string& path) = 0;
};

// Runs the case; every way it departs from the case is returned, empty when none.
std::vector<std::string> RunContractCase(ContractWorld& world, const ContractCase& contract);

}  // namespace faxjob::testing
