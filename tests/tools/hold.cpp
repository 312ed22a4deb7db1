// hold.exe PATH SECONDS
//
// Opens PATH for reading and writing with no sharing and keeps it open until SECONDS have passed
// or standard input reaches its end, whichever comes first, so that a test can show what another
// process of the same Wine prefix meets when the file is locked. Prints "held" once the file is
// open; prints "error N" with the Windows error code and exits with 1 when it cannot be opened.
#include <windows.h>

#include <cstdlib>
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    tools::WriteStderr("usage: hold.exe PATH SECONDS\n");
    return 2;
  }
  tools::UniqueFile file(CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    tools::WriteStdout("error " + std::to_string(GetLastError()) + "\n");
    return 1;
  }
  tools::WriteStdout("held\n");
  const DWORD seconds = static_cast<DWORD>(wcstoul(argv[2], nullptr, 10));
  tools::UniqueHandle reader(CreateThread(nullptr, 0, ReadUntilEnd, nullptr, 0, nullptr));
  WaitForSingleObject(reader.Get(), seconds * 1000);
  return 0;
}
