/* Libraries that stand where the fax library should be and write RESULT.TXT
   as it does, then behave in a way the program must outlive: end the process
   during the call, block in their detach code, move the current folder,
   install an exception filter of their own when loaded and then fault, or
   leave the floating-point unit rounding toward zero in single precision with
   denormals flushed, or close every small handle value during the call. Others
   end the process through their C runtime or the system as a vendor's library
   might (assert, raise, a pure-virtual call, FatalAppExit, abort imported
   without a name table), install a filter during the call and fault, or change
   the process in DllMain: the floating-point unit's modes and a full x87
   register stack, a thread that faults a moment later during the call, a thread that leaves a
   mark in a file every 10 ms; or start a thread that ends the process or faults a moment after
   the call returned, or overflow the stack in frames of a page; end the process in DllMain,
   through a handle with the right to end it alone, through what GetProcAddress finds, through a
   second library, or suspend the other threads; show boxes, its own or its runtime's after
   asking it for them; or call the program's TLS callbacks with the process's detach. One branch
   per library, chosen by a compile definition. */
#if defined(ASSERTS) || defined(BOX_ASSERTS)
#undef NDEBUG /* the release build's flags would remove the assert */
#endif
#include <assert.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <xmmintrin.h>
/* clang-format off: after windows.h, which it needs */
#include <tlhelp32.h>
/* clang-format on */

enum { kResultPathOffset = 548 };

/* `text` as RESULT.TXT at the record's result path, which may be relative. */
static int WriteResult(const unsigned char* record, const char* text) {
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

#if defined(ENDS_PROCESS) || defined(CALLS_EXIT) || defined(CHANGES_FOLDER) || \
    defined(CLOSES_HANDLES) || defined(MARKS_FROM_LOAD) || defined(LATE_THREAD_ENDS) || \
    defined(LOOKS_UP_ENDS)
/* A variable of the test's environment: empty when it is not set. */
static const char* Setting(const char* name) {
  static char value[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  if (length == 0 || length >= sizeof value) value[0] = '\0';
  return value;
}
#endif

#ifdef OWN_FILTER
static LONG WINAPI EndWithOwnStatus(EXCEPTION_POINTERS* exception) {
  (void)exception;
  TerminateProcess(GetCurrentProcess(), 7);
  return EXCEPTION_CONTINUE_SEARCH;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void* reserved) {
  (void)module;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) SetUnhandledExceptionFilter(EndWithOwnStatus);
  return TRUE;
}
#endif

#if defined(FILTER_IN_CALL) || defined(THREAD_FAULTS_AFTER_LOAD) || defined(LOOKS_UP_ENDS)
/* Ends the process with the exception's code. */
static LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS* exception) {
  (void)exception;
  return EXCEPTION_EXECUTE_HANDLER;
}
#endif

#ifdef PURE_CALL
int __cdecl _purecall(void); /* what a call of a pure virtual function lands in */
#endif

#if defined(FLOATING_POINT) || defined(FLOATING_POINT_AT_LOAD)
static void RoundTowardZeroInSinglePrecision(void) {
  unsigned short control;
  __asm__ volatile("fnstcw %0" : "=m"(control));
  control = (unsigned short)((control & ~0x0F00u) | 0x0C00u); /* toward zero, 24 bits */
  __asm__ volatile("fldcw %0" : : "m"(control));
  _mm_setcsr(_mm_getcsr() | 0x6000u | 0x8040u); /* toward zero, flush and treat as zero */
}
#endif

#ifdef FLOATING_POINT_AT_LOAD
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void* reserved) {
  (void)module;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    RoundTowardZeroInSinglePrecision();
    /* All eight x87 registers left in use: the next load of any caller overflows to a NaN. */
    __asm__ volatile("fld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1");
  }
  return TRUE;
}
#endif

#ifdef THREAD_FAULTS_AFTER_LOAD
static DWORD WINAPI FaultSoon(void* parameter) {
  (void)parameter;
  Sleep(500); /* the program is inside the call by then */
  *(volatile int*)0 = 1;
  return 0;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void* reserved) {
  (void)module;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    SetUnhandledExceptionFilter(EndWithExceptionCode);
    CloseHandle(CreateThread(NULL, 0, FaultSoon, NULL, 0, NULL));
  }
  return TRUE;
}
#endif

#ifdef MARKS_FROM_LOAD
static HANDLE gFirstMark; /* set once the first mark is in the file */

/* Appends a mark to the file ZRQ_MARKS names. */
static BOOL Mark(void) {
  const HANDLE file = CreateFileA(Setting("ZRQ_MARKS"), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  DWORD written = 0;
  BOOL ok;
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  ok = WriteFile(file, "x", 1, &written, NULL);
  CloseHandle(file);
  return ok;
}

/* A mark every 10 ms until the process ends. */
static DWORD WINAPI MarkEvery10Ms(void* parameter) {
  (void)parameter;
  while (Mark()) {
    SetEvent(gFirstMark);
    Sleep(10);
  }
  return 1;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void* reserved) {
  (void)module;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    gFirstMark = CreateEventA(NULL, TRUE, FALSE, NULL);
    CloseHandle(CreateThread(NULL, 0, MarkEvery10Ms, NULL, 0, NULL));
  }
  return TRUE;
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

#ifdef LATE_THREAD_ENDS
/* A few milliseconds after the call returned, while the program transcribes, keeps and closes
   the report: ZRQ_LATE_HOW "fault" faults, anything else calls ExitProcess(0). */
static DWORD WINAPI EndSoon(void* parameter) {
  LARGE_INTEGER now;
  (void)parameter;
  QueryPerformanceCounter(&now);
  Sleep((DWORD)(now.QuadPart % 40));
  if (strcmp(Setting("ZRQ_LATE_HOW"), "fault") == 0) *(volatile int*)0 = 1;
  ExitProcess(0);
  return 0;
}
#endif

#ifdef ENDS_IN_DLLMAIN
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void* reserved) {
  (void)module;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) ExitProcess(0);
  return TRUE;
}
#endif

#ifdef HELPER_ENDS
/* A second library, loaded by the first during the call, that ends the process itself. */
__declspec(dllexport) void __stdcall ZrqHelperEnd(void) { ExitProcess(0); }
#endif

#ifdef SUSPENDS_THREADS
static DWORD gCaller;

/* Suspends every other thread of the process, then ends the thread that called the library. */
static DWORD WINAPI SuspendOthersAndEndCaller(void* parameter) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry;
  HANDLE caller;
  (void)parameter;
  entry.dwSize = sizeof entry;
  if (snapshot != INVALID_HANDLE_VALUE && Thread32First(snapshot, &entry)) {
    do {
      if (entry.th32OwnerProcessID == GetCurrentProcessId() &&
          entry.th32ThreadID != GetCurrentThreadId()) {
        const HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
        if (thread != NULL) {
          SuspendThread(thread);
          CloseHandle(thread);
        }
      }
    } while (Thread32Next(snapshot, &entry));
  }
  caller = OpenThread(THREAD_TERMINATE, FALSE, gCaller);
  TerminateThread(caller, 0);
  return 0;
}
#endif

#ifdef DEEP_FRAMES
static volatile unsigned gDepth = 0xFFFFFFFFu;

/* Frames of a page each, as a vendor's routine with a large local buffer has. */
static int RecurseInPages(volatile char* previous, unsigned depth) {
  volatile char frame[4096];
  frame[0] = *previous;
  frame[sizeof frame - 1] = frame[0];
  return depth == 0 ? 0 : RecurseInPages(frame, depth - 1) + frame[sizeof frame - 1];
}
#endif

__declspec(dllexport) int __stdcall SendZRQ_PageInt(void* record, const void* font) {
  (void)font;
#if defined(ENDS_PROCESS)
  WriteResult(record, ONE_ENTRY);
  ExitProcess((UINT)atoi(Setting("ZRQ_EXIT_CODE")));
#elif defined(CALLS_EXIT)
  WriteResult(record, ONE_ENTRY);
  exit(atoi(Setting("ZRQ_EXIT_CODE")));
#elif defined(OWN_FILTER)
  (void)record;
  (void)WriteResult;
  *(volatile int*)0 = 1;
  return 0;
#elif defined(FLOATING_POINT)
  RoundTowardZeroInSinglePrecision();
  return WriteResult(record, "/R 0.4999999999999999\r\n");
#elif defined(FLOATING_POINT_AT_LOAD)
  return WriteResult(record, "/R 0.4999999999999999\r\n/R 2.5\r\n");
#elif defined(ASSERTS)
  WriteResult(record, ONE_ENTRY);
  assert(record == NULL);
  return 0;
#elif defined(RAISES_ABORT)
  WriteResult(record, ONE_ENTRY);
  raise(SIGABRT);
  return 0;
#elif defined(PURE_CALL)
  WriteResult(record, ONE_ENTRY);
  _purecall();
  return 0;
#elif defined(FATAL_APP_EXIT)
  WriteResult(record, ONE_ENTRY);
  FatalAppExitA(0, "ZRQ");
  return 0;
#elif defined(NO_NAME_TABLE)
  WriteResult(record, ONE_ENTRY);
  abort();
#elif defined(FILTER_IN_CALL)
  WriteResult(record, ONE_ENTRY);
  SetUnhandledExceptionFilter(EndWithExceptionCode);
  *(volatile int*)0 = 1;
  return 0;
#elif defined(CLOSES_HANDLES)
  {
    /* Every small handle value, as a library that closes a stale handle twice may hit any;
       then a moment for the program's threads to find theirs gone, and, with ZRQ_THEN_FAULT
       set, a fault, which the program's fault path must still record. */
    ULONG_PTR value;
    for (value = 4; value < 4096; value += 4) CloseHandle((HANDLE)value);
    Sleep(500);
    if (Setting("ZRQ_THEN_FAULT")[0] != '\0') *(volatile int*)0 = 1;
  }
  return WriteResult(record, ONE_ENTRY);
#elif defined(THREAD_FAULTS_AFTER_LOAD)
  {
    const int written = WriteResult(record, ONE_ENTRY);
    Sleep(10000); /* its thread faults meanwhile */
    return written;
  }
#elif defined(MARKS_FROM_LOAD)
  /* Returns once the thread has left its first mark, so that a run shows it ran. */
  WaitForSingleObject(gFirstMark, 10000);
  return WriteResult(record, ONE_ENTRY);
#elif defined(LATE_THREAD_ENDS)
  CloseHandle(CreateThread(NULL, 0, EndSoon, NULL, 0, NULL));
  return WriteResult(record, ONE_ENTRY);
#elif defined(TERMINATE_ONLY_HANDLE)
  {
    /* A real handle to the own process with the right to end it and no other. */
    const HANDLE self = OpenProcess(PROCESS_TERMINATE, FALSE, GetCurrentProcessId());
    WriteResult(record, ONE_ENTRY);
    TerminateProcess(self, 0);
    return 0;
  }
#elif defined(LOOKS_UP_ENDS)
  {
    /* ZRQ_LOOK_UP names what is looked up: ExitProcess, TerminateProcess, or
       SetUnhandledExceptionFilter (a filter of its own, then a fault). */
    const char* name = Setting("ZRQ_LOOK_UP");
    const FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), name);
    WriteResult(record, ONE_ENTRY);
    if (strcmp(name, "ExitProcess") == 0) ((void(WINAPI*)(UINT))(void*)found)(0);
    if (strcmp(name, "TerminateProcess") == 0) {
      ((BOOL(WINAPI*)(HANDLE, UINT))(void*)found)(GetCurrentProcess(), 0);
    }
    if (strcmp(name, "SetUnhandledExceptionFilter") == 0) {
      ((LPTOP_LEVEL_EXCEPTION_FILTER(WINAPI*)(LPTOP_LEVEL_EXCEPTION_FILTER))(void*)found)(
          EndWithExceptionCode);
      *(volatile int*)0 = 1;
    }
    return 0;
  }
#elif defined(LOADS_HELPER)
  {
    const HMODULE helper = LoadLibraryA("ZRQHELP.dll");
    const FARPROC end = helper != NULL ? GetProcAddress(helper, "ZrqHelperEnd") : NULL;
    WriteResult(record, ONE_ENTRY);
    if (end != NULL) ((void(WINAPI*)(void))(void*)end)();
    return -4;
  }
#elif defined(SUSPENDS_THREADS)
  gCaller = GetCurrentThreadId();
  WriteResult(record, ONE_ENTRY);
  CloseHandle(CreateThread(NULL, 0, SuspendOthersAndEndCaller, NULL, 0, NULL));
  Sleep(INFINITE);
  return 0;
#elif defined(BOX_ASSERTS)
  WriteResult(record, ONE_ENTRY);
  _set_error_mode(_OUT_TO_MSGBOX);
  assert(record == NULL);
  return 0;
#elif defined(SHOWS_BOXES)
  {
    /* As a runtime linked into the library shows its errors: through its own import, and
       through what GetProcAddress finds. */
    const FARPROC wide = GetProcAddress(GetModuleHandleA("user32.dll"), "MessageBoxW");
    MessageBoxA(NULL, "runtime error", "ZRQ", MB_OKCANCEL | MB_ICONSTOP);
    ((int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT))(void*)wide)(NULL, L"runtime error", L"ZRQ",
                                                              MB_YESNO | MB_DEFBUTTON2);
    return WriteResult(record, ONE_ENTRY);
  }
#elif defined(CALLS_TLS_DETACH)
  {
    /* What Windows does when a process ends by an ExitProcess that nobody redirected: the
       program's TLS callbacks with the process's detach, in the order the directory lists. */
    const BYTE* const program = (const BYTE*)GetModuleHandleA(NULL);
    const IMAGE_NT_HEADERS* const headers =
        (const IMAGE_NT_HEADERS*)(program + ((const IMAGE_DOS_HEADER*)program)->e_lfanew);
    const IMAGE_DATA_DIRECTORY* const tls =
        &headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    WriteResult(record, ONE_ENTRY);
    if (tls->VirtualAddress != 0) {
      const IMAGE_TLS_DIRECTORY* const directory =
          (const IMAGE_TLS_DIRECTORY*)(program + tls->VirtualAddress);
      const PIMAGE_TLS_CALLBACK* callback =
          (const PIMAGE_TLS_CALLBACK*)directory->AddressOfCallBacks;
      for (; callback != NULL && *callback != NULL; ++callback) {
        (*callback)((void*)program, DLL_PROCESS_DETACH, NULL);
      }
    }
    return -4; /* no callback ended the process */
  }
#elif defined(DEEP_FRAMES)
  {
    volatile char start = 0;
    WriteResult(record, ONE_ENTRY);
    return RecurseInPages(&start, gDepth);
  }
#elif defined(CHANGES_FOLDER)
  if (!SetCurrentDirectoryA(Setting("ZRQ_CHANGE_TO"))) return -4;
  return WriteResult(record, ONE_ENTRY);
#else
  return WriteResult(record, ONE_ENTRY);
#endif
}
