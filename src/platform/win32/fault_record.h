// What the fault path on Windows prepares, and how it records the error line:
// shared by the threads that wait for a fault (fault_path.cpp) and the
// recording itself (fault_record.cpp). Internal to the Windows platform.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstddef>
#include <string_view>

#include "platform/fault_path.h"

namespace faxjob::fault_path {

// Not every toolchain has an import library for these ntdll exports: looked up, not linked.
using NtCreateFileFunction = decltype(&NtCreateFile);
using NtSetInformationFileFunction = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
constexpr int kFileRenameInformation = 10;
using FreeUnicodeStringFunction = decltype(&RtlFreeUnicodeString);
// The conversion CreateFileW makes; the result lies on the process heap.
using DosPathToNtPathFunction = BOOLEAN(NTAPI*)(PCWSTR, UNICODE_STRING*, PCWSTR*, void*);

constexpr ULONG kStackGuarantee = 16 * 1024;
constexpr SIZE_T kThreadStack = 64 * 1024;
constexpr SIZE_T kReserveStack = 64 * 1024;  // for the thread whose own stack overflowed
constexpr DWORD kMillisecondsToStart = 10 * 1000;
constexpr DWORD kMillisecondsToRecord = kSecondsToRecord * 1000;
constexpr DWORD kMillisecondsToFinish = 1000;  // after the line is whole: two quick calls
constexpr DWORD kMillisecondsToPoll = 10;      // where a handle's wait has failed
constexpr ACCESS_MASK kWriteAccess = FILE_GENERIC_WRITE | DELETE;

// The recorder's progress: the thread that handles the fault gives up on a
// recorder that has not committed to keeping the line in time.
enum Progress : int { kWorking, kCommitted, kAbandoned };

// Everything the fault path needs, written once by Arm into pages of its own
// and then made read-only: a library that overwrites heap memory, or writes
// through a stale pointer, cannot reach it. The handles stay open until the
// process ends, since the fault path's threads use them.
struct Prepared {
  NtCreateFileFunction ntCreateFile;
  NtSetInformationFileFunction ntSetInformationFile;
  UNICODE_STRING ntPath;               // the text follows this record
  UNICODE_STRING ntTemporaryPath;      // a name of its own for a new report; so does this text
  FILE_RENAME_INFO* renameOntoReport;  // and this record
  DWORD renameSize;
  const char* errorLine;  // so does the line
  DWORD errorLineSize;
  DWORD errorLineCheck;  // the line is written only while it still matches
  HANDLE faultSeen;      // an event
  HANDLE mainThread;     // the thread that armed the fault path and calls the library
  DWORD mainThreadId;
  HANDLE recorder;
  HANDLE watcher;
  DWORD recorderId;
  DWORD watcherId;
  char* reserveStack;    // kReserveStack bytes, for the first thread whose stack overflows
  HANDLE recorderReady;  // events, for Arm only
  HANDLE watcherReady;
};

// The recorder's progress, moved on by the recording and by the thread that handles the fault.
inline std::atomic<int> gProgress{kWorking};

// FNV-1a: enough to tell a line that something wrote over from the one Arm made.
DWORD CheckOf(const char* data, DWORD size);

/// Prepares, in pages of their own, all the recording needs: the report's NT path and a name of
/// its own beside it, the rename record and the error line; `size` receives the size of the
/// pages, which Arm makes read-only once it has added the threads. Raises 7.
Prepared& PrepareRecord(const NativePath& reportPath, std::string_view errorLine,
                        std::size_t& size);

/// Takes the report over from the run and records the line as its stage allows; returns the exit
/// status that goes with what the report then holds. `othersRun`: other threads of the process
/// may still be running.
int RecordErrorLine(const Prepared& prepared, bool othersRun = true);

}  // namespace faxjob::fault_path
