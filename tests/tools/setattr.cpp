// setattr.exe PATH [ATTRIBUTE[,ATTRIBUTE...]]
// setattr.exe --short-path PATH
//
// Sets the file attributes of PATH through SetFileAttributesW; ATTRIBUTE is one of hidden, system,
// readonly, archive and normal. Then prints the attributes as Windows now reports them, in hex
// (0x22 for hidden and archive), which is also all it does without an ATTRIBUTE argument.
// With --short-path it prints PATH in its short (8.3) form instead, in UTF-8.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tool_support.h"

namespace {

bool ParseAttributes(const std::wstring& list, DWORD* attributes) {
  *attributes = 0;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(L',', start);
    if (end == std::wstring::npos) end = list.size();
    const std::wstring name = list.substr(start, end - start);
    if (name == L"hidden") {
      *attributes |= FILE_ATTRIBUTE_HIDDEN;
    } else if (name == L"system") {
      *attributes |= FILE_ATTRIBUTE_SYSTEM;
    } else if (name == L"readonly") {
      *attributes |= FILE_ATTRIBUTE_READONLY;
    } else if (name == L"archive") {
      *attributes |= FILE_ATTRIBUTE_ARCHIVE;
    } else if (name != L"normal") {
      return false;
    }
    start = end + 1;
  }
  if (*attributes == 0) *attributes = FILE_ATTRIBUTE_NORMAL;
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 3) {
    tools::WriteStderr("usage: setattr.exe PATH [hidden|system|readonly|archive|normal[,...]]\n");
    return 2;
  }
  if (argc == 3 && std::wstring(argv[1]) == L"--short-path") {
    wchar_t shortPath[MAX_PATH];
    const DWORD length = GetShortPathNameW(argv[2], shortPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
      tools::WriteStderr("setattr: GetShortPathNameW failed with error " +
                         std::to_string(GetLastError()) + "\n");
      return 1;
    }
    tools::WriteStdout(tools::ToUtf8(shortPath) + "\n");
    return 0;
  }
  if (argc == 3) {
    DWORD attributes = 0;
    if (!ParseAttributes(argv[2], &attributes)) {
      tools::WriteStderr("setattr: unknown attribute name\n");
      return 2;
    }
    if (!SetFileAttributesW(argv[1], attributes)) {
      tools::WriteStderr("setattr: SetFileAttributesW failed with error " +
                         std::to_string(GetLastError()) + "\n");
      return 1;
    }
  }
  const DWORD now = GetFileAttributesW(argv[1]);
  if (now == INVALID_FILE_ATTRIBUTES) {
    tools::WriteStderr("setattr: GetFileAttributesW failed with error " +
                       std::to_string(GetLastError()) + "\n");
    return 1;
  }
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%lx\n", static_cast<unsigned long>(now));
  tools::WriteStdout(hex);
  return 0;
}
