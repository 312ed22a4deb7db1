// The in-memory platform's public state, in three groups: the world the run
// sees, the faults to inject into it, and what was observed of the run.
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
#include "platform/sharing_retry.h"

namespace faxjob::testing {

// What the process ends with: its exit status and the files it leaves.
struct ProcessEnd {
  int status;
  std::map<std::u16string, std::string> files;
};

// The world the run sees: files and folders, the programs that hold them open, the library.
struct FakeWorld {
  std::u16string commandLine = u"faxjob.exe";
  std::map<std::u16string, std::string> files;  // full path -> bytes
  std::set<std::u16string> folders;             // existing folders, without trailing backslash
  std::set<std::u16string> hiddenFiles;
  std::set<std::u16string> readOnlyFiles;
  std::set<std::u16string> systemFiles;
  std::u16string currentFolder = u"C:\\work";  // what relative paths are resolved against
  std::set<std::u16string> deleteRefused;      // files the delete disposition cannot be set on
  // Other names of a file in `files`: a short 8.3 name, a hard link. Identity follows them.
  std::map<std::u16string, std::u16string> otherNames;
  // Folders on a file server: a new file there is written as a temporary file without a delete
  // disposition.
  std::set<std::u16string> remoteFolders;
  bool zeroFileIds = false;          // the file system gives every file the id 0: no identity
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

  // Another program has a file open for a moment (a virus scanner, the search indexer): from
  // platform call number `fromCall` on (0: from the start), the next `tries` opens and removals
  // of `path` fail with a sharing violation. They are waited out as the program waits them out,
  // with the waits counted, not slept. With a network error (sharing_retry::kNetNameDeleted,
  // say) in place of the sharing violation, it stands for a share that fails for a moment: then
  // the reads and writes of the file fail too, and only the opens, reads and writes after the
  // call wait it out.
  struct Hold {
    std::u16string path;
    int tries = 0;
    int fromCall = 0;
    // What Windows reports: a sharing violation; a lock violation; or, for a deleted file that
    // the other program still has open, access denied with the NT status of a pending deletion.
    std::uint32_t error = sharing_retry::kSharingViolation;
    std::uint32_t ntStatus = 0;
  };
  std::vector<Hold> holds;

  // The run's open handles, and the files whose delete disposition is set: open for writing and
  // not kept yet, or being deleted.
  std::set<std::u16string> openForReading;
  std::set<std::u16string> openForWriting;
  std::set<std::u16string> deletePending;
  int temporaryFiles = 0;  // temporary files named so far

  // Adds a file, creating its folders.
  void AddFile(const std::u16string& path, std::string content);
  // The files as the process leaves them when it ends now: those with a delete disposition gone.
  std::map<std::u16string, std::string> FilesLeftAtTheEnd() const;
};

// The faults to inject, each at a platform call number (1-based; 0 for none).
struct FakeFaults {
  // Call `atCall` raises `code`: that call alone (a transient fault), or, when persistent, every
  // call from it on, as on a full disk or a dead device.
  struct Failing {
    int atCall = 0;
    std::int32_t code = kDeviceIoError;
    bool persistent = false;
    bool foreign = false;  // an exception of another kind than Failure
  } failing;
  // The process ended from outside at the start of call `killCall`: the files it leaves, those
  // with a delete disposition gone, are kept in FakeObserved::killOutcome.
  int killCall = 0;
  // A processor fault at the start of call `faultCall`, from a thread the library left running:
  // what the process ends with is kept in FakeObserved::faultOutcome, and the run goes on as if
  // nothing had happened.
  int faultCall = 0;
};

// What was observed of the run.
struct FakeObserved {
  std::vector<std::string> calls;  // the operation of every platform call, in order
  int faultsInjected = 0;
  bool libraryCalled = false;            // as the fault path learns it
  std::vector<unsigned> waitsMs;         // every wait for a hold to end, in milliseconds
  std::vector<std::u16string> messages;  // message boxes shown
  std::vector<std::string> events;  // "open-read PATH", "close-write PATH", "turn-take DIR", ...
  std::optional<std::map<std::u16string, std::string>> killOutcome;
  std::optional<ProcessEnd> faultOutcome;
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
  // The armed report's temporary file while it is written as one.
  std::optional<std::u16string> faultReportTemporary;
};

}  // namespace faxjob::testing
