/* What every misbehaving stand-in for the fax library shares: RESULT.TXT written as the fax
   library writes it, and the test's settings read from the environment. */
#ifndef FAXJOB_TESTS_MISBEHAVING_LIBRARIES_H
#define FAXJOB_TESTS_MISBEHAVING_LIBRARIES_H

#include <string.h>
#include <windows.h>

enum { kResultPathOffset = 548 };

/* `text` as RESULT.TXT at the record's result path, which may be relative. */
static inline int WriteResult(const unsigned char* record, const char* text) {
  const HANDLE file = CreateFileA((const char*)record + kResultPathOffset, GENERIC_WRITE, 0, NULL,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  DWORD written = 0;
  BOOL ok;
  if (file == INVALID_HANDLE_VALUE) return -2;
  ok = WriteFile(file, text, (DWORD)strlen(text), &written, NULL);
  CloseHandle(file);
  return ok ? 0 : -2;
}

#define ONE_ENTRY "/R 1\r\n"

/* A variable of the test's environment: empty when it is not set. */
static inline const char* Setting(const char* name) {
  static char value[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  if (length == 0 || length >= sizeof value) value[0] = '\0';
  return value;
}

/* Ends the process with the exception's code. */
static inline LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS* exception) {
  (void)exception;
  return EXCEPTION_EXECUTE_HANDLER;
}

#endif
