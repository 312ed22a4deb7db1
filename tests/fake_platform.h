// An in-memory platform for the core's unit tests. It refuses what Windows
// refuses (a second open of a file the program holds, removing an open file,
// writing to a folder or a read-only file), and any of its calls can be made
// to fail, once or from then on.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/report_stage.h"
#include "faxbridge/fax_library.h"
#include "platform/platform.h"
#include "platform/sharing_retry.h"

namespace faxjob::testing {

class FakePlatform : public Platform {
 public:
  FakePlatform();
  ~FakePlatform() override;

  // The world the run sees.
  std::u16string commandLine = u"faxjob.exe";
  std::map<std::u16string, std::string> files;  // full path -> bytes
  std::set<std::u16string> folders;             // existing folders, without trailing backslash
  std::set<std::u16string> hiddenFiles;
  std::set<std::u16string> readOnlyFiles;
  std::set<std::u16string> systemFiles;
  std::u16string currentFolder = u"C:\\work";  // what relative paths are resolved against
  std::set<std::u16string> deleteRefused;      // files the mark for removal cannot be set on
  // Other names of a file in `files`: a short 8.3 name, a hard link. Identity follows them.
  std::map<std::u16string, std::u16string> otherNames;
  std::size_t readChunk = 4096;      // bytes a single Read returns at most
  std::size_t diskSpace = SIZE_MAX;  // bytes all writes together may still take

  // The fax library: absent, unloadable, without entry point, or this function.
  enum class Library {
    kPresent,
    kMissing,
    kNotLoadable,
    kNoEntryPoint
  } library = Library::kPresent;
  SendPageIntFunction sendPageInt = nullptr;

  // Fault injection: platform call number `atCall` (1-based; 0 for none)
  // raises `code`: that call alone (a transient fault), or, when persistent,
  // every call from it on, as on a full disk or a dead device.
  struct Faults {
    int atCall = 0;
    std::int32_t code = kDeviceIoError;
    bool persistent = false;
    bool foreign = false;  // an exception of another kind than Failure
  } faults;
  int faultsInjected = 0;
  // Another program holds a file for a moment (a virus scanner, the search
  // indexer): from platform call number `fromCall` on (0: from the start), the
  // next `tries` opens and removals of `path` fail as held. They are waited out
  // as the program waits them out, with the waits counted, not slept.
  // With a network error (sharing_retry::kNetNameDeleted, say) in place of the sharing
  // violation, it stands for a share that fails for a moment: then the reads and writes of the
  // file fail too, and only the opens, reads and writes after the call wait it out.
  struct Hold {
    std::u16string path;
    int tries = 0;
    int fromCall = 0;
    // What Windows reports: a sharing violation; a lock violation; or, for a removed file that
    // the other program still has open, access denied with the NT status of a pending deletion.
    std::uint32_t error = sharing_retry::kSharingViolation;
    std::uint32_t ntStatus = 0;
  };
  std::vector<Hold> holds;
  std::vector<unsigned> waitsMs;   // every wait for a hold to end, in milliseconds
  std::vector<std::string> calls;  // the operation of every platform call, in order
  // The process ended from outside at the start of platform call number
  // `killCall`: the files it leaves, marked ones gone, are kept in killOutcome.
  int killCall = 0;
  std::optional<std::map<std::u16string, std::string>> killOutcome;
  // A processor fault at the start of platform call number `faultCall`, from
  // a thread the library left running: what the process ends with is kept
  // in faultOutcome, and the run goes on as if nothing had happened.
  int faultCall = 0;
  struct FaultOutcome {
    int status;
    std::map<std::u16string, std::string> files;
  };
  std::optional<FaultOutcome> faultOutcome;

  // The library ends the process by a route that nothing redirects (found by
  // GetProcAddress). On Windows ExitProcess still calls the program's TLS
  // callback with the process's detach once every other thread has ended, and
  // the fault path records there as for a fault (Wine calls no such callback);
  // TerminateProcess calls nothing: the library's status, the files as left.
  enum class UnseenEnd { kExitProcess, kTerminateProcess };
  FaultOutcome SimulateUnseenEnd(UnseenEnd route, int status) const;

  // What the run did.
  std::vector<std::u16string> messages;  // message boxes shown
  std::vector<std::string> events;  // "open-read PATH", "close-write PATH", "turn-take DIR", ...
  // The fault path as the run armed it; none before and after the run.
  struct FaultPath {
    std::u16string reportPath;
    std::string errorLine;
  };
  std::optional<FaultPath> faultPath;
  // Where the armed report stands, as the output file tells the fault path.
  ReportStage faultReport = ReportStage::kUntouched;
  int keptReportStatus = 1;       // what a fault ends with once the report is kept
  std::optional<int> decidedEnd;  // the run's end, once decided
  std::set<std::u16string> openForReading;
  std::set<std::u16string> openForWriting;
  std::set<std::u16string> markedFiles;  // open for writing and not kept yet, or being removed
  // The armed report's name of its own while it is written under one.
  std::optional<std::u16string> faultReportTemporary;
  int temporaries = 0;  // names of its own made so far

  // `path` resolved against the current folder, as the library resolves it.
  std::u16string Resolve(const std::u16string& path) const;
  // Like Windows without long-path support, a path of MAX_PATH characters or more reaches
  // nothing (ERROR_PATH_NOT_FOUND) unless it has the extended-length form. The path as `files`
  // and `folders` name it, or none when it reaches nothing; Reach raises 76 then.
  std::optional<std::u16string> Reachable(const std::u16string& path) const;
  std::u16string Reach(const std::u16string& path) const;
  // Adds a file, creating its folders.
  void AddFile(const std::u16string& path, std::string content);

  std::u16string RawCommandLine() override;
  // As GetFullPathNameW: forward slashes read as backslashes, `.` and `..` resolved, the last
  // name's trailing dots and spaces dropped, a drive-relative path (`D:r.txt`) resolved against
  // the current folder on its drive (its root where that is another drive), a device name
  // (`COM1`, `nul.txt`, as Windows 10 reads them) put into the device namespace (`\\.\COM1`).
  // Then the extended-length form; `\\?\` and `\\.\` paths stay as given.
  std::u16string FullPathOf(const std::u16string& path) override;
  static std::u16string NormalisedPathOf(const std::u16string& path, const std::u16string& folder);
  char16_t FolderSeparator() override { return u'\\'; }
  bool OrdinaryFileMatches(const std::u16string& searchName) override;
  std::string ToNarrow(std::u16string_view text) override;
  std::string ToNarrowExactly(std::u16string_view text) override;
  std::u16string FromNarrow(std::string_view bytes) override;
  std::size_t NarrowCharLength(unsigned char leadByte) override;
  void ShowStopMessage(const std::u16string& text) override;
  void* LoadEntryPoint(const std::u16string& fileName, const char* entryName) override;
  void CallLibrary(void (*call)(void* context), void* context) override { call(context); }
  bool CanNeverCreate(const std::u16string& path) override;
  bool NamesStream(const std::u16string& fullPath) override;
  bool IsSameFile(const std::u16string& first, const std::u16string& second) override;
  // The file `path` reaches, following otherNames, in the letter case `files` holds it; none
  // when it reaches no file.
  std::optional<std::u16string> FileReachedBy(const std::u16string& path) const;
  std::unique_ptr<FolderTurn> TakeFolderTurn(const std::u16string& folder) override;
  std::unique_ptr<InputFile> OpenForReading(const std::u16string& path) override;
  std::unique_ptr<OutputFile> OpenForWriting(const std::u16string& path) override;
  std::unique_ptr<OutputFile> OpenForAppending(const std::u16string& path) override;
  bool RemoveFile(const std::u16string& path) override;
  void RemoveLeftovers(const std::u16string& folder) noexcept override;
  void ArmFaultPath(const std::u16string& reportPath, std::string_view errorLine) override;
  void SetKeptReportStatus(int status) override { keptReportStatus = status; }
  void DisarmFaultPath(int status) override;

  // What a processor fault does now: the exit status and the files the
  // process leaves. The run's own view of the files stays as it was.
  FaultOutcome SimulateFault() const;
  // The files as the process leaves them when it ends now: marked ones gone.
  std::map<std::u16string, std::string> FilesLeftAtTheEnd() const;

  // Counts a platform call and raises the injected failure when it is due; a step (a moment
  // inside a call, where the process may end but which cannot fail by itself) raises nothing.
  void Call(const char* operation);
  static bool IsStep(std::string_view operation);
  static std::u16string FolderOf(const std::u16string& path);
  void CheckFolder(const std::u16string& path) const;
  // Waits out a hold on `path` as the program does: holds at every open and removal, network
  // errors at the opens, reads and writes after the call. Raises 70 for a hold that outlasts the
  // waiting, `failureCode` for a network error, which a read or write alone meets.
  enum class Retried { kHolds, kHoldsAndNetwork, kNetwork };
  void WaitOutHold(const std::u16string& path, Retried retried = Retried::kHolds,
                   std::int32_t failureCode = kAccessRefused);
  void CheckWritable(const std::u16string& path) const;
  // A file open for writing at `path`, to be renamed onto `target` when kept (empty: none).
  std::u16string NewTemporaryName(const std::u16string& path);
  std::unique_ptr<OutputFile> OpenedOutput(const std::u16string& path, const std::u16string& target,
                                           bool marked);

  // The platform of the test that is running, for library stand-ins.
  static FakePlatform* current;
};

// The fake's narrow code page is shaped like code page 932: ASCII and
// half-width katakana take one byte, ideographs and other characters from
// U+3000 on take two (lead byte 0x88 or 0x89). It lacks the characters
// between U+0080 and U+2FFF (é, ¥, ☃) and those outside the basic plane:
// each of their UTF-16 units becomes the default character '?'.
std::string FakeNarrow(std::u16string_view text);
// True for a name Windows 10 reads as a device: CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9,
// in any letter case, also with an extension or trailing spaces before it (`nul.txt`, `CON .x`).
bool FakeNamesDevice(std::u16string_view name);
// True when every character of `text` has a place in that code page.
bool FakeNarrowHasAll(std::u16string_view text);

// UTF-8 spelling for readable assertion messages.
std::string Utf8(std::u16string_view text);

}  // namespace faxjob::testing
