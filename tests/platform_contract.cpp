#include "platform_contract.h"

#include "base/failure.h"

namespace faxjob::testing {

namespace {

// Windows' own numbers.
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kLockViolation = 33;
constexpr std::uint32_t kNetNameDeleted = 64;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kErrorDiskFull = 112;
constexpr std::uint32_t kDeletePending = 0xC0000056;

using enum Operation;
using enum SystemCall;

std::string Spelled(const std::optional<std::string>& content) {
  return content ? "\"" + *content + "\"" : "nothing";
}

}  // namespace

const std::vector<ContractCase>& ContractCases() {
  static const std::vector<ContractCase> cases = {
      // A target that another program holds open without sharing its removal, or a read-only
      // one, refuses to be replaced as access denied, whichever form of the rename is used.
      {"rename onto a held target refused once",
       kKeepOntoExisting,
       {{kRenameEx, kAccessDenied, 0, 1}, {kRename, kAccessDenied, 0, 1}},
       false,
       0,
       "new"},
      {"rename onto a target held for good",
       kKeepOntoExisting,
       {{kRenameEx, kAccessDenied}, {kRename, kAccessDenied}, {kCreateFile, kSharingViolation}},
       false,
       kHeldByAnotherProcess,
       "old"},
      {"rename onto a read-only target before Windows 10 1809",
       kKeepOntoExisting,
       {{kRenameEx, kInvalidParameter}, {kRename, kAccessDenied, 0, 1}},
       true,
       0,
       "new"},
      {"rename form of Windows 10 1809 refused (FAT, SMB)",
       kKeepOntoExisting,
       {{kRenameEx, kInvalidParameter}},
       false,
       0,
       "new"},
      {"rename form of Windows 10 1809 refusing a held target",
       kKeepOntoExisting,
       {{kRenameEx, kAccessDenied, 0, 1}},
       false,
       0,
       "new"},
      {"rename onto a target pending deletion",
       kKeepOntoExisting,
       {{kRenameEx, kAccessDenied, kDeletePending, 2}, {kRename, kAccessDenied, kDeletePending, 2}},
       false,
       0,
       "new"},
      {"removal meets a sharing violation for a moment",
       kRemove,
       {{kCreateFile, kSharingViolation, 0, 3}},
       false,
       0,
       std::nullopt},
      {"removal meets a lock violation for good",
       kRemove,
       {{kCreateFile, kLockViolation}},
       false,
       kHeldByAnotherProcess,
       "old"},
      {"read meets a dropped share for a moment",
       kRead,
       {{kCreateFile, kNetNameDeleted, 0, 2}},
       false,
       0,
       "old"},
      {"write meets a full disk",
       kWrite,
       {{kWriteFile, kErrorDiskFull}},
       false,
       kDiskFull,
       std::nullopt},
      {"delete disposition refused",
       kKeepNew,
       {{kDisposition, kAccessDenied}},
       false,
       0,
       "new",
       false,
       true},
      {"remote file", kKeepNew, {{kRemoteProtocol}}, false, 0, "new", false},
      {"file ids all zeros", kSameFile, {{kFileId, 0, 0, 0, 1, 0x00}}, false, 0, "old"},
      {"file ids all ones", kSameFile, {{kFileId, 0, 0, 0, 1, 0xFF}}, false, 0, "old"},
      {"file id class refused", kSameFile, {{kFileIdInfo, kInvalidParameter}}, false, 0, "old"},
      {"sweep of the program's own names", kSweep, {}, false, 0, std::nullopt},
  };
  return cases;
}

std::vector<std::string> RunContractCase(ContractWorld& world, const ContractCase& contract) {
  std::vector<std::string> faults;
  Files& platform = world.files();
  const std::u16string folder = world.Folder();
  const std::u16string path = folder + u"report.txt";
  auto answer = [&] {
    for (const WindowsAnswer& each : contract.answers) world.Answer(each, path);
  };
  std::int32_t raised = 0;
  try {
    switch (contract.operation) {
      case kKeepOntoExisting: {
        const std::unique_ptr<OutputFile> report = platform.OpenForWriting(path);
        report->Write("new", 3);
        world.Put(path, "old", contract.readOnly);
        answer();
        report->Keep();
        report->Close();
        break;
      }
      case kKeepNew: {
        answer();
        const std::unique_ptr<OutputFile> report = platform.OpenForWriting(path);
        if (report->hasDeleteDisposition() != contract.deleteDisposition)
          faults.emplace_back("hasDeleteDisposition() is wrong");
        if (world.Content(path).has_value() != contract.atPathBeforeKeep) {
          faults.emplace_back("the path before Keep is wrong");
        }
        report->Write("new", 3);
        report->Keep();
        report->Close();
        break;
      }
      case kRemove:
        world.Put(path, "old", contract.readOnly);
        answer();
        platform.RemoveFile(path);
        break;
      case kRead: {
        world.Put(path, "old", contract.readOnly);
        answer();
        const std::unique_ptr<InputFile> input = platform.OpenForReading(path);
        std::string text(16, '\0');
        text.resize(input->Read(text.data(), text.size()));
        input->Close();
        if (text != "old") faults.push_back("read \"" + text + "\"");
        break;
      }
      case kWrite: {
        const std::unique_ptr<OutputFile> report = platform.OpenForWriting(path);
        answer();
        report->Write("new", 3);
        report->Keep();
        report->Close();
        break;
      }
      case kSameFile:
        world.Put(path, "old", false);
        world.Put(folder + u"other.txt", "other", false);
        answer();
        if (platform.IsSameFile(path, folder + u"other.txt")) {
          faults.emplace_back("two files count as one");
        }
        if (!platform.IsSameFile(path, folder + u"REPORT.TXT")) {
          faults.emplace_back("one file by two spellings counts as two");
        }
        break;
      case kSweep:
        world.Put(folder + u"~faxjob-12-3.tmp", "left", false);
        world.Put(folder + u"~faxjob-notes.tmp", "notes", false);
        answer();
        platform.RemoveStaleTemporaryFiles(folder);
        if (world.Content(folder + u"~faxjob-12-3.tmp")) faults.emplace_back("a leftover stays");
        if (world.Content(folder + u"~faxjob-notes.tmp") != "notes") {
          faults.emplace_back("the user's ~faxjob-notes.tmp is gone");
        }
        break;
    }
  } catch (const Failure& failure) {
    raised = failure.code();
  }
  if (raised != contract.raises) {
    faults.push_back("raised " + std::to_string(raised) + " where " +
                     std::to_string(contract.raises) + " was due");
  }
  const std::optional<std::string> left = world.Content(path);
  if (left != contract.left) {
    faults.push_back("left " + Spelled(left) + " where " + Spelled(contract.left) + " was due");
  }
  return faults;
}

}  // namespace faxjob::testing
