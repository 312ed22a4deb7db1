/* naive.exe JOBFILE REPORTFILE: the baseline for a whole job. The least a
   caller of the fax library must do, with no check at all: fill the record,
   call the library, copy the number of every "/R n" item of RESULT.TXT into
   the report with a fixed status text. A GUI program like faxjob.exe; the
   paths hold no spaces.

   Built with NAIVE_IDLE_THREADS=N as well (naive_threads.exe, N = 2): first
   starts N threads that only wait, as faxjob.exe's fault path starts two,
   and ends by TerminateProcess as faxjob.exe does; what threads alone cost. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

typedef int(__stdcall* SendPageInt)(void* record, const void* font);

#ifdef NAIVE_IDLE_THREADS
static DWORD WINAPI Idle(void* ready) {
  SetEvent(ready);
  Sleep(INFINITE);
  return 0;
}
#endif

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show) {
  (void)instance, (void)previous, (void)commandLine, (void)show;
#ifdef NAIVE_IDLE_THREADS
  HANDLE ready[NAIVE_IDLE_THREADS];
  for (int i = 0; i < NAIVE_IDLE_THREADS; ++i) {
    ready[i] = CreateEventW(NULL, TRUE, FALSE, NULL);
    CloseHandle(CreateThread(NULL, 65536, Idle, ready[i], STACK_SIZE_PARAM_IS_A_RESERVATION, NULL));
  }
  WaitForMultipleObjects(NAIVE_IDLE_THREADS, ready, TRUE, INFINITE);
#endif
  wchar_t* job = wcschr(GetCommandLineW(), L' ') + 1;
  wchar_t* report = wcschr(job, L' ');
  *report++ = L'\0';
  static char record[1360];
  WideCharToMultiByte(CP_ACP, 0, job, -1, record + 28, 260, NULL, NULL);
  char* result = record + 548;
  WideCharToMultiByte(CP_ACP, 0, report, -1, result, 260, NULL, NULL);
  strcpy(strrchr(result, '\\') + 1, "RESULT.TXT");
  SendPageInt send =
      (SendPageInt)(void*)GetProcAddress(LoadLibraryW(L"ZRQINT32.DLL"), "SendZRQ_PageInt");
  send(record, NULL);

  HANDLE in = CreateFileA(result, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  DWORD size = GetFileSize(in, NULL), done = 0;
  char* text = malloc(size + 1);
  ReadFile(in, text, size, &done, NULL);
  text[done] = '\0';
  CloseHandle(in);
  HANDLE out = CreateFileW(report, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  static const char kStatus[] =
      "FAX\x91\x97\x90"
      "M\x82\xF0\x8F"
      "I\x97\xB9\x82\xB5\x82\xDC\x82\xB5\x82\xBD\xA1";
  for (char* item = text; item != NULL; item = strpbrk(item, ",\n")) {
    if (*item == ',' || *item == '\n') ++item;
    if (item[0] != '/' || item[1] != 'R') continue;
    char line[64];
    const int length = sprintf(line, "%06d,%s\r\n", atoi(item + 2), kStatus);
    WriteFile(out, line, (DWORD)length, &done, NULL);
  }
  CloseHandle(out);
#ifdef NAIVE_IDLE_THREADS
  TerminateProcess(GetCurrentProcess(), 0);
#endif
  return 0;
}
