#include "platform/win32/files.h"

#include <optional>
#include <utility>

#include "base/bench_guards.h"
#include "base/failure.h"
#include "platform/win32/errors.h"
#include "platform/win32/long_path.h"
#include "platform/win32/names.h"
#include "platform/win32/support.h"
#include "platform/win32/temporary_files.h"

namespace faxjob::win32 {

namespace {

class Win32InputFile : public InputFile {
 public:
  Win32InputFile(UniqueFile file, std::u16string path)
      : file_(std::move(file)), path_(std::move(path)) {}

  // A network error that may be gone a moment later is tried again from where the read began.
  std::size_t Read(char* buffer, std::size_t size) override {
    DWORD read = 0;
    const SystemError error = WaitOut(
        [&] {
          if (gSystem.ReadFile(file_.Get(), buffer, static_cast<DWORD>(size), &read, nullptr)) {
            return SystemError{};
          }
          const SystemError failed = LastSystemError();
          gSystem.SetFilePointerEx(file_.Get(), offset_, nullptr, FILE_BEGIN);
          return failed;
        },
        [](const SystemError& failed) { return sharing_retry::IsNetworkBlip(failed.code); });
    if (error.code != ERROR_SUCCESS) throw Failure(FailureCodeFor(error.code, kDeviceIoError));
    offset_.QuadPart += read;
    return read;
  }

  bool IsSameFileAs(const std::u16string& path) override {
    return IsFileNamed(file_.Get(), path_, path);
  }

  void Close() override {
    if (!file_.Close()) ThrowLastError(kDeviceIoError);
  }

 private:
  UniqueFile file_;
  std::u16string path_;  // as it was opened
  LARGE_INTEGER offset_{};
};

UniqueFile OpenOutputFile(const std::u16string& path, DWORD access, DWORD disposition,
                          SystemError& error) {
  UniqueFile file(gSystem.CreateFileW(Wide(path), access, FILE_SHARE_READ, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  error = file ? SystemError{} : LastSystemError();
  return file;
}

// Some file servers and NAS boxes mishandle a delete disposition that is set
// and then taken back, so that keeping the report would fail after every
// call; and a remote file may fail delayed writes after it is closed. Asked
// of the handle, so that a link or junction to a share, a substituted
// network drive or a DFS mount point counts as what it is: a local file
// system refuses the information class.
bool IsRemote(HANDLE file) {
  FILE_REMOTE_PROTOCOL_INFO protocol{};
  return gSystem.GetFileInformationByHandleEx(file, FileRemoteProtocolInfo, &protocol,
                                              sizeof protocol) != 0;
}

// The armed report's file tells the fault path what it holds at every moment.
// A new file is written under a name of its own and renamed onto its path
// when it is kept: `path_` is empty when it lies under its path already.
class Win32OutputFile : public OutputFile {
 public:
  Win32OutputFile(UniqueFile file, bool deleteDisposition, bool remote,
                  std::u16string temporaryName, std::u16string path, fault_path::ReportWatch watch)
      : file_(std::move(file)),
        deleteDisposition_(deleteDisposition),
        remote_(remote),
        temporaryName_(std::move(temporaryName)),
        path_(std::move(path)),
        watch_(std::move(watch)) {
    if (!gSystem.GetFileSizeEx(file_.Get(), &end_)) end_.QuadPart = -1;  // never tried again
    if (watch_.watching()) ProtectedFromClose(file_.Get());
    watch_.Opened(file_.Get(), path_.empty() ? nullptr : temporaryName_.c_str());
  }
  ~Win32OutputFile() override {
    // Given up without a Close: what it holds is in doubt.
    watch_.Changing();
    Unprotect();
    RemoveUnkept();
    file_.Close();
    watch_.Closed(false);
  }

  void Write(const char* data, std::size_t size) override {
    watch_.Changing();
    while (size > 0) {
      const DWORD chunk = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
      DWORD written = 0;
      const SystemError error = WaitOut(
          [&] {
            return gSystem.WriteFile(file_.Get(), data, chunk, &written, nullptr)
                       ? SystemError{}
                       : LastSystemError();
          },
          [&](const SystemError& failed) {
            return sharing_retry::IsNetworkBlip(failed.code) && NothingLanded();
          });
      if (error.code != ERROR_SUCCESS) throw Failure(FailureCodeFor(error.code, kDeviceIoError));
      end_.QuadPart += written;
      // A full disk may report success with fewer bytes, or none, written.
      if (written == 0) throw Failure(kDiskFull);
      data += written;
      size -= written;
    }
    watch_.Written();
  }

  void Close() override {
    watch_.Changing();
    Unprotect();
    RemoveUnkept();
    const bool closed = file_.Close();
    const DWORD error = GetLastError();
    watch_.Closed(closed);
    if (!closed) throw Failure(FailureCodeFor(error, kDeviceIoError));
  }

  bool hasDeleteDisposition() const override { return deleteDisposition_; }

  // From the moment the report is whole under its path it is final: the fault path leaves it.
  void Keep() override {
    watch_.Changing();
    if (remote_ && !gSystem.FlushFileBuffers(file_.Get())) {
      ThrowLastError(kDeviceIoError);
    }
    if (path_.empty())
      watch_.Keeping();  // whole under its path once its delete disposition is cleared
    if (deleteDisposition_ && !SetDeleteDisposition(file_.Get(), false)) {
      const DWORD error = GetLastError();
      watch_.Kept(false);
      throw Failure(FailureCodeFor(error, kDeviceIoError));
    }
    deleteDisposition_ = false;
    if (!path_.empty()) {
      watch_.Keeping();
      const SystemError error = RenameOnto(file_.Get(), path_);
      if (error.code != ERROR_SUCCESS) {
        watch_.Kept(false);
        deleteDisposition_ = SetDeleteDisposition(file_.Get(), true);  // to go when it is closed
        throw Failure(FailureCodeFor(error.code, kAccessRefused));
      }
      path_.clear();
    }
    watch_.Kept(true);
  }

 private:
  // A write that failed for a moment on the network is tried again only where none of it
  // reached the file, from where it began: never a line twice or a gap.
  bool NothingLanded() {
    LARGE_INTEGER size;
    return end_.QuadPart >= 0 && gSystem.GetFileSizeEx(file_.Get(), &size) &&
           size.QuadPart == end_.QuadPart &&
           gSystem.SetFilePointerEx(file_.Get(), end_, nullptr, FILE_BEGIN);
  }

  // A remote file under a name of its own, never given a delete disposition,
  // that is not kept: given one now, once, to go when it is closed.
  void RemoveUnkept() {
    if (file_ && !deleteDisposition_ && !path_.empty())
      deleteDisposition_ = SetDeleteDisposition(file_.Get(), true);
  }

  // The fault path may take the report's handle over: protected from a library's stray
  // CloseHandle while open (see OpenOutput), and only the run closes it.
  void Unprotect() {
    if (file_) ProtectedFromClose(file_.Get(), false);
  }

  UniqueFile file_;
  LARGE_INTEGER end_;  // where the next write lands
  bool deleteDisposition_;
  bool remote_;  // flushed before it is kept, and never given a delete disposition
  std::u16string temporaryName_;
  std::u16string path_;
  fault_path::ReportWatch watch_;
};

}  // namespace

std::unique_ptr<InputFile> OpenInput(const std::u16string& path) {
  SystemError error;
  UniqueFile file = CreateFileWaitingOut([](auto attempt) { return WaitOutTransient(attempt); },
                                         error, Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (!file) throw Failure(FailureCodeFor(error.code, kAccessRefused));
  return std::make_unique<Win32InputFile>(std::move(file), path);
}

std::unique_ptr<OutputFile> CreateOutput(const std::u16string& path,
                                         fault_path::ReportWatch watch) {
  // A temporary file with its delete disposition set at once: at no moment is
  // anything at the path that is not whole. DELETE, for the disposition and the
  // rename. Where the file's access rules refuse either, the file is written
  // without a delete disposition under its path.
  std::u16string temporaryName;
  UniqueFile file;
  // After the call: a moment's failure of the network is waited out.
  SystemError error = !Kept(Guard::kTemporaryReport)
                          ? SystemError{ERROR_ACCESS_DENIED, 0}
                          : WaitOut(
                                [&] {
                                  SystemError failed;
                                  file = CreateTemporary(FolderOf(path), GENERIC_WRITE | DELETE,
                                                         temporaryName, failed);
                                  return failed;
                                },
                                [](const SystemError& failed) {
                                  return sharing_retry::IsNetworkBlip(failed.code);
                                });
  // A remote file is written without a delete disposition as a temporary file: a run ended
  // from outside leaves it there, for the next run's sweep.
  const bool remote = file && IsRemote(file.Get());
  if (file && (remote || SetDeleteDisposition(file.Get(), true))) {
    return std::make_unique<Win32OutputFile>(std::move(file), !remote, remote,
                                             std::move(temporaryName), path, std::move(watch));
  }
  if (file) {
    file.Reset();
    gSystem.DeleteFileW(Wide(temporaryName));  // just made, and empty
  } else if (error.code != ERROR_ACCESS_DENIED) {
    watch.OpenFailed();
    throw Failure(FailureCodeFor(error.code, kAccessRefused));
  }
  error = WaitOutTransient([&] {
    SystemError failed;
    file = OpenOutputFile(path, GENERIC_WRITE, CREATE_ALWAYS, failed);
    return failed;
  });
  if (!file) {
    watch.OpenFailed();
    throw Failure(FailureCodeFor(error.code, kAccessRefused));
  }
  return std::make_unique<Win32OutputFile>(std::move(file), false, IsRemote(file.Get()),
                                           std::u16string(), std::u16string(), std::move(watch));
}

std::unique_ptr<OutputFile> AppendOutput(const std::u16string& path,
                                         fault_path::ReportWatch watch) {
  // Append access alone: every write lands after the last byte. DELETE, for
  // the delete disposition that removes the file unless it is kept.
  UniqueFile file;
  bool mayDelete = true;
  const SystemError error = WaitOutTransient([&] {
    SystemError failed;
    file = OpenOutputFile(path, FILE_APPEND_DATA | DELETE, OPEN_EXISTING, failed);
    mayDelete = true;
    if (!file && failed.code == ERROR_ACCESS_DENIED && !failed.held()) {
      file = OpenOutputFile(path, FILE_APPEND_DATA, OPEN_EXISTING, failed);
      mayDelete = false;
    }
    return failed;
  });
  if (!file) {
    watch.OpenFailed();
    throw Failure(FailureCodeFor(error.code, kAccessRefused));
  }
  const bool remote = IsRemote(file.Get());
  const bool deleteDisposition = mayDelete && !remote && SetDeleteDisposition(file.Get(), true);
  return std::make_unique<Win32OutputFile>(std::move(file), deleteDisposition, remote,
                                           std::u16string(), std::u16string(), std::move(watch));
}

}  // namespace faxjob::win32
