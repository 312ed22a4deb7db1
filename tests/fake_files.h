// The in-memory platform's files. Like Windows, it refuses a second open of a
// file the program has open, deleting an open file, writing to a folder or a
// read-only file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "platform/files.h"

namespace faxjob::testing {

class FakePlatform;

class FakeFiles : public Files {
 public:
  explicit FakeFiles(FakePlatform& platform) : platform_(platform) {}

  // As GetFullPathNameW: forward slashes read as backslashes, `.` and `..` resolved, the last
  // name's trailing dots and spaces dropped, a drive-relative path (`D:r.txt`) resolved against
  // the current folder on its drive (its root where that is another drive), a device name
  // (`COM1`, `nul.txt`, as Windows 10 reads them) put into the device namespace (`\\.\COM1`).
  // Then the extended-length form; `\\?\` and `\\.\` paths stay as given.
  std::u16string FullPathOf(const std::u16string& path) override;
  static std::u16string NormalisedPathOf(const std::u16string& path, const std::u16string& folder);
  char16_t FolderSeparator() override { return u'\\'; }
  bool OrdinaryFileMatches(const std::u16string& searchName) override;
  bool CanNeverCreate(const std::u16string& path) override;
  bool NamesStream(const std::u16string& fullPath) override;
  bool IsSameFile(const std::u16string& first, const std::u16string& second) override;
  std::unique_ptr<FolderTurn> TakeFolderTurn(const std::u16string& folder) override;
  std::unique_ptr<InputFile> OpenForReading(const std::u16string& path) override;
  std::unique_ptr<OutputFile> OpenForWriting(const std::u16string& path) override;
  std::unique_ptr<OutputFile> OpenForAppending(const std::u16string& path) override;
  bool RemoveFile(const std::u16string& path) override;
  void RemoveStaleTemporaryFiles(const std::u16string& folder) noexcept override;

  // `path` resolved against the current folder, as the library resolves it.
  std::u16string Resolve(const std::u16string& path) const;
  // Like Windows without long-path support, a path of MAX_PATH characters or more reaches
  // nothing (ERROR_PATH_NOT_FOUND) unless it has the extended-length form. The path as the
  // world's files and folders name it, or none when it reaches nothing; Reach raises 76 then.
  std::optional<std::u16string> Reachable(const std::u16string& path) const;
  std::u16string Reach(const std::u16string& path) const;
  // The file `path` reaches, following the world's other names, in the letter case the world
  // holds it; none when it reaches no file.
  std::optional<std::u16string> FileReachedBy(const std::u16string& path) const;
  static std::u16string FolderOf(const std::u16string& path);
  void CheckFolder(const std::u16string& path) const;
  // Like Windows: no writing to a folder or a read-only file, and no creating over a hidden or
  // system file; no second open of a file the program has open, since it never shares write
  // access.
  void CheckWritable(const std::u16string& path) const;
  // Waits out a hold on `path` as the program does: holds at every open and removal, network
  // errors at the opens, reads and writes after the call. Raises 70 for a hold that outlasts the
  // waiting, `failureCode` for a network error, which a read or write alone meets.
  enum class Retried { kHolds, kHoldsAndNetwork, kNetwork };
  void WaitOutHold(const std::u16string& path, Retried retried = Retried::kHolds,
                   std::int32_t failureCode = kAccessRefused);

 private:
  // A new temporary file's name in the folder of `path`.
  std::u16string NewTemporaryName(const std::u16string& path);
  // A file open for writing at `path`, to be renamed onto `target` when kept (empty: none).
  std::unique_ptr<OutputFile> OpenedOutput(const std::u16string& path, const std::u16string& target,
                                           bool deleteDisposition);

  FakePlatform& platform_;
};

// True for a name Windows 10 reads as a device: CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9,
// in any letter case, also with an extension or trailing spaces before it (`nul.txt`, `CON .x`).
bool FakeNamesDevice(std::u16string_view name);

}  // namespace faxjob::testing
