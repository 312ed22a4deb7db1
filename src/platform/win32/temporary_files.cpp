#include "platform/win32/temporary_files.h"

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
  return folder + std::u16string(kLeftoverPrefix) + Decimal(gSystem.GetCurrentProcessId()) + u"-" +
         Decimal(++gTemporaries) + std::u16string(kLeftoverSuffix);
}

// The rename goes by handle: the system call takes the new name as a full
// path of the form the file calls take.
SystemError Rename(HANDLE file, const std::u16string& path, bool replace) {
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + path.size() * sizeof(char16_t));
  auto& rename = *reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename.ReplaceIfExists = replace;
  rename.RootDirectory = nullptr;
  // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): size_t and DWORD are both 32 bits here.
  rename.FileNameLength = static_cast<DWORD>(path.size() * sizeof(char16_t));
  std::copy(path.begin(), path.end() + 1, reinterpret_cast<char16_t*>(rename.FileName));
  return gSystem.SetFileInformationByHandle(file, FileRenameInfo, &rename,
                                            static_cast<DWORD>(buffer.size()))
             ? SystemError{}
             : LastSystemError();
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

bool IsLeftoverName(std::u16string_view name) {
  return name.size() > kLeftoverPrefix.size() + kLeftoverSuffix.size() &&
         EqualsIgnoringCase(name.substr(0, kLeftoverPrefix.size()), kLeftoverPrefix) &&
         EqualsIgnoringCase(name.substr(name.size() - kLeftoverSuffix.size()), kLeftoverSuffix);
}

}  // namespace

std::u16string FolderOf(const std::u16string& path) {
  const std::size_t lastBackslash = path.rfind(u'\\');
  return lastBackslash == std::u16string::npos ? std::u16string()
                                               : path.substr(0, lastBackslash + 1);
}

bool RenameAside(HANDLE file, const std::u16string& folder) {
  for (int taken = 1; taken <= 100; ++taken) {
    const SystemError error = Rename(file, NewTemporaryName(folder), false);
    // Left by an earlier process of the same number: the next number.
    if (error.code != ERROR_ALREADY_EXISTS && error.code != ERROR_FILE_EXISTS) {
      return error.code == ERROR_SUCCESS;
    }
  }
  return false;
}

SystemError RenameOnto(HANDLE file, const std::u16string& path) {
  return WaitOutHolds([&] { return Rename(file, path, true); });
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
// goes when its last holder closes it.
bool RemoveFile(const std::u16string& path) {
  constexpr DWORD kAnySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  SystemError error;
  // Shared with everyone, so that a program that shares the file's removal
  // does not stop it; one that does not is waited out.
  UniqueFile file = CreateFileWaitingOutHolds(error, Wide(path), DELETE, kAnySharing, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (!file) {
    if (error.code == ERROR_FILE_NOT_FOUND) return false;
    throw Failure(FailureCodeFor(error.code, kAccessRefused));
  }
  // A file that the system will not remove (read-only, a mapped program
  // file, a device) refuses the mark, and is left as it was.
  if (!SetDeleteDisposition(file.Get(), true)) ThrowLastError(kAccessRefused);
  // A file pending removal cannot be renamed: the mark is taken back, and the
  // file opened again through this handle to go when it is closed, whatever
  // ends this process from here on.
  const bool unmarked = SetDeleteDisposition(file.Get(), false);
  UniqueFile goes(unmarked
                      ? gSystem.ReOpenFile(file.Get(), DELETE, kAnySharing,
                                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_DELETE_ON_CLOSE)
                      : INVALID_HANDLE_VALUE);
  if (goes) {
    file.Close();
    RenameAside(goes.Get(), FolderOf(path));  // refused: it goes under its own name
    goes.Close();
  } else if (unmarked && !SetDeleteDisposition(file.Get(), true)) {
    ThrowLastError(kAccessRefused);
  }
  file.Close();
  // Wine takes the removal of a file in a folder the user may not write to
  // and keeps the file: a name still there must not pass for removed.
  if (gSystem.GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES)
    throw Failure(kAccessRefused);
  return true;
}

void RemoveLeftovers(const std::u16string& folder) noexcept {
  try {
    WIN32_FIND_DATAW found;
    const UniqueFileSearch search(gSystem.FindFirstFileW(
        Wide(folder + std::u16string(kLeftoverPrefix) + u"*" + std::u16string(kLeftoverSuffix)),
        &found));
    if (!search) return;
    do {
      const std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IsLeftoverName(name)) {
        continue;
      }
      // Shared with nobody: a file that anyone holds open is in use, and stays.
      const UniqueFile leftover(gSystem.CreateFileW(Wide(folder + name), DELETE, 0, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                                    nullptr));
      if (leftover) SetDeleteDisposition(leftover.Get(), true);
    } while (gSystem.FindNextFileW(search.Get(), &found));
  } catch (...) {
    // Out of memory: what stays is removed by a later run.
  }
}

}  // namespace faxjob::win32
