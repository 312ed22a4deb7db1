// hold.exe [--mutex | --event] PATH SECONDS
//
// Opens PATH for reading and writing with no sharing and keeps it open until SECONDS have passed
// or standard input reaches its end, whichever comes first, so that a test can show what another
// process of the same Wine prefix meets when the file is locked. Prints "held" once the file is
// open; prints "error N" with the Windows error code and exits with 1 when it cannot be opened.
// With --mutex or --event, PATH is a folder, and what is held instead is a mutex owned by this
// process or an event, named as faxjob once named that folder's turn.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring kind = argc == 4 ? argv[1] : L"";
  if (argc != 3 && kind != L"--mutex" && kind != L"--event") {
    tools::WriteStderr("usage: hold.exe [--mutex | --event] PATH SECONDS\n");
    return 2;
  }
  const wchar_t* path = argv[argc - 2];
  tools::UniqueFile file;
  tools::UniqueHandle object;
  if (kind.empty()) {
    file.Reset(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  } else {
    object = CreateOldTurnObject(path, kind == L"--mutex");
  }
  if (!file && !object) {
    tools::WriteStdout("error " + std::to_string(GetLastError()) + "\n");
    return 1;
  }
  tools::WriteStdout("held\n");
  const DWORD seconds = static_cast<DWORD>(wcstoul(argv[argc - 1], nullptr, 10));
  tools::UniqueHandle reader(CreateThread(nullptr, 0, ReadUntilEnd, nullptr, 0, nullptr));
  WaitForSingleObject(reader.Get(), seconds * 1000);
  return 0;
}
