// The program's own temporary names on Windows: a report written under one
// until it is whole, a file renamed aside to be removed, and the sweep of
// what runs ended from outside left behind. Renames go by handle, so no file
// is ever opened a second time by a name that something else may have taken.
#pragma once

#include <windows.h>

#include <string>

#include "platform/win32/support.h"

namespace faxjob::win32 {

/// The folder part of a full path, up to and including its last backslash; empty when it has none.
std::u16string FolderOf(const std::u16string& path);

/// Gives the open file `file` (opened with DELETE access) a new name of its own in `folder`
/// (kTemporaryFilePrefix); false when the system refuses, the file then keeping its name.
bool RenameAside(HANDLE file, const std::u16string& folder);

/// Gives the open file `file` (opened with DELETE access) the name `path`, replacing a file there;
/// another program's hold on that file is waited out. Returns why it failed, if it did.
SystemError RenameOnto(HANDLE file, const std::u16string& path);

/// Creates a new empty file under a name of its own in `folder`, with `access` and no sharing
/// but reading; `name` receives its path. Returns why it failed, if it did.
UniqueFile CreateTemporary(const std::u16string& folder, DWORD access, std::u16string& name,
                           SystemError& error);

/// See Files::RemoveFile.
bool RemoveFile(const std::u16string& path);

/// See Files::RemoveStaleTemporaryFiles.
void RemoveStaleTemporaryFiles(const std::u16string& folder) noexcept;

}  // namespace faxjob::win32
