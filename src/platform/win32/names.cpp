#include "platform/win32/names.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "base/failure.h"
#include "platform/win32/errors.h"
#include "platform/win32/long_path.h"
#include "platform/win32/support.h"

namespace faxjob::win32 {

namespace {

// Names the file system refuses to create: empty (a path ending in a
// backslash), or holding a reserved character.
bool HasRejectedCharacter(std::u16string_view name) {
  if (name.empty()) return true;
  for (char16_t c : name) {
    if (c < 0x20 || std::u16string_view(u"<>|\"*?").find(c) != std::u16string_view::npos) {
      return true;
    }
  }
  return false;
}

std::string Narrow(std::u16string_view text, UINT codePage, DWORD flags, BOOL* usedDefault) {
  if (text.empty()) return {};
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  const int size =
      gSystem.WideCharToMultiByte(codePage, flags, wide, length, nullptr, 0, nullptr, usedDefault);
  if (size <= 0) {
    if (GetLastError() == ERROR_NO_UNICODE_TRANSLATION) throw Failure(kBadFileName);
    ThrowLastError(kOutOfMemory);
  }
  std::string narrow(static_cast<std::size_t>(size), '\0');
  gSystem.WideCharToMultiByte(codePage, flags, wide, length, narrow.data(), size, nullptr,
                              usedDefault);
  return narrow;
}

// Opens a file or folder only to ask about it: no data access, any sharing.
UniqueFile OpenForQuery(const wchar_t* path) {
  return UniqueFile(gSystem.CreateFileW(
      path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// A file's identity: its volume's serial and its id. FILE_ID_INFO's 128-bit
// id where the file system gives it, since 64-bit indexes are not unique on
// ReFS; the older 32-bit serial and 64-bit index elsewhere (Windows 7, FAT).
struct FileIdentity {
  bool wide = false;  // the two forms are never compared with each other
  ULONGLONG volume = 0;
  BYTE id[16] = {};
  bool operator==(const FileIdentity&) const = default;
  // Some redirectors and RAM disks give every file the id 0, or all ones: no identity.
  bool known() const {
    const std::size_t size = wide ? sizeof id : sizeof(ULONGLONG);
    const auto every = [&](BYTE value) {
      return std::all_of(id, id + size, [value](BYTE b) { return b == value; });
    };
    return !every(0) && !every(0xFF);
  }
};

std::optional<FileIdentity> IdentityOf(HANDLE file) {
  FileIdentity identity;
  FILE_ID_INFO wide;
  if (gSystem.GetFileInformationByHandleEx(file, FileIdInfo, &wide, sizeof wide)) {
    identity.wide = true;
    identity.volume = wide.VolumeSerialNumber;
    std::memcpy(identity.id, wide.FileId.Identifier, sizeof identity.id);
    return identity;
  }
  BY_HANDLE_FILE_INFORMATION basic;
  if (!gSystem.GetFileInformationByHandle(file, &basic)) return std::nullopt;
  identity.volume = basic.dwVolumeSerialNumber;
  const ULONGLONG index = (ULONGLONG{basic.nFileIndexHigh} << 32) | basic.nFileIndexLow;
  std::memcpy(identity.id, &index, sizeof index);
  return identity;
}

// The file's 64-bit index alone (FileInternalInformation), which asks
// nothing of the volume: Wine answers the volume's serial through its mount
// manager, a round trip to another process for every file asked.
std::optional<ULONGLONG> IndexOf(HANDLE file) {
  constexpr int kFileInternalInformation = 6;
  const auto query = gSystem.NtQueryInformationFile;
  IO_STATUS_BLOCK status{};
  ULONGLONG index = 0;
  if (query == nullptr ||
      query(file, &status, &index, sizeof index, kFileInternalInformation) < 0 || index == 0 ||
      index == ~ULONGLONG{0}) {
    return std::nullopt;
  }
  return index;
}

// The same file by identity; where the file system gives none, by the
// normalised full paths, letter case aside. Two files whose indexes differ
// are two files on any file system: one file has one index, whichever handle
// asks, even where (ReFS) two files may share one.
bool SameFile(HANDLE a, const std::u16string& first, HANDLE b, const std::u16string& second) {
  const std::optional<ULONGLONG> index = IndexOf(a);
  const std::optional<ULONGLONG> otherIndex = index ? IndexOf(b) : std::nullopt;
  if (index && otherIndex && *index != *otherIndex) return false;
  const std::optional<FileIdentity> one = IdentityOf(a);
  const std::optional<FileIdentity> other = IdentityOf(b);
  if (!one || !other) return false;
  if (one->known() && other->known()) return one == other;
  std::u16string full;
  std::u16string otherFull;
  try {
    full = FullPathOf(first);
    otherFull = FullPathOf(second);
  } catch (const Failure& failure) {
    if (failure.code() == kOutOfMemory) throw;
    return false;  // a name that cannot be resolved names no file
  }
  return gSystem.CompareStringOrdinal(Wide(full), static_cast<int>(full.size()), Wide(otherFull),
                                      static_cast<int>(otherFull.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

// Its rules differ between versions (Windows 11 reads con.txt as a file,
// earlier ones as the console), so the running system is asked.
// GetFullPathNameW has already put a name it reads as a device straight into
// the device namespace (\\.\con); the extended-length form of a path is read
// without the prefix, as a caller reads the report.
bool NamesDevice(const std::u16string& fullPath) {
  if (IsDeviceNamespaceName(fullPath)) return true;
  const std::u16string win32 = Win32PathOf(fullPath);
  const auto isDosDeviceName = gSystem.RtlIsDosDeviceName_U;
  return isDosDeviceName != nullptr && isDosDeviceName(Wide(win32)) != 0;
}

std::u16string FullPathOf(const std::u16string& path) {
  std::u16string full(MAX_PATH, u'\0');
  for (;;) {
    const DWORD length = gSystem.GetFullPathNameW(Wide(path), static_cast<DWORD>(full.size()),
                                                  reinterpret_cast<wchar_t*>(full.data()), nullptr);
    if (length == 0) ThrowLastError(kBadFileName);
    const bool fitted = length < full.size();
    full.resize(length);
    // Normalised by Windows now, so the form without a MAX_PATH limit names the same file.
    if (fitted) return ExtendedLengthPathOf(full);
  }
}

bool CanNeverCreate(const std::u16string& path) {
  const std::size_t nameStart = path.rfind(u'\\') + 1;  // 0 when there is no backslash
  if (HasRejectedCharacter(std::u16string_view(path).substr(nameStart)) || NamesDevice(path)) {
    return true;
  }
  const std::u16string folder = nameStart == 0 ? u"." : path.substr(0, nameStart);
  const DWORD folderAttributes = gSystem.GetFileAttributesW(Wide(folder));
  if (folderAttributes == INVALID_FILE_ATTRIBUTES) {
    switch (GetLastError()) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_INVALID_NAME:
      case ERROR_BAD_PATHNAME:
      case ERROR_DIRECTORY:
      case ERROR_BAD_NETPATH:
      case ERROR_BAD_NET_NAME:
        return true;
      default:
        return false;  // not certain: access refused, say
    }
  }
  if ((folderAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return true;
  // Creating a file over a hidden or system one with normal attributes is
  // refused, as is writing over a read-only one or a folder.
  const DWORD attributes = gSystem.GetFileAttributesW(Wide(path));
  constexpr DWORD kNeverOverwritten = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY |
                                      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNeverOverwritten) != 0;
}

bool IsSameFile(const std::u16string& first, const std::u16string& second) {
  const UniqueFile a = OpenForQuery(Wide(first));
  if (!a) return false;
  const UniqueFile b = OpenForQuery(Wide(second));
  return b && SameFile(a.Get(), first, b.Get(), second);
}

bool IsFileNamed(HANDLE file, const std::u16string& name, const std::u16string& path) {
  const UniqueFile other = OpenForQuery(Wide(path));
  return other && SameFile(file, name, other.Get(), path);
}

std::string ToNarrow(std::u16string_view text) {
  return Narrow(text, gSystem.GetACP(), 0, nullptr);
}

std::string ToNarrowExactly(std::u16string_view text) {
  const UINT codePage = gSystem.GetACP();
  std::string narrow;
  if (codePage == CP_UTF8) {
    // Takes no best-fit flag: every valid text converts exactly, and a lone
    // surrogate is refused.
    narrow = Narrow(text, codePage, WC_ERR_INVALID_CHARS, nullptr);
  } else {
    BOOL usedDefault = FALSE;
    narrow = Narrow(text, codePage, WC_NO_BEST_FIT_CHARS, &usedDefault);
    if (usedDefault) throw Failure(kBadFileName);
  }
  // The narrow text must name what the wide text names, character for character.
  if (FromNarrow(narrow) != text) throw Failure(kBadFileName);
  return narrow;
}

std::u16string FromNarrow(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int length = static_cast<int>(bytes.size());
  const int size = gSystem.MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
  if (size <= 0) ThrowLastError(kOutOfMemory);
  std::u16string wide(static_cast<std::size_t>(size), u'\0');
  gSystem.MultiByteToWideChar(CP_ACP, 0, bytes.data(), length,
                              reinterpret_cast<wchar_t*>(wide.data()), size);
  return wide;
}

std::size_t NarrowCharLength(unsigned char leadByte) {
  return gSystem.IsDBCSLeadByte(leadByte) ? 2 : 1;
}

}  // namespace faxjob::win32
