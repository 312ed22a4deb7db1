/* time_pairs.exe PAIRS COMMAND-A COMMAND-B
   Runs the two command lines one after the other, PAIRS times, after one
   unmeasured run of each, and prints one line a pair: the wall time of A and
   of B in milliseconds, then their exit statuses. Timing inside Wine leaves
   out the cost of starting Wine itself, which no Windows program pays. */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

static double Run(const wchar_t* commandLine, DWORD* exitStatus) {
  static wchar_t buffer[32768];
  wcsncpy(buffer, commandLine, 32767);
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(NULL, buffer, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    fwprintf(stderr, L"cannot start %ls: error %lu\n", commandLine, GetLastError());
    exit(2);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  QueryPerformanceCounter(&end);
  GetExitCodeProcess(process.hProcess, exitStatus);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return (double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    fwprintf(stderr, L"usage: time_pairs.exe PAIRS COMMAND-A COMMAND-B\n");
    return 2;
  }
  const int pairs = _wtoi(argv[1]);
  DWORD statusA, statusB;
  Run(argv[2], &statusA);
  Run(argv[3], &statusB);
  for (int i = 0; i < pairs; ++i) {
    const double a = Run(argv[2], &statusA);
    const double b = Run(argv[3], &statusB);
    printf("%.3f %.3f %lu %lu\n", a, b, statusA, statusB);
    fflush(stdout);
  }
  return 0;
}
