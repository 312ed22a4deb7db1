// The in-memory platform's open files: what reading and writing do to the
// world, and what the output file tells the fault path.
#include "fake_open_files.h"

#include <algorithm>
#include <set>
#include <string>
#include <utility>

#include "fake_platform.h"

namespace faxjob::testing {

namespace {

// An open file's place in the fake's bookkeeping; closed at most once.
class OpenFileEntry {
 public:
  OpenFileEntry(FakePlatform& platform, std::u16string path, std::set<std::u16string>& openSet,
                std::string closeEvent)
      : platform_(platform),
        path_(std::move(path)),
        openSet_(openSet),
        closeEvent_(std::move(closeEvent)) {}
  OpenFileEntry(const OpenFileEntry&) = delete;
  OpenFileEntry& operator=(const OpenFileEntry&) = delete;
  ~OpenFileEntry() { Release(); }

  // Closing gives the handle up even when the call then fails, as on Windows.
  void Close() {
    Release();
    platform_.Call(closeEvent_.c_str());
  }
  FakePlatform& platform() const { return platform_; }
  const std::u16string& path() const { return path_; }
  // Renamed by handle: still open, under another name.
  void Rename(const std::u16string& path) {
    openSet_.erase(path_);
    path_ = path;
    openSet_.insert(path_);
  }

 private:
  void Release() {
    if (open_) {
      open_ = false;
      openSet_.erase(path_);
      platform_.observed.events.push_back(closeEvent_ + " " + Utf8(path_));
    }
  }

  FakePlatform& platform_;
  std::u16string path_;
  std::set<std::u16string>& openSet_;
  std::string closeEvent_;
  bool open_ = true;
};

class FakeInputFile : public InputFile {
 public:
  FakeInputFile(FakePlatform& platform, std::u16string path)
      : entry_(platform, std::move(path), platform.world.openForReading, "close-read"),
        content_(platform.world.files.at(entry_.path())) {}

  std::size_t Read(char* buffer, std::size_t size) override {
    FakePlatform& platform = entry_.platform();
    platform.Call("Read");
    platform.files.WaitOutHold(entry_.path(), FakeFiles::Retried::kNetwork, kDeviceIoError);
    const std::string& content = content_;
    const std::size_t count = std::min(
        {size, platform.world.readChunk, content.size() - std::min(offset_, content.size())});
    std::copy_n(content.data() + offset_, count, buffer);
    offset_ += count;
    return count;
  }

  bool IsSameFileAs(const std::u16string& path) override {
    entry_.platform().Call("IsSameFileAs");
    return entry_.platform().files.FileReachedBy(path) == entry_.path();  // by identity, as Windows
  }

  void Close() override { entry_.Close(); }

 private:
  OpenFileEntry entry_;
  const std::string& content_;  // map nodes stay put while other files change
  std::size_t offset_ = 0;
};

// Like Windows: a file whose delete disposition is set goes when its handle is
// closed. A new file is a temporary file until Keep renames it onto `target_`.
// True when another program has `path` open now, without sharing its deletion; takes one try
// of the hold.
bool HeldNow(FakePlatform& platform, const std::u16string& path) {
  for (FakeWorld::Hold& hold : platform.world.holds) {
    if (hold.path == path && hold.tries > 0 && hold.error != sharing_retry::kAccessDenied &&
        !sharing_retry::IsNetworkBlip(hold.error) &&
        static_cast<int>(platform.observed.calls.size()) >= hold.fromCall) {
      --hold.tries;
      return true;
    }
  }
  return false;
}

class FakeOutputFile : public OutputFile {
 public:
  FakeOutputFile(FakePlatform& platform, std::u16string path, std::u16string target,
                 bool deleteDisposition, bool isFaultReport)
      : entry_(platform, std::move(path), platform.world.openForWriting, "close-write"),
        target_(std::move(target)),
        isFaultReport_(isFaultReport),
        deleteDisposition_(deleteDisposition) {
    if (deleteDisposition_) platform.world.deletePending.insert(entry_.path());
    if (isFaultReport_ && !target_.empty()) platform.observed.faultReportTemporary = entry_.path();
  }
  ~FakeOutputFile() override {
    if (!closed_) Tell(ReportStage::kInDoubt);
    DeleteIfDispositionSet();
  }

  bool hasDeleteDisposition() const override { return deleteDisposition_; }

  void Keep() override {
    FakePlatform& platform = entry_.platform();
    platform.Call("Keep");
    if (std::exchange(deleteDisposition_, false)) platform.world.deletePending.erase(entry_.path());
    if (target_.empty()) return Tell(ReportStage::kKept);
    // The rename onto the path is a call of its own, and meets another program's hold there;
    // where it fails, its delete disposition is set again, to go when it is closed.
    try {
      platform.Call("RenameOntoPath");
      // Like Windows: a target that another program has open without sharing its deletion, or a
      // read-only one, refuses to be replaced as access denied; it is moved aside, a deletion that
      // meets the sharing violation and waits it out, and the rename is tried again.
      if (platform.world.files.count(target_) != 0 &&
          (platform.world.readOnlyFiles.erase(target_) != 0 || HeldNow(platform, target_))) {
        platform.files.WaitOutHold(target_);
        platform.world.files.erase(target_);
      }
      platform.files.WaitOutHold(target_);
    } catch (...) {
      deleteDisposition_ = platform.world.deletePending.insert(entry_.path()).second;
      throw;
    }
    platform.world.files[target_] = std::move(platform.world.files[entry_.path()]);
    platform.world.files.erase(entry_.path());
    entry_.Rename(target_);
    target_.clear();
    if (isFaultReport_) platform.observed.faultReportTemporary.reset();
    Tell(ReportStage::kKept);
  }

  void Write(const char* data, std::size_t size) override {
    FakePlatform& platform = entry_.platform();
    Tell(ReportStage::kInDoubt);
    platform.Call("Write");
    // The share's moment of failure, as the report's path meets it.
    platform.files.WaitOutHold(target_.empty() ? entry_.path() : target_,
                               FakeFiles::Retried::kNetwork, kDeviceIoError);
    const std::size_t fits = std::min(size, platform.world.diskSpace);
    platform.world.files[entry_.path()].append(data, fits);
    platform.world.diskSpace -= fits;
    if (fits < size) throw Failure(kDiskFull);
    Tell(ReportStage::kOpen);
  }

  void Close() override {
    closed_ = true;
    Tell(ReportStage::kInDoubt);
    DeleteIfDispositionSet();
    entry_.Close();
    Tell(ReportStage::kClosed);
  }

 private:
  // A kept report stays kept, whatever happens to its file.
  void Tell(ReportStage where) {
    ReportStage& stage = entry_.platform().observed.faultReport;
    if (isFaultReport_ && stage != ReportStage::kKept) stage = where;
  }
  void DeleteIfDispositionSet() {
    FakePlatform& platform = entry_.platform();
    if (deleteDisposition_ && platform.world.deletePending.erase(entry_.path()) != 0) {
      platform.world.files.erase(entry_.path());
    }
    if (isFaultReport_ && !target_.empty()) platform.observed.faultReportTemporary.reset();
  }

  OpenFileEntry entry_;
  std::u16string target_;
  bool isFaultReport_;
  bool closed_ = false;
  bool deleteDisposition_;
};

}  // namespace

std::unique_ptr<InputFile> MakeFakeInputFile(FakePlatform& platform, std::u16string path) {
  return std::make_unique<FakeInputFile>(platform, std::move(path));
}

std::unique_ptr<OutputFile> MakeFakeOutputFile(FakePlatform& platform, std::u16string path,
                                               std::u16string target, bool deleteDisposition,
                                               bool isFaultReport) {
  return std::make_unique<FakeOutputFile>(platform, std::move(path), std::move(target),
                                          deleteDisposition, isFaultReport);
}

}  // namespace faxjob::testing
