// hold.exe [--mutex | --event | --lock] [--ms] [--share-delete] [--from-start-of PROGRAM] PATH TIME
//
// Opens PATH for reading and writing with no sharing and keeps it open until TIME seconds have
// passed or standard input reaches its end, whichever comes first, so that a test can show what
// another process of the same Wine prefix meets when the file is locked. Prints "held" once the
// file is open; prints "error N" with the Windows error code and exits with 1 when it cannot be
// opened.
//   --mutex, --event  PATH is a folder, and what is held instead is a mutex owned by this
//                     process or an event, named as faxjob once named that folder's turn.
//   --lock            PATH is opened shared for reading and writing and its first byte locked
//                     exclusively, as a run takes its folder's turn through FAXJOB.LCK.
//   --ms              TIME is in milliseconds.
//   --share-delete    shares the file's removal, as a virus scanner does: the file can be
//                     removed, but stays, pending, until it is closed.
//   --from-start-of   TIME counts from the start of the next process of the program at the full
//                     path PROGRAM, so that the file is held for a moment while that program
//                     starts. Exits with 3 when standard input ends before such a process starts.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdlib>
#include <cwchar>
#include <optional>
#include <set>
#include <string>

#include "tool_support.h"

namespace {

DWORD WINAPI ReadUntilEnd(void*) {
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &got, nullptr) &&
         got > 0) {
  }
  return 0;
}

// The kernel object that faxjob waited on for a folder's turn before the turn was a lock file.
tools::UniqueHandle CreateOldTurnObject(const wchar_t* folder, bool mutex) {
  const tools::UniqueFile handle(CreateFileW(
      folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION identity;
  if (!handle || !GetFileInformationByHandle(handle.Get(), &identity)) return {};
  wchar_t name[64];
  swprintf(name, 64, L"Global\\faxjob-result-folder-%08lx%08lx%08lx", identity.dwVolumeSerialNumber,
           identity.nFileIndexHigh, identity.nFileIndexLow);
  return tools::UniqueHandle(mutex ? CreateMutexW(nullptr, TRUE, name)
                                   : CreateEventW(nullptr, TRUE, FALSE, name));
}

// The processes running now, by id.
std::set<DWORD> RunningProcesses() {
  std::set<DWORD> ids;
  tools::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  if (!snapshot || !Process32FirstW(snapshot.Get(), &entry)) return ids;
  do {
    ids.insert(entry.th32ProcessID);
  } while (Process32NextW(snapshot.Get(), &entry));
  return ids;
}

// Whether process `id` runs `program`: none while that cannot be told yet, as
// early in the start of a process.
std::optional<bool> IsProcessOf(DWORD id, const std::wstring& program) {
  tools::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
  wchar_t image[MAX_PATH * 2];
  DWORD size = MAX_PATH * 2;
  if (!process || !QueryFullProcessImageNameW(process.Get(), 0, image, &size)) return std::nullopt;
  return lstrcmpiW(image, program.c_str()) == 0;
}

// Waits until a process of `program` starts that was not running before; false when `reader`
// ends first.
bool WaitForStartOf(const std::wstring& program, HANDLE reader) {
  std::set<DWORD> told = RunningProcesses();
  while (WaitForSingleObject(reader, 5) == WAIT_TIMEOUT) {
    for (const DWORD id : RunningProcesses()) {
      if (told.count(id) != 0) continue;
      const std::optional<bool> runsProgram = IsProcessOf(id, program);
      if (runsProgram == true) return true;
      if (runsProgram) told.insert(id);
    }
  }
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring kind;
  bool milliseconds = false;
  DWORD share = 0;
  std::wstring program;
  int next = 1;
  for (; next < argc && argv[next][0] == L'-'; ++next) {
    const std::wstring option = argv[next];
    if (option == L"--mutex" || option == L"--event" || option == L"--lock") {
      kind = option;
    } else if (option == L"--ms") {
      milliseconds = true;
    } else if (option == L"--share-delete") {
      share = FILE_SHARE_DELETE;
    } else if (option == L"--from-start-of" && next + 1 < argc) {
      program = argv[++next];
    } else {
      break;
    }
  }
  if (argc - next != 2) {
    tools::WriteStderr(
        "usage: hold.exe [--mutex | --event | --lock] [--ms] [--share-delete] "
        "[--from-start-of PROGRAM] PATH TIME\n");
    return 2;
  }
  const wchar_t* path = argv[next];
  tools::UniqueFile file;
  tools::UniqueHandle object;
  if (kind == L"--lock") {
    file.Reset(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    OVERLAPPED firstByte{};
    if (file && !LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &firstByte)) {
      tools::WriteStdout("error " + std::to_string(GetLastError()) + "\n");
      return 1;
    }
  } else if (kind.empty()) {
    file.Reset(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  } else {
    object = CreateOldTurnObject(path, kind == L"--mutex");
  }
  if (!file && !object) {
    tools::WriteStdout("error " + std::to_string(GetLastError()) + "\n");
    return 1;
  }
  tools::WriteStdout("held\n");
  const DWORD time = static_cast<DWORD>(wcstoul(argv[next + 1], nullptr, 10));
  tools::UniqueHandle reader(CreateThread(nullptr, 0, ReadUntilEnd, nullptr, 0, nullptr));
  if (!program.empty() && !WaitForStartOf(program, reader.Get())) return 3;
  WaitForSingleObject(reader.Get(), milliseconds ? time : time * 1000);
  return 0;
}
