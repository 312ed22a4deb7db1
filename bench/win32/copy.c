/* copy.exe SOURCE TARGET: the baseline for a transcription. Copies SOURCE to
   TARGET with ReadFile and WriteFile in 1 MiB blocks. A GUI program like
   faxjob.exe; the paths hold no spaces. Exit status 0, or 1 on any failure. */
#include <windows.h>

enum { kBlockSize = 1 << 20 };

/* The next space-separated word of the command line, terminated in place. */
static wchar_t* NextWord(wchar_t** rest) {
  wchar_t* word = *rest;
  while (*word == L' ') ++word;
  wchar_t* end = word;
  while (*end != L'\0' && *end != L' ') ++end;
  if (*end != L'\0') *end++ = L'\0';
  *rest = end;
  return word;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)show;
  wchar_t* rest = commandLine;
  const wchar_t* source = NextWord(&rest);
  const wchar_t* target = NextWord(&rest);
  HANDLE input = CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, NULL);
  if (input == INVALID_HANDLE_VALUE) return 1;
  HANDLE output = CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  if (output == INVALID_HANDLE_VALUE) return 1;
  char* block = VirtualAlloc(NULL, kBlockSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (block == NULL) return 1;
  int status = 0;
  for (;;) {
    DWORD read = 0;
    DWORD written = 0;
    if (!ReadFile(input, block, kBlockSize, &read, NULL)) status = 1;
    if (status != 0 || read == 0) break;
    if (!WriteFile(output, block, read, &written, NULL) || written != read) status = 1;
  }
  if (!CloseHandle(output)) status = 1;
  CloseHandle(input);
  return status;
}
