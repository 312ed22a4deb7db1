/* Libraries that stand where the fax library should be and write RESULT.TXT
   as it does, then behave in a way the program must outlive: end the process
   during the call, block in their detach code, or move the current folder.
   One branch per library, chosen by a compile definition. */
#include <stdlib.h>
#include <windows.h>

enum { kResultPathOffset = 548 };

/* "/R 1" at the record's result path, which may be relative. */
static int WriteResultFile(const unsigned char* record) {
  static const char kResult[] = "/R 1\r\n";
  const HANDLE file = CreateFileA((const char*)record + kResultPathOffset, GENERIC_WRITE, 0, NULL,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  DWORD written = 0;
  BOOL ok;
  if (file == INVALID_HANDLE_VALUE) return -2;
  ok = WriteFile(file, kResult, sizeof kResult - 1, &written, NULL);
  CloseHandle(file);
  return ok ? 0 : -2;
}

#if defined(ENDS_PROCESS) || defined(CALLS_EXIT) || defined(CHANGES_FOLDER)
/* A variable of the test's environment: empty when it is not set. */
static const char* Setting(const char* name) {
  static char value[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  if (length == 0 || length >= sizeof value) value[0] = '\0';
  return value;
}
#endif

#ifdef BLOCKS_IN_DETACH
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void* reserved) {
  (void)module;
  (void)reserved;
  if (reason == DLL_PROCESS_DETACH) Sleep(INFINITE);
  return TRUE;
}
#endif

__declspec(dllexport) int __stdcall SendZRQ_PageInt(void* record, const void* font) {
  (void)font;
#if defined(ENDS_PROCESS)
  WriteResultFile(record);
  ExitProcess((UINT)atoi(Setting("ZRQ_EXIT_CODE")));
#elif defined(CALLS_EXIT)
  WriteResultFile(record);
  exit(atoi(Setting("ZRQ_EXIT_CODE")));
#elif defined(CHANGES_FOLDER)
  if (!SetCurrentDirectoryA(Setting("ZRQ_CHANGE_TO"))) return -4;
  return WriteResultFile(record);
#else
  return WriteResultFile(record);
#endif
}
