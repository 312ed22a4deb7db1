// Windows paths in the extended-length form `\\?\`, which no MAX_PATH limit
// applies to. The system takes such a path as it stands: no `..` or `.`
// resolved, no forward slashes turned, no trailing dots or spaces dropped, no
// device names, so only a full path that GetFullPathNameW has already
// normalised may be given this form. Pure text, so that the unit tests cover
// it on every platform.
#pragma once

#include <string>
#include <string_view>

namespace faxjob {

/// The extended-length form of a full path: `C:\a` gives `\\?\C:\a`, `\\server\share\a` gives
/// `\\?\UNC\server\share\a`. A path already in the device namespace (`\\?\`, `\\.\`), and any
/// that is not full, comes back unchanged.
std::u16string ExtendedLengthPathOf(std::u16string_view fullPath);

/// The path as it reads without the extended-length prefix: `\\?\C:\a` gives `C:\a`,
/// `\\?\UNC\server\share\a` gives `\\server\share\a`; any other path comes back unchanged.
std::u16string Win32PathOf(std::u16string_view path);

/// True for a name straight in the device namespace, without a folder below it: `\\.\NUL`,
/// which GetFullPathNameW makes of a device name, `\\?\C:`, a volume. Never a file.
bool IsDeviceNamespaceName(std::u16string_view path);

/// True when a full path names an alternate data stream of a file rather than the file: a `:`
/// after its drive, share or extended-length prefix (`C:\out\r.txt:x`, `RESULT.TXT::$DATA`, which
/// is the file's own data under another spelling). NTFS reads such a name as a stream of the
/// file before the colon, so writing it could change that file.
bool NamesStream(std::u16string_view fullPath);

}  // namespace faxjob
