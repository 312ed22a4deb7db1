#include "platform/win32/temporary_files.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "platform/platform.h"
#include "platform/win32/errors.h"

namespace faxjob::win32 {

namespace {

DWORD gTemporaries = 0;  // names made by this process

std::u16string Decimal(DWORD value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string NewTemporaryName(const std::u16string& folder) {
  return folder + std::u16string(kTemporaryFilePrefix) + Decimal(gSystem.GetCurrentProcessId()) +
         u"-" + Decimal(++gTemporaries) + std::u16string(kTemporaryFileSuffix);
}

// FILE_RENAME_INFO with flags in place of ReplaceIfExists (Windows 10 1809
// on): replacing, the POSIX way (a target that others hold open with delete
// sharing is unlinked at once), and over a read-only target.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplacingEverything = 0x1 | 0x2 | 0x40;  // FILE_RENAME_FLAG_*

// The rename goes by handle: the system call takes the new name as a full
// path of the form the file calls take. `flags` is ReplaceIfExists (0 or 1)
// for FileRenameInfo, FILE_RENAME_FLAG_* for kFileRenameInfoEx; the field
// lies at the start either way.
SystemError Rename(HANDLE file, const std::u16string& path, DWORD flags,
                   FILE_INFO_BY_HANDLE_CLASS form = FileRenameInfo) {
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + path.size() * sizeof(char16_t));
  auto& rename = *reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  std::memcpy(buffer.data(), &flags, sizeof flags);
  rename.RootDirectory = nullptr;
  // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): size_t and DWORD are both 32 bits here.
  rename.FileNameLength = static_cast<DWORD>(path.size() * sizeof(char16_t));
  std::copy(path.begin(), path.end() + 1, reinterpret_cast<char16_t*>(rename.FileName));
  return gSystem.SetFileInformationByHandle(file, form, &rename, static_cast<DWORD>(buffer.size()))
             ? SystemError{}
             : LastSystemError();
}

// How an information class that this system, this file system or this
// server does not know is refused (older Windows, FAT, SMB).
bool ClassRefused(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION;
}

// Takes the read-only attribute off the file open in `file`, so that it can
// be removed; false when it had none or the system refuses.
bool ClearReadOnly(HANDLE file) {
  FILE_BASIC_INFO basic;
  if (!gSystem.GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  constexpr DWORD kAnySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const UniqueFile writable(
      gSystem.ReOpenFile(file, FILE_WRITE_ATTRIBUTES, kAnySharing, FILE_FLAG_OPEN_REPARSE_POINT));
  FILE_BASIC_INFO cleared{};  // times of 0 stay as they are
  cleared.FileAttributes = basic.FileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
  if (cleared.FileAttributes == 0) cleared.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return writable && gSystem.SetFileInformationByHandle(writable.Get(), FileBasicInfo, &cleared,
                                                        sizeof cleared);
}

// One try at removing `path`, as RemoveFile says; ERROR_FILE_NOT_FOUND when
// there is none. `evenReadOnly`: a read-only file loses the attribute first.
SystemError TryRemove(const std::u16string& path, bool evenReadOnly) {
  constexpr DWORD kAnySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // Shared with everyone, so that a program that shares the file's removal
  // does not stop it.
  UniqueFile file(gSystem.CreateFileW(Wide(path), DELETE, kAnySharing, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return LastSystemError();
  // A file that the system will not remove (read-only, a mapped program
  // file, a device) refuses the delete disposition, and is left as it was.
  if (!SetDeleteDisposition(file.Get(), true)) {
    const SystemError refused = LastSystemError();
    if (!evenReadOnly || !ClearReadOnly(file.Get()) || !SetDeleteDisposition(file.Get(), true)) {
      return refused;
    }
  }
  // A file pending removal cannot be renamed: the disposition is taken back, and the
  // file opened again through this handle to go when it is closed, whatever
  // ends this process from here on.
  const bool dispositionCleared = SetDeleteDisposition(file.Get(), false);
  UniqueFile goes(dispositionCleared
                      ? gSystem.ReOpenFile(file.Get(), DELETE, kAnySharing,
                                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_DELETE_ON_CLOSE)
                      : INVALID_HANDLE_VALUE);
  if (goes) {
    file.Close();
    RenameAside(goes.Get(), FolderOf(path));  // refused: it goes under its own name
    goes.Close();
  } else if (dispositionCleared && !SetDeleteDisposition(file.Get(), true)) {
    return LastSystemError();
  }
  file.Close();
  // Wine takes the removal of a file in a folder the user may not write to
  // and keeps the file: a name still there must not pass for removed.
  if (gSystem.GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES) {
    return {ERROR_ACCESS_DENIED, 0};
  }
  return {};
}

}  // namespace

std::u16string FolderOf(const std::u16string& path) {
  const std::size_t lastBackslash = path.rfind(u'\\');
  return lastBackslash == std::u16string::npos ? std::u16string()
                                               : path.substr(0, lastBackslash + 1);
}

bool RenameAside(HANDLE file, const std::u16string& folder) {
  for (int taken = 1; taken <= 100; ++taken) {
    const SystemError error = Rename(file, NewTemporaryName(folder), FALSE);
    // Left by an earlier process of the same number: the next number.
    if (error.code != ERROR_ALREADY_EXISTS && error.code != ERROR_FILE_EXISTS) {
      return error.code == ERROR_SUCCESS;
    }
  }
  return false;
}

SystemError RenameOnto(HANDLE file, const std::u16string& path) {
  bool formOffered = true;
  auto rename = [&] {
    if (formOffered) {
      const SystemError error = Rename(file, path, kRenameReplacingEverything, kFileRenameInfoEx);
      if (!ClassRefused(error.code)) return error;
      formOffered = false;
    }
    return Rename(file, path, TRUE);
  };
  // A target that another program holds open without sharing its removal,
  // or a read-only one, refuses to be replaced as access denied: it is moved
  // aside, as RemoveFile removes a file, and the rename tried again, all
  // within the one bound of a hold.
  return WaitOutHolds([&] {
    const SystemError error = rename();
    if (error.code != ERROR_ACCESS_DENIED || error.held()) return error;
    const SystemError removal = TryRemove(path, true);
    return removal.code == ERROR_SUCCESS || removal.code == ERROR_FILE_NOT_FOUND ? rename()
                                                                                 : removal;
  });
}

UniqueFile CreateTemporary(const std::u16string& folder, DWORD access, std::u16string& name,
                           SystemError& error) {
  for (int taken = 1;; ++taken) {
    name = NewTemporaryName(folder);
    UniqueFile file(gSystem.CreateFileW(Wide(name), access, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    error = file ? SystemError{} : LastSystemError();
    if (file || (error.code != ERROR_FILE_EXISTS && error.code != ERROR_ALREADY_EXISTS) ||
        taken == 100) {
      return file;
    }
  }
}

// A removed file that another program still has open stays, pending, under
// its name until that program closes it, and the name can be neither opened
// nor created meanwhile. So the file is renamed aside, within its folder, and
// goes when its last holder closes it. A program that does not share the
// file's removal is waited out.
bool RemoveFile(const std::u16string& path) {
  const SystemError error = WaitOutHolds([&] { return TryRemove(path, false); });
  if (error.code == ERROR_FILE_NOT_FOUND) return false;
  if (error.code != ERROR_SUCCESS) throw Failure(FailureCodeFor(error.code, kAccessRefused));
  return true;
}

void RemoveStaleTemporaryFiles(const std::u16string& folder) noexcept {
  try {
    WIN32_FIND_DATAW found;
    const UniqueFileSearch search(
        gSystem.FindFirstFileW(Wide(folder + std::u16string(kTemporaryFilePrefix) + u"*" +
                                    std::u16string(kTemporaryFileSuffix)),
                               &found));
    if (!search) return;
    do {
      const std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
          !IsTemporaryFileName(std::u16string_view(name))) {
        continue;
      }
      // Shared with nobody: a file that anyone holds open is in use, and stays.
      const UniqueFile stale(gSystem.CreateFileW(Wide(folder + name), DELETE, 0, nullptr,
                                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                                 nullptr));
      if (stale) SetDeleteDisposition(stale.Get(), true);
    } while (gSystem.FindNextFileW(search.Get(), &found));
  } catch (...) {
    // Out of memory: what stays is removed by a later run.
  }
}

}  // namespace faxjob::win32
