// The one interface between the program and the operating system. Every
// call the core makes to the OS goes through here, so tests can replace it
// with an in-memory platform that fails any call on demand.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace faxjob {

// A file open for sequential reading. Closing twice, or destroying an open
// file, is harmless; only an explicit Close reports a failure.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // Reads up to `size` bytes; returns 0 only at the end of the file.
  virtual std::size_t Read(char* buffer, std::size_t size) = 0;
  // True when `path` names this very file, by identity, not by spelling.
  virtual bool IsSameFileAs(const std::u16string& path) = 0;
  virtual void Close() = 0;
};

// A file open for sequential writing.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Writes every byte or raises a failure: a short write is never silent.
  virtual void Write(const char* data, std::size_t size) = 0;
  virtual void Close() = 0;
};

// A loaded library; it stays loaded as long as this object lives.
class DynamicLibrary {
 public:
  virtual ~DynamicLibrary() = default;
  // The address of the named entry point, or null when it has none.
  virtual void* EntryPoint(const char* name) = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // The process command line as the OS hands it over, program path included.
  virtual std::u16string RawCommandLine() = 0;

  // True when the file-search name (wildcards * and ?) matches at least one
  // ordinary file: directories, hidden and system files do not count. A name
  // the file system rejects outright counts as no match.
  virtual bool OrdinaryFileMatches(const std::u16string& searchName) = 0;

  // Conversion to and from the narrow (ANSI) code page. Characters the code
  // page lacks are replaced as the system's own conversion does.
  virtual std::string ToNarrow(std::u16string_view text) = 0;
  virtual std::u16string FromNarrow(std::string_view bytes) = 0;
  // How many bytes the narrow character starting with this byte takes.
  virtual std::size_t NarrowCharLength(unsigned char leadByte) = 0;

  // A modal message box with the stop icon and one OK button.
  virtual void ShowStopMessage(const std::u16string& text) = 0;

  // Loads a library through the ordinary library search.
  virtual std::unique_ptr<DynamicLibrary> OpenLibrary(const std::u16string& fileName) = 0;

  virtual std::unique_ptr<InputFile> OpenForReading(const std::u16string& path) = 0;
  // Creates the file, or empties it when it exists.
  virtual std::unique_ptr<OutputFile> OpenForWriting(const std::u16string& path) = 0;
  virtual void RemoveFile(const std::u16string& path) = 0;

  /// Prepares the fault path; called once, before the fax library is called. From then on a
  /// processor fault anywhere in the process (access violation, illegal instruction, stack
  /// overflow, ...) ends the process within seconds and without any system dialog, having
  /// recorded `errorLine` (one complete narrow report line, CR LF included) in the report file:
  ///  - not opened by this run: created or emptied, and then holds the line alone;
  ///  - open for writing in this run through OpenForWriting with exactly `reportPath`, every write
  ///    so far complete: the line is appended after what was written;
  ///  - closed by this run after complete writes: the line is appended;
  ///  - a write to it failed, so its content is unknown: no line.
  /// Exit status 1 when the line is in the report, else 2; a report this run created or emptied
  /// that does not end up holding the line is removed, so it never reads as a success (an empty
  /// report means "no entries"). Raises 7 when the preparation fails.
  virtual void ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) = 0;
  /// A fault from now on ends the process with status 2 and touches no file.
  virtual void DisarmFaultPath() = 0;
};

}  // namespace faxjob
