// The one interface between the program and the operating system. Every
// call the core makes to the OS goes through here, so tests can replace it
// with an in-memory platform that refuses what the OS refuses and fails any
// call on demand. Each operation names the failure codes it raises; any of
// them may also raise 7 when memory runs out.
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

/// A file open for sequential writing, shared with nobody else for writing or removal. It is
/// marked for removal from the moment it is opened until Keep: closed without Keep, or still open
/// when the process ends, however it ends, it is gone, so that nobody ever finds it half written.
/// A new file is written under a name of its own in its path's folder (kLeftoverPrefix) and takes
/// its path's name only in Keep, so nothing is ever at that path before it is whole. Where the
/// file system or the file's access rules refuse the mark, it is written unmarked at its path.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  /// False when the mark was refused: the file then stays whatever happens.
  virtual bool marked() const = 0;
  /// The file stays, under its path: flushed first where it lies on a network volume (whose
  /// delayed writes may otherwise fail after the run has ended), then its mark cleared and, when
  /// it was written under a name of its own, renamed onto its path in one step, replacing
  /// whatever is there. Raises 57, 75, 70 (another program holds the file at the path).
  virtual void Keep() = 0;
  /// Writes every byte or raises: a short write is never silent. Raises 61 (disk full, also a
  /// write that reports success with nothing written), 57.
  virtual void Write(const char* data, std::size_t size) = 0;
  /// Raises 61, 57. The file is closed even then.
  virtual void Close() = 0;
};

/// The names the program gives its own files for a while, `~faxjob-<process>-<number>.tmp`: a
/// report before it is kept, a file renamed aside to be removed. One that a run ended from outside
/// leaves behind is removed by the next run in that folder (Platform::RemoveLeftovers).
inline constexpr std::u16string_view kLeftoverPrefix = u"~faxjob-";
inline constexpr std::u16string_view kLeftoverSuffix = u".tmp";

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

class Platform {
 public:
  virtual ~Platform() = default;

  /// The process command line as the OS hands it over, program path included.
  virtual std::u16string RawCommandLine() = 0;

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

  /// The text in the narrow (ANSI) code page; a character the code page lacks is replaced as the
  /// system's own conversion does. For texts, never for paths.
  virtual std::string ToNarrow(std::u16string_view text) = 0;
  /// The text in the narrow code page exactly, or failure 52 when any character has no exact
  /// equivalent there: no near equivalent, no default character. For paths, which must name the
  /// very file meant: a replacement could name another file or act as a wildcard.
  virtual std::string ToNarrowExactly(std::u16string_view text) = 0;
  /// The narrow text in UTF-16; a byte sequence the code page does not define is replaced as the
  /// system's own conversion does.
  virtual std::u16string FromNarrow(std::string_view bytes) = 0;
  /// How many bytes the narrow character starting with this byte takes. Raises nothing.
  virtual std::size_t NarrowCharLength(unsigned char leadByte) = 0;

  /// A modal message box with the stop icon, one OK button and the program's name as its title;
  /// returns when it is closed. Shows nothing, and returns at once, where nobody could see it
  /// (a window station that is not visible: a service, a task run without a logged-on user).
  /// Raises nothing: there is no one else to tell.
  virtual void ShowStopMessage(const std::u16string& text) = 0;

  /// Loads a library and returns the address of its entry point `entryName`, or null when it has
  /// none. The search takes the program's own folder, the system folders and the folders on PATH,
  /// never the current folder. The library stays loaded until the process ends, so nothing that
  /// happens later in the run can unload code that may still be running or mapped. The load is
  /// guarded as CallLibrary guards a call, and the handler and the error mode are set again after
  /// it. The library's own calls that end the process (ExitProcess, FatalAppExit, TerminateProcess
  /// on this process, its C runtime's exit, abort, assert, through import tables) go to the fault
  /// path instead, which records them as a fault, and no C runtime shows a box. Raises 53 (the
  /// library, or one it needs, is missing), 48 (it cannot be loaded for another reason).
  virtual void* LoadEntryPoint(const std::u16string& fileName, const char* entryName) = 0;

  /// Runs `call`, which calls into the fax library, with the process made ready for code it
  /// does not trust: the fault path's handler installed again (the library's runtime may have
  /// put its own in its place while loading), and the floating-point environment (rounding,
  /// precision, denormals) saved before and restored after, so that nothing the library sets
  /// there changes how the run reads and rounds numbers. Raises nothing of its own.
  virtual void CallLibrary(void (*call)(void* context), void* context) = 0;

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
  /// links. False when either names no file that can be asked about. Creates, changes and opens
  /// for reading or writing nothing. Raises 7.
  virtual bool IsSameFile(const std::u16string& first, const std::u16string& second) = 0;

  /// Waits until no other run holds the turn of `folder` (empty: the current folder), then takes
  /// it: an exclusive lock on the folder's file kFolderTurnFileName, created when missing, which
  /// nobody can remove while the turn is held. Every path to one folder thus gives the same turn.
  /// The turn is given back when the returned object is destroyed or the process ends, however it
  /// ends. Raises 76 (no such folder), 75 (access refused: the file cannot be created or opened,
  /// or is a folder), 70 (another program holds the file without sharing it, or the file system
  /// refuses the lock), 57, 7.
  virtual std::unique_ptr<FolderTurn> TakeFolderTurn(const std::u16string& folder) = 0;

  /// Opens an existing file for reading, sharing it with other readers only. Raises 53 (no such
  /// file), 76 (its folder is missing), 75 (access refused, a folder), 70 (held by another
  /// process), 52 (a name the file system rejects).
  virtual std::unique_ptr<InputFile> OpenForReading(const std::u16string& path) = 0;
  /// Creates the file, or empties it when it exists; marked (see OutputFile). Raises 76, 75, 70,
  /// 52, 61.
  virtual std::unique_ptr<OutputFile> OpenForWriting(const std::u16string& path) = 0;
  /// Opens an existing file for writing after its last byte; marked (see OutputFile), so the
  /// whole file goes unless kept. Raises what OpenForWriting raises, and 53 when there is no
  /// such file.
  virtual std::unique_ptr<OutputFile> OpenForAppending(const std::u16string& path) = 0;
  /// Removes the file; returns false when there was none. From the moment it raises nothing, the
  /// file is gone when the process ends, however it ends, and leaves no other name behind: it is
  /// renamed aside (kLeftoverPrefix) so its name is free at once, and goes when the last program
  /// that holds it open closes it. Raises 70 (another process holds it), 75 (access refused, or a
  /// folder of that name), 76 (its folder is missing), 52, 57; the file then stays as it was.
  virtual bool RemoveFile(const std::u16string& path) = 0;
  /// Removes the files named by kLeftoverPrefix in `folder` (empty: the current folder) that no
  /// process holds open: what runs ended from outside left behind. Raises nothing: a file it
  /// cannot remove stays.
  virtual void RemoveLeftovers(const std::u16string& folder) noexcept = 0;

  /// Prepares the fault path; called once, before the fax library is loaded. From then on until
  /// the process ends, a processor fault on any thread (access violation, illegal instruction,
  /// stack overflow, ...), or the library's own call to end the process, ends the process within
  /// seconds and without any system dialog. Until the run's end is decided (DisarmFaultPath), it
  /// records `errorLine` (one complete narrow report line, CR LF included) in the report file:
  ///  - not opened by this run: created or emptied, and then holds the line alone;
  ///  - open for writing in this run through OpenForWriting with exactly `reportPath`, every write
  ///    so far complete: the line is appended after what was written;
  ///  - closed by this run after complete writes but not kept: the line is appended;
  ///  - a write to it failed, so its content is unknown: no line;
  ///  - kept (OutputFile::Keep has given it its name): final, nothing changes or removes it; the
  ///    process ends with the status set by SetKeptReportStatus.
  /// Exit status 1 when the line is in the report, else 2; a report this run created or emptied
  /// that does not end up holding the line is removed, so it never reads as a success (an empty
  /// report means "no entries"). Raises 7 when the preparation fails.
  virtual void ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) = 0;
  /// The exit status that goes with the armed report once it is kept: 0 or 4 for the library's
  /// entries, 1 for an error line. Set before the report is opened. Raises nothing.
  virtual void SetKeptReportStatus(int status) = 0;
  /// The run's end, decided once: from now on a fault, or a library's call that ends the process,
  /// ends it with `status` and touches no file. Where a fault has taken the end first, it never
  /// returns: the fault path ends the process.
  virtual void DisarmFaultPath(int status) = 0;
};

}  // namespace faxjob
