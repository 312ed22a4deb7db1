/* fault_steps.exe print|quiet|no-threads REPORTFILE
   Takes, inside one process, each step that faxjob's fault path takes when it
   is armed, in the same order and with the same arguments, and ends with its
   two threads still waiting, as faxjob does. "print" prints one line, the
   microseconds of each step; "quiet" prints nothing, for time_pairs.exe;
   "no-threads" takes every step but the two threads. */
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

typedef BOOLEAN(NTAPI* DosPathToNtPath)(PCWSTR, UNICODE_STRING*, PCWSTR*, void*);
typedef void(NTAPI* FreeUnicodeString)(UNICODE_STRING*);

static HANDLE gFaultSeen;
static LARGE_INTEGER gFrequency, gLast;

static DWORD WINAPI Wait(void* parameter) {
  (void)parameter;
  WaitForSingleObject(gFaultSeen, INFINITE);
  return 0;
}

/* Microseconds since the last call. */
static double Lap(void) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const double elapsed =
      (double)(now.QuadPart - gLast.QuadPart) * 1e6 / (double)gFrequency.QuadPart;
  gLast = now;
  return elapsed;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const BOOL threads = wcscmp(argv[1], L"no-threads") != 0;
  QueryPerformanceFrequency(&gFrequency);
  Lap();
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const DosPathToNtPath toNtPath =
      (DosPathToNtPath)(void*)GetProcAddress(ntdll, "RtlDosPathNameToNtPathName_U");
  const FreeUnicodeString freeString =
      (FreeUnicodeString)(void*)GetProcAddress(ntdll, "RtlFreeUnicodeString");
  const double lookUp = GetProcAddress(ntdll, "NtCreateFile") != NULL ? Lap() : -1;
  UNICODE_STRING converted;
  if (!toNtPath(argv[2], &converted, NULL, NULL)) return 1;
  freeString(&converted);
  const double ntPath = Lap();
  HANDLE mainThread;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainThread,
                       SYNCHRONIZE, FALSE, 0)) {
    return 1;
  }
  const double duplicate = Lap();
  gFaultSeen = CreateEventW(NULL, TRUE, FALSE, NULL);
  const double event = Lap();
  ULONG guarantee = 16 * 1024;
  if (!SetThreadStackGuarantee(&guarantee)) return 1;
  const double stackGuarantee = Lap();
  double thread[2] = {0, 0};
  for (int i = 0; i < 2 && threads; ++i) {
    if (!CreateThread(NULL, 64 * 1024, Wait, NULL, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL)) {
      return 1;
    }
    thread[i] = Lap();
  }
  if (wcscmp(argv[1], L"print") == 0) {
    printf(
        "look-up %.0f nt-path %.0f duplicate %.0f event %.0f stack-guarantee %.0f"
        " first-thread %.0f second-thread %.0f\n",
        lookUp, ntPath, duplicate, event, stackGuarantee, thread[0], thread[1]);
    fflush(stdout);
  }
  ExitProcess(0);
}
