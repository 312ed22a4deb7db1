// The in-memory platform's files: opening, deleting, the temporary files,
// the folder's turn, and the holds of other programs, waited out as the
// program waits them out.
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "fake_open_files.h"
#include "fake_platform.h"
#include "platform/sharing_retry.h"

namespace faxjob::testing {

std::u16string FakeFiles::FolderOf(const std::u16string& path) {
  const std::size_t slash = path.rfind(u'\\');
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

void FakeFiles::CheckFolder(const std::u16string& path) const {
  const std::u16string folder = FolderOf(path);
  if (!folder.empty() && platform_.world.folders.count(folder) == 0) throw Failure(kPathNotFound);
}

void FakeFiles::WaitOutHold(const std::u16string& path, Retried retried, std::int32_t failureCode) {
  const int call = static_cast<int>(platform_.observed.calls.size());
  const bool networkOnly = retried == Retried::kNetwork;  // a read or write, or a new name
  struct Outcome {
    std::uint32_t error = 0;
    std::uint32_t ntStatus = 0;
  };
  auto attempt = [&]() -> Outcome {
    for (FakeWorld::Hold& hold : platform_.world.holds) {
      const bool network = sharing_retry::IsNetworkBlip(hold.error);
      if (hold.path == path && call >= hold.fromCall && hold.tries > 0 &&
          (network || !networkOnly)) {
        --hold.tries;
        return {hold.error, hold.ntStatus};
      }
    }
    return {};
  };
  const Outcome last = sharing_retry::WaitOut(
      attempt,
      [retried](Outcome failed) {
        return (retried != Retried::kNetwork &&
                sharing_retry::IsHeld(failed.error, failed.ntStatus)) ||
               (retried != Retried::kHolds && sharing_retry::IsNetworkBlip(failed.error));
      },
      [this](unsigned milliseconds) { platform_.observed.waitsMs.push_back(milliseconds); });
  if (sharing_retry::IsNetworkBlip(last.error)) throw Failure(failureCode);
  // As the platform's table of errors says: a pending deletion is refused access.
  if (last.error == sharing_retry::kAccessDenied) throw Failure(kAccessRefused);
  if (last.error != 0) throw Failure(kHeldByAnotherProcess);
}

namespace {

// The lock file stays open for the whole turn, written to by nobody else and
// never removed, as on Windows.
class FakeFolderTurn : public FolderTurn {
 public:
  FakeFolderTurn(FakePlatform& platform, std::u16string folder, std::u16string lockFile)
      : platform_(platform), folder_(std::move(folder)), lockFile_(std::move(lockFile)) {
    platform_.world.openForWriting.insert(lockFile_);
    platform_.observed.events.push_back("turn-take " + Utf8(folder_));
  }
  ~FakeFolderTurn() override {
    platform_.world.openForWriting.erase(lockFile_);
    platform_.observed.events.push_back("turn-give " + Utf8(folder_));
  }

 private:
  FakePlatform& platform_;
  std::u16string folder_;
  std::u16string lockFile_;
};

}  // namespace

std::unique_ptr<FolderTurn> FakeFiles::TakeFolderTurn(const std::u16string& given) {
  platform_.Call("TakeFolderTurn");
  const std::u16string folder = Reach(given);
  std::u16string lockFile = given;
  if (!lockFile.empty() && lockFile.back() != u'\\') lockFile += u'\\';
  lockFile = Resolve(Reach(lockFile + std::u16string(kFolderTurnFileName)));
  CheckFolder(lockFile);
  if (platform_.world.folders.count(lockFile) != 0) throw Failure(kAccessRefused);
  platform_.world.files.try_emplace(lockFile);
  return std::make_unique<FakeFolderTurn>(platform_, folder, lockFile);
}

std::unique_ptr<InputFile> FakeFiles::OpenForReading(const std::u16string& given) {
  platform_.Call("OpenForReading");
  const std::u16string path = Reach(given);
  CheckFolder(path);
  WaitOutHold(path, Retried::kHoldsAndNetwork);
  if (platform_.world.folders.count(path) != 0) throw Failure(kAccessRefused);
  if (platform_.world.files.count(path) == 0) throw Failure(kFileNotFound);
  // Like Windows: a file open for writing without read sharing cannot be opened.
  if (platform_.world.openForWriting.count(path) != 0) throw Failure(kHeldByAnotherProcess);
  platform_.world.openForReading.insert(path);
  platform_.observed.events.push_back("open-read " + Utf8(path));
  return MakeFakeInputFile(platform_, path);
}

// Like Windows: a new file is created as a temporary file, and only then
// given its delete disposition, in a call of its own. Where the delete
// disposition is refused, the file is written without one at its path.
std::unique_ptr<OutputFile> FakeFiles::OpenForWriting(const std::u16string& given) {
  platform_.Call("OpenForWriting");
  const std::u16string path = Reach(given);
  CheckWritable(path);
  platform_.observed.events.push_back("open-write " + Utf8(path));
  if (platform_.world.deleteRefused.count(path) != 0) {
    WaitOutHold(path, Retried::kHoldsAndNetwork);
    platform_.world.files[path].clear();
    return OpenedOutput(path, std::u16string(), false);
  }
  // A temporary file meets no hold, but the share's moment of failure all the same.
  WaitOutHold(path, Retried::kNetwork);
  const std::u16string temporary = NewTemporaryName(path);
  platform_.world.files[temporary].clear();
  platform_.world.openForWriting.insert(temporary);
  // Like Windows on a file server: no delete disposition, which some servers mishandle.
  if (platform_.world.remoteFolders.count(FolderOf(path)) != 0) {
    return OpenedOutput(temporary, path, false);
  }
  platform_.Call("SetDeleteDisposition");
  return OpenedOutput(temporary, path, true);
}

std::unique_ptr<OutputFile> FakeFiles::OpenForAppending(const std::u16string& given) {
  platform_.Call("OpenForAppending");
  const std::u16string path = Reach(given);
  WaitOutHold(path, Retried::kHoldsAndNetwork);
  CheckWritable(path);
  if (platform_.world.files.count(path) == 0) throw Failure(kFileNotFound);
  platform_.observed.events.push_back("open-append " + Utf8(path));
  return OpenedOutput(path, std::u16string(),
                      platform_.world.deleteRefused.count(path) == 0 &&
                          platform_.world.remoteFolders.count(FolderOf(path)) == 0);
}

std::u16string FakeFiles::NewTemporaryName(const std::u16string& path) {
  const std::string number = std::to_string(++platform_.world.temporaryFiles);
  return FolderOf(path) + u"\\" + std::u16string(kTemporaryFilePrefix) + u"1-" +
         std::u16string(number.begin(), number.end()) + std::u16string(kTemporaryFileSuffix);
}

bool FakeFiles::RemoveFile(const std::u16string& given) {
  platform_.Call("RemoveFile");
  const std::u16string path = Reach(given);
  CheckFolder(path);
  WaitOutHold(path);
  if (platform_.world.folders.count(path) != 0 || platform_.world.readOnlyFiles.count(path) != 0)
    throw Failure(kAccessRefused);
  if (platform_.world.files.count(path) == 0) return false;
  // Like Windows: the program never shares delete access to a file it has open.
  if (platform_.world.openForReading.count(path) != 0 ||
      platform_.world.openForWriting.count(path) != 0) {
    throw Failure(kHeldByAnotherProcess);
  }
  // Like Windows: from here the file goes when the last handle to it is
  // closed; it is renamed aside, then closed, each a call of its own.
  platform_.observed.events.push_back("remove " + Utf8(path));
  platform_.world.deletePending.insert(path);
  platform_.Call("RenameAside");
  const std::u16string aside = NewTemporaryName(path);
  platform_.world.files[aside] = std::move(platform_.world.files[path]);
  platform_.world.files.erase(path);
  platform_.world.deletePending.erase(path);
  platform_.world.deletePending.insert(aside);
  platform_.Call("CloseRemoved");
  platform_.world.files.erase(aside);
  platform_.world.deletePending.erase(aside);
  return true;
}

void FakeFiles::RemoveStaleTemporaryFiles(const std::u16string& given) noexcept {
  try {
    platform_.Call("RemoveStaleTemporaryFiles");
    const std::u16string folder =
        Reach(given.empty() ? platform_.world.currentFolder + u"\\" : given);
    for (auto file = platform_.world.files.begin(); file != platform_.world.files.end();) {
      const std::u16string& path = file->first;
      const bool temporary = path.starts_with(folder) &&
                             path.find(u'\\', folder.size()) == std::u16string::npos &&
                             IsTemporaryFileName(std::u16string_view(path).substr(folder.size()));
      const bool held = platform_.world.openForReading.count(path) != 0 ||
                        platform_.world.openForWriting.count(path) != 0 ||
                        platform_.world.deletePending.count(path) != 0;
      file = temporary && !held ? platform_.world.files.erase(file) : std::next(file);
    }
  } catch (...) {
    // Raises nothing, as the platform's contract says: what stays, stays.
  }
}

void FakeFiles::CheckWritable(const std::u16string& path) const {
  CheckFolder(path);
  if (platform_.world.folders.count(path) != 0 || platform_.world.readOnlyFiles.count(path) != 0 ||
      platform_.world.hiddenFiles.count(path) != 0 ||
      platform_.world.systemFiles.count(path) != 0) {
    throw Failure(kAccessRefused);
  }
  if (platform_.world.openForReading.count(path) != 0 ||
      platform_.world.openForWriting.count(path) != 0) {
    throw Failure(kHeldByAnotherProcess);
  }
}

std::unique_ptr<OutputFile> FakeFiles::OpenedOutput(const std::u16string& path,
                                                    const std::u16string& target,
                                                    bool deleteDisposition) {
  const std::u16string& report = target.empty() ? path : target;
  const bool isFaultReport =
      platform_.observed.faultPath && platform_.observed.faultPath->reportPath == report;
  if (isFaultReport) platform_.observed.faultReport = ReportStage::kOpen;
  platform_.world.openForWriting.insert(path);
  return MakeFakeOutputFile(platform_, path, target, deleteDisposition, isFaultReport);
}

}  // namespace faxjob::testing
