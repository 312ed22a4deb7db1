#include "platform/win32/files.h"

#include <optional>
#include <utility>

#include "base/failure.h"
#include "platform/win32/errors.h"
#include "platform/win32/long_path.h"
#include "platform/win32/names.h"
#include "platform/win32/support.h"

namespace faxjob::win32 {

namespace {

DWORD gRenamedAside = 0;  // files renamed aside by this process

class Win32InputFile : public InputFile {
 public:
  explicit Win32InputFile(UniqueFile file) : file_(std::move(file)) {}

  // A network error that may be gone a moment later is tried again from where the read began.
  std::size_t Read(char* buffer, std::size_t size) override {
    DWORD read = 0;
    const SystemError error = WaitOut(
        [&] {
          if (ReadFile(file_.Get(), buffer, static_cast<DWORD>(size), &read, nullptr)) {
            return SystemError{};
          }
          const SystemError failed = LastSystemError();
          SetFilePointerEx(file_.Get(), offset_, nullptr, FILE_BEGIN);
          return failed;
        },
        [](const SystemError& failed) { return sharing_retry::IsNetworkBlip(failed.code); });
    if (error.code != ERROR_SUCCESS) throw Failure(FailureCodeFor(error.code, kDeviceIoError));
    offset_.QuadPart += read;
    return read;
  }

  bool IsSameFileAs(const std::u16string& path) override { return IsFileNamed(file_.Get(), path); }

  void Close() override {
    if (!file_.Close()) ThrowLastError(kDeviceIoError);
  }

 private:
  UniqueFile file_;
  LARGE_INTEGER offset_{};
};

// The armed report's file tells the fault path what it holds at every moment.
class Win32OutputFile : public OutputFile {
 public:
  Win32OutputFile(UniqueFile file, bool marked, fault_path::ReportWatch watch)
      : file_(std::move(file)), marked_(marked), watch_(std::move(watch)) {
    if (!GetFileSizeEx(file_.Get(), &end_)) end_.QuadPart = -1;  // never tried again
  }
  ~Win32OutputFile() override {
    // Given up without a Close: what it holds is in doubt.
    watch_.Changing();
    Unprotect();
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
            return WriteFile(file_.Get(), data, chunk, &written, nullptr) ? SystemError{}
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
    const bool closed = file_.Close();
    const DWORD error = GetLastError();
    watch_.Closed(closed);
    if (!closed) throw Failure(FailureCodeFor(error, kDeviceIoError));
  }

  bool marked() const override { return marked_; }

  void Keep() override {
    if (!marked_) return;
    watch_.Changing();
    if (!SetDeleteDisposition(file_.Get(), false)) ThrowLastError(kDeviceIoError);
    marked_ = false;
    watch_.Written();
  }

 private:
  // A write that failed for a moment on the network is tried again only where none of it
  // reached the file, from where it began: never a line twice or a gap.
  bool NothingLanded() {
    LARGE_INTEGER size;
    return end_.QuadPart >= 0 && GetFileSizeEx(file_.Get(), &size) &&
           size.QuadPart == end_.QuadPart &&
           SetFilePointerEx(file_.Get(), end_, nullptr, FILE_BEGIN);
  }

  // The fault path may take the report's handle over: protected from a library's stray
  // CloseHandle while open (see OpenOutput), and only the run closes it.
  void Unprotect() {
    if (file_) ProtectedFromClose(file_.Get(), false);
  }

  UniqueFile file_;
  LARGE_INTEGER end_;  // where the next write lands
  bool marked_;
  fault_path::ReportWatch watch_;
};

std::u16string Decimal(DWORD value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

UniqueFile CreateOutput(const std::u16string& path, DWORD access, DWORD disposition,
                        SystemError& error) {
  UniqueFile file(CreateFileW(Wide(path), access, FILE_SHARE_READ, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  error = file ? SystemError{} : LastSystemError();
  return file;
}

// Renames the file open in `file` and marked for removal to a new name in
// its folder, `~faxjob-<process>-<number>.tmp`, and returns that name.
// Returns none where the mark cannot be taken off for the rename: the file
// then goes under its own name when it is closed. Raises what RemoveFile
// raises; the file then stays as it was.
std::optional<std::u16string> RenameAside(const std::u16string& path, const UniqueFile& file) {
  const std::u16string folder = path.substr(0, path.rfind(u'\\') + 1);  // empty: none
  auto newName = [&] {
    return folder + u"~faxjob-" + Decimal(GetCurrentProcessId()) + u"-" + Decimal(++gRenamedAside) +
           u".tmp";
  };
  // A file pending removal cannot be renamed.
  if (!SetDeleteDisposition(file.Get(), false)) return std::nullopt;
  std::u16string aside = newName();
  for (int taken = 1; !MoveFileExW(Wide(path), Wide(aside), 0); ++taken) {
    const DWORD error = GetLastError();
    // Left by an earlier process of the same number: the next number.
    if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) || taken == 100) {
      throw Failure(FailureCodeFor(error, kAccessRefused));
    }
    aside = newName();
  }
  return aside;
}

// A path left in the device namespace, on no drive and no share: a pipe, a
// volume's GUID path, a device's own name.
bool InDeviceNamespaceOffDrive(const std::u16string& win32Path) {
  if (!win32Path.starts_with(u"\\\\.\\") && !win32Path.starts_with(u"\\\\?\\")) return false;
  return win32Path.size() < 7 || win32Path[5] != u':' || win32Path[6] != u'\\';
}

}  // namespace

bool OrdinaryFileMatches(const std::u16string& searchName) {
  // A device is no job file, whatever a search lists: the library would open it and wait on it.
  try {
    const std::u16string full = FullPathOf(searchName);
    if (NamesDevice(full) || InDeviceNamespaceOffDrive(Win32PathOf(full))) return false;
  } catch (const Failure& failure) {
    if (failure.code() != kBadFileName) throw;
    return false;  // a name that cannot be resolved names no file
  }
  WIN32_FIND_DATAW found;
  const UniqueFileSearch search(FindFirstFileW(Wide(searchName), &found));
  if (!search) {
    switch (const DWORD error = GetLastError()) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_NO_MORE_FILES:
      case ERROR_INVALID_NAME:
      case ERROR_BAD_PATHNAME:
      case ERROR_DIRECTORY:
      case ERROR_FILENAME_EXCED_RANGE:
        return false;
      default:
        throw Failure(FailureCodeFor(error, kAccessRefused));
    }
  }
  constexpr DWORD kNotOrdinary =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  do {
    if ((found.dwFileAttributes & kNotOrdinary) == 0) return true;
  } while (FindNextFileW(search.Get(), &found));
  return false;
}

std::unique_ptr<InputFile> OpenInput(const std::u16string& path) {
  SystemError error;
  UniqueFile file = CreateFileWaitingOut([](auto attempt) { return WaitOutTransient(attempt); },
                                         error, Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (!file) throw Failure(FailureCodeFor(error.code, kAccessRefused));
  return std::make_unique<Win32InputFile>(std::move(file));
}

std::unique_ptr<OutputFile> OpenOutput(const std::u16string& path, DWORD access, DWORD disposition,
                                       fault_path::ReportWatch watch) {
  // DELETE, for the mark that removes the file unless it is kept. Where the
  // file's access rules refuse it, the file is written unmarked.
  UniqueFile file;
  bool markable = true;
  const SystemError error = WaitOutTransient([&] {
    SystemError failed;
    file = CreateOutput(path, access | DELETE, disposition, failed);
    markable = true;
    if (!file && failed.code == ERROR_ACCESS_DENIED && !failed.held()) {
      file = CreateOutput(path, access, disposition, failed);
      markable = false;
    }
    return failed;
  });
  if (!file) {
    watch.OpenFailed();
    throw Failure(FailureCodeFor(error.code, kAccessRefused));
  }
  const bool marked = markable && SetDeleteDisposition(file.Get(), true);
  if (watch.watching()) ProtectedFromClose(file.Get());
  watch.Opened(file.Get());
  return std::make_unique<Win32OutputFile>(std::move(file), marked, std::move(watch));
}

// A removed file that another program still has open stays, pending, under
// its name until that program closes it, and the name can be neither opened
// nor created meanwhile. So the file is first renamed aside, within its
// folder, and then removed under the new name.
bool RemoveFile(const std::u16string& path) {
  SystemError error;
  // Shared with everyone, so that a program that shares the file's removal
  // does not stop it; one that does not is waited out.
  UniqueFile file = CreateFileWaitingOutHolds(
      error, Wide(path), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (!file) {
    if (error.code == ERROR_FILE_NOT_FOUND) return false;
    throw Failure(FailureCodeFor(error.code, kAccessRefused));
  }
  // A file that the system will not remove (read-only, a mapped program
  // file, a device) refuses the mark, and is left as it was.
  if (!SetDeleteDisposition(file.Get(), true)) ThrowLastError(kAccessRefused);
  const std::optional<std::u16string> aside = RenameAside(path, file);
  file.Close();
  if (!aside) {
    // Removed under its own name. Wine takes the removal of a file in a
    // folder the user may not write to and keeps the file: a name still
    // there must not pass for removed.
    if (GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES) throw Failure(kAccessRefused);
    return true;
  }
  // The name is free now. A renamed file that stays held beyond the wait is
  // left behind under its new name.
  WaitOutHolds([&] { return DeleteFileW(Wide(*aside)) ? SystemError{} : LastSystemError(); });
  return true;
}

}  // namespace faxjob::win32
