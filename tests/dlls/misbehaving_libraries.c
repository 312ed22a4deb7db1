/* Libraries that stand where the fax library should be and write RESULT.TXT as it does, then
   behave in a way the program must outlive: block in their detach code, move the current folder,
   install an exception filter of their own when loaded and then fault, leave the floating-point
   unit rounding toward zero in single precision with denormals flushed, or close every small
   handle value during the call. Others end the process through their C runtime or the system as
   a vendor's library might (assert, raise, a pure-virtual call, FatalAppExit, abort imported
   without a name table), install a filter during the call and fault, or change the process in
   DllMain: the floating-point unit's modes and a full x87 register stack, a thread that faults a
   moment later during the call, a thread that leaves a mark in a file every 10 ms; or show
   boxes, their own or their runtime's after asking it for them. One branch per library, chosen
   by a compile definition. */
#if defined(ASSERTS) || defined(BOX_ASSERTS)
#undef NDEBUG /* the release build's flags would remove the assert */
#endif
#include "misbehaving_libraries.h"

#include <assert.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <xmmintrin.h>

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

__declspec(dllexport) int __stdcall SendZRQ_PageInt(void* record, const void* font) {
  (void)font;
#if defined(OWN_FILTER)
  (void)record;
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
#elif defined(CHANGES_FOLDER)
  if (!SetCurrentDirectoryA(Setting("ZRQ_CHANGE_TO"))) return -4;
  return WriteResult(record, ONE_ENTRY);
#else
  return WriteResult(record, ONE_ENTRY);
#endif
}
