// The platform's files: paths and their names, opening, writing, removing,
// the temporary files the program writes a report under, and the folder's
// turn. Each operation names the failure codes it raises; any of them may also
// raise 7 when memory runs out.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace faxjob {

/// A file open for sequential reading. Destroying it closes it and ignores a failure; only an
/// explicit Close reports one.
class InputFile {
 public:
  virtual ~InputFile() = default;
  /// Reads up to `size` bytes; returns 0 only at the end of the file. Raises 57, 70.
  virtual std::size_t Read(char* buffer, std::size_t size) = 0;
  /// True when `path` names this very file, by identity, not by spelling. Raises nothing else.
  virtual bool IsSameFileAs(const std::u16string& path) = 0;
  /// Raises 57. The file is closed even then.
  virtual void Close() = 0;
};

/// A file open for sequential writing, shared with nobody else for writing or deletion. Its
/// delete disposition is set from the moment it is opened until Keep: closed without Keep, or
/// still open when the process ends, however it ends, it is gone, so that nobody ever finds it
/// half written. A new file is written as a temporary file in its path's folder
/// (kTemporaryFilePrefix) and takes its path's name only in Keep, so nothing is ever at that path
/// before it is whole. Where the file system or the file's access rules refuse the delete
/// disposition, the file is written without one, at its path. A remote file (on a file server,
/// whatever path leads there, asked of the open file) never gets a delete disposition, since some
/// servers mishandle one that is set and taken back: it is written without one as a temporary
/// file, which a run ended from outside leaves behind for the next run's
/// RemoveStaleTemporaryFiles.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  /// False when the delete disposition was refused: the file then stays whatever happens.
  virtual bool hasDeleteDisposition() const = 0;
  /// The file stays, under its path: flushed first where it is remote (whose delayed writes may
  /// otherwise fail after the run has ended), then its delete disposition cleared and, when it
  /// was written as a temporary file, renamed onto its path in one step, replacing whatever is
  /// there. A file there that another program has open without sharing its deletion, or a
  /// read-only one, is moved aside as RemoveFile deletes a file, within the bound of a sharing
  /// violation. Raises 57, 75, 70 (a sharing violation at the path that lasts longer).
  virtual void Keep() = 0;
  /// Writes every byte or raises: a short write is never silent. Raises 61 (disk full, also a
  /// write that reports success with nothing written), 57.
  virtual void Write(const char* data, std::size_t size) = 0;
  /// Raises 61, 57. The file is closed even then.
  virtual void Close() = 0;
};

/// The names of the program's temporary files, `~faxjob-<process>-<number>.tmp` (both decimal
/// numbers): a report before it is kept, a file renamed aside to be deleted. One that a run ended
/// from outside leaves behind is removed by the next run in that folder
/// (Files::RemoveStaleTemporaryFiles); any other name that starts and ends alike is not the
/// program's.
inline constexpr std::u16string_view kTemporaryFilePrefix = u"~faxjob-";
inline constexpr std::u16string_view kTemporaryFileSuffix = u".tmp";

/// True when the file name `name` (without its folder) is one of the program's temporary files'
/// names: the prefix and the suffix, letter case aside as Windows compares them, around two
/// decimal numbers joined by a dash. A user's `~faxjob-notes.tmp` is not.
template <typename Char>
constexpr bool IsTemporaryFileName(std::basic_string_view<Char> name) noexcept {
  const auto sameLetter = [](Char given, char16_t wanted) {
    const auto folded = static_cast<char16_t>(given) | (given >= 'A' && given <= 'Z' ? 0x20 : 0);
    return folded == wanted;
  };
  const std::size_t prefix = kTemporaryFilePrefix.size();
  const std::size_t suffix = kTemporaryFileSuffix.size();
  if (name.size() < prefix + suffix + 3) return false;
  for (std::size_t i = 0; i < prefix; ++i) {
    if (!sameLetter(name[i], kTemporaryFilePrefix[i])) return false;
  }
  for (std::size_t i = 0; i < suffix; ++i) {
    if (!sameLetter(name[name.size() - suffix + i], kTemporaryFileSuffix[i])) return false;
  }
  std::size_t dashes = 0;
  for (std::size_t i = prefix; i < name.size() - suffix; ++i) {
    const bool dash = name[i] == '-';
    const bool digit = name[i] >= '0' && name[i] <= '9';
    const bool besideEdge = i == prefix || i + 1 == name.size() - suffix;
    if (dash && (besideEdge || name[i - 1] == '-')) return false;
    if (!dash && !digit) return false;
    dashes += dash ? 1 : 0;
  }
  return dashes == 1;
}

/// The file in a report folder whose lock is that folder's turn. Created when missing and never
/// removed; a name the library never writes and no report may take.
inline constexpr std::u16string_view kFolderTurnFileName = u"FAXJOB.LCK";

/// A run's claim on a folder: while it is held, no other run takes a turn on the same folder, on
/// this machine or on another one that reaches the folder through a file server. Destroying it
/// gives the turn back.
class FolderTurn {
 public:
  virtual ~FolderTurn() = default;
};

class Files {
 public:
  virtual ~Files() = default;

  /// The absolute form of `path`, resolved against the current folder as the file system
  /// resolves it now, so that no later change of the current folder can redirect it. On Windows
  /// in the extended-length form (`\\?\C:\...`, `\\?\UNC\server\share\...`), which the file
  /// operations here take at any length, with or without the system's long-path support; a
  /// device name stays in the device namespace (`\\.\NUL`). Raises 52 (a name that cannot be
  /// resolved), 7.
  virtual std::u16string FullPathOf(const std::u16string& path) = 0;

  /// The one character that separates folders in a path: the backslash on Windows, where a
  /// forward slash is then an ordinary character for the program.
  virtual char16_t FolderSeparator() = 0;

  /// True when the file-search name (wildcards * and ?) matches at least one ordinary file:
  /// folders, hidden and system files do not count, nor does a device (`COM1`, `NUL`,
  /// `\\.\COM1`, and `LPT1.txt` where the running system reads it as one), which the file
  /// system may list like a file. A name the file system rejects outright, or a folder that does
  /// not exist, counts as no match. Raises 75, 57 and the like when the search itself cannot be
  /// carried out.
  virtual bool OrdinaryFileMatches(const std::u16string& searchName) = 0;

  /// True when creating or emptying a file at `path` would certainly fail: its folder is missing
  /// or no folder; its name is one the file system rejects (a reserved character, or a device
  /// name as the running system reads it); it names an existing folder, or an existing read-only,
  /// hidden or system file. Creates, changes and opens for writing nothing. Anything less than
  /// certain gives false. Raises 7.
  virtual bool CanNeverCreate(const std::u16string& path) = 0;

  /// True when `fullPath` (as FullPathOf gives it) names a part of a file rather than a file: on
  /// Windows an alternate data stream (`r.txt:x`, `RESULT.TXT::$DATA`), which writes into the
  /// file before the colon. Never on POSIX, where a colon is an ordinary character. Raises
  /// nothing.
  virtual bool NamesStream(const std::u16string& fullPath) = 0;

  /// True when both paths reach one existing file by its identity on the file system (the
  /// volume and the file's id), whatever their spelling: letter case, short names, `..`, hard
  /// links. Where the file system gives a file no identity (an id of all zeros or all ones, as
  /// some redirectors and RAM disks do), by the normalised full paths, letter case aside. False
  /// when either names no file that can be asked about. Creates, changes and opens for reading or
  /// writing nothing. Raises 7.
  virtual bool IsSameFile(const std::u16string& first, const std::u16string& second) = 0;

  /// Waits until no other run holds the turn of `folder` (empty: the current folder), then takes
  /// it: an exclusive lock on the folder's file kFolderTurnFileName, created when missing, which
  /// nobody can delete while the turn is held. Every path to one folder thus gives the same turn.
  /// The turn is given back when the returned object is destroyed or the process ends, however it
  /// ends. Raises 76 (no such folder), 75 (access denied: the file cannot be created or opened,
  /// or is a folder), 70 (a sharing violation: another program has the file open without sharing
  /// it; or the file system refuses the lock), 57, 7.
  virtual std::unique_ptr<FolderTurn> TakeFolderTurn(const std::u16string& folder) = 0;

  /// Opens an existing file for reading, sharing it with other readers only. Raises 53 (no such
  /// file), 76 (its folder is missing), 75 (access denied, a folder), 70 (a sharing violation),
  /// 52 (a name the file system rejects).
  virtual std::unique_ptr<InputFile> OpenForReading(const std::u16string& path) = 0;
  /// Creates the file, or empties it when it exists; with a delete disposition (see OutputFile).
  /// Raises 76, 75, 70, 52, 61.
  virtual std::unique_ptr<OutputFile> OpenForWriting(const std::u16string& path) = 0;
  /// Opens an existing file for writing after its last byte; with a delete disposition (see
  /// OutputFile), so the whole file goes unless kept. Raises what OpenForWriting raises, and 53
  /// when there is no such file.
  virtual std::unique_ptr<OutputFile> OpenForAppending(const std::u16string& path) = 0;
  /// Deletes the file; returns false when there was none. From the moment it raises nothing, the
  /// file is gone when the process ends, however it ends, and leaves no other name behind: it is
  /// renamed aside as a temporary file (kTemporaryFilePrefix) so its name is free at once, and
  /// goes when the last program that has it open closes it. Raises 70 (a sharing violation), 75
  /// (access denied, or a folder of that name), 76 (its folder is missing), 52, 57; the file
  /// then stays as it was.
  virtual bool RemoveFile(const std::u16string& path) = 0;
  /// Deletes the temporary files `~faxjob-<digits>-<digits>.tmp` in `folder` (empty: the current
  /// folder) that no process has open: what runs ended from outside left behind. Raises nothing:
  /// a file it cannot delete stays.
  virtual void RemoveStaleTemporaryFiles(const std::u16string& folder) noexcept = 0;
};

}  // namespace faxjob
