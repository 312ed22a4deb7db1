// Names on Windows: paths as the file system reads them, the file a path
// reaches, and text in the ANSI code page.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace faxjob::win32 {

/// See Files::FullPathOf.
std::u16string FullPathOf(const std::u16string& path);
/// See Files::CanNeverCreate.
bool CanNeverCreate(const std::u16string& path);
/// True when a full path names a device as the running system reads it (`\\.\COM1`, `NUL`,
/// `LPT1.txt` up to Windows 10).
bool NamesDevice(const std::u16string& fullPath);
/// See Files::IsSameFile: by the volume and the file's id, or by the normalised full paths
/// where the id is all zeros or all ones.
bool IsSameFile(const std::u16string& first, const std::u16string& second);
/// True when `path` names the file open in `file` by the name `name`, by identity (by the
/// normalised full paths where the file system gives no file an identity). See
/// InputFile::IsSameFileAs.
bool IsFileNamed(HANDLE file, const std::u16string& name, const std::u16string& path);
/// See Text::ToNarrow, ToNarrowExactly, FromNarrow and NarrowCharLength.
std::string ToNarrow(std::u16string_view text);
std::string ToNarrowExactly(std::u16string_view text);
std::u16string FromNarrow(std::string_view bytes);
std::size_t NarrowCharLength(unsigned char leadByte);

}  // namespace faxjob::win32
