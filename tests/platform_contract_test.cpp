// The table of Windows' answers against the in-memory platform.
#include "platform_contract.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "fake_platform.h"
#include "platform/files.h"

namespace faxjob::testing {
namespace {

class InMemoryWorld : public ContractWorld {
 public:
  InMemoryWorld() { fake_.world.folders.insert(u"C:\\contract"); }

  Files& files() override { return fake_.files; }
  std::u16string Folder() override { return u"C:\\contract\\"; }
  void Put(const std::u16string& path, const std::string& content, bool readOnly) override {
    fake_.world.AddFile(path, content);
    if (readOnly) fake_.world.readOnlyFiles.insert(path);
  }
  std::optional<std::string> Content(const std::u16string& path) override {
    const auto file = fake_.world.files.find(path);
    if (file == fake_.world.files.end()) return std::nullopt;
    return file->second;
  }
  // The answer as the in-memory platform's world: another program's hold, a full disk, a file
  // server. The form of the rename and the information classes it does not know.
  void Answer(const WindowsAnswer& answer, const std::u16string& path) override {
    const int tries = answer.times == 0 ? 1000 : answer.times;
    const int now = static_cast<int>(fake_.observed.calls.size());
    switch (answer.call) {
      case SystemCall::kRenameEx:
        if (answer.error != sharing_retry::kAccessDenied) break;  // the form refused
        [[fallthrough]];
      case SystemCall::kRename:
      case SystemCall::kCreateFile:
        fake_.world.holds.push_back(
            {path, tries, now,
             answer.error == sharing_retry::kAccessDenied && answer.ntStatus == 0
                 ? sharing_retry::kSharingViolation
                 : answer.error,
             answer.ntStatus});
        break;
      case SystemCall::kDisposition:
        fake_.world.deleteRefused.insert(path);
        break;
      case SystemCall::kWriteFile:
        fake_.world.diskSpace = 0;
        break;
      case SystemCall::kFileId:
        fake_.world.zeroFileIds = true;
        break;
      case SystemCall::kRemoteProtocol:
        fake_.world.remoteFolders.insert(FakeFiles::FolderOf(path));
        break;
      case SystemCall::kFileIdInfo:
      case SystemCall::kNone:
        break;
    }
  }

 private:
  FakePlatform fake_;
};

TEST(PlatformContractTest, InMemoryPlatformAnswersAsWindows) {
  for (const ContractCase& contract : ContractCases()) {
    InMemoryWorld world;
    for (const std::string& fault : RunContractCase(world, contract)) {
      ADD_FAILURE() << contract.name << ": " << fault;
    }
  }
}

// Device names as Windows reads them, superscript digits included.
TEST(PlatformContractTest, DeviceNamesIncludeSuperscriptDigits) {
  for (const std::u16string name : {u"COM\u00B9", u"lpt\u00B2.txt", u"Com\u00B3", u"LPT9"}) {
    EXPECT_TRUE(FakeNamesDevice(name)) << Utf8(name);
  }
  for (const std::u16string name : {u"COM0", u"LPT\u2074", u"COM10"}) {
    EXPECT_FALSE(FakeNamesDevice(name)) << Utf8(name);
  }
}

// The one rule every platform sweeps by: only `~faxjob-<digits>-<digits>.tmp`, in any case.
TEST(PlatformContractTest, TemporaryFileNamesAreTheProgramsOwnOnly) {
  for (const std::string_view name :
       {"~faxjob-1-2.tmp", "~FAXJOB-4242-17.TMP", "~faxjob-0-0.Tmp"}) {
    EXPECT_TRUE(IsTemporaryFileName(name)) << name;
    const std::u16string wide(name.begin(), name.end());
    EXPECT_TRUE(IsTemporaryFileName(std::u16string_view(wide))) << name;
  }
  for (const std::string_view name :
       {"~faxjob-notes.tmp", "~faxjob-12.tmp", "~faxjob--1.tmp", "~faxjob-1-.tmp",
        "~faxjob-1--2.tmp", "~faxjob-1-2-3.tmp", "~faxjob-1-2.tmp.txt", "faxjob-1-2.tmp",
        "~faxjob-\xef\xbc\x91-2.tmp", "~faxjob-.tmp", ""}) {
    EXPECT_FALSE(IsTemporaryFileName(name)) << name;
  }
}

}  // namespace
}  // namespace faxjob::testing
