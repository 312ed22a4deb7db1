/* Libraries that change the state of the process they are loaded into, the
   way some runtimes do, and then call on their own:
   - OWN_FILTER installs an unhandled-exception filter of its own when it is
     loaded, which ends the process with status 7, then faults in the call;
   - FLOATING_POINT sets the x87 unit to round toward zero in single
     precision and SSE to round toward zero and flush denormals to zero,
     writes RESULT.TXT with the entry /R 0.4999999999999999 and returns 0. */
#include <windows.h>
#include <xmmintrin.h>

#ifdef OWN_FILTER
static LONG WINAPI EndWithOwnStatus(EXCEPTION_POINTERS* exception) {
  (void)exception;
  TerminateProcess(GetCurrentProcess(), 7);
  return EXCEPTION_CONTINUE_SEARCH;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) SetUnhandledExceptionFilter(EndWithOwnStatus);
  return TRUE;
}

__declspec(dllexport) int __stdcall SendZRQ_PageInt(void* request, const void* font) {
  (void)request;
  (void)font;
  *(volatile int*)0 = 1;
  return 0;
}
#else
static const char* ResultPath(const void* request) { return (const char*)request + 548; }

__declspec(dllexport) int __stdcall SendZRQ_PageInt(void* request, const void* font) {
  static const char entry[] = "/R 0.4999999999999999\r\n";
  unsigned short control;
  HANDLE file;
  DWORD written = 0;
  (void)font;
  __asm__ volatile("fnstcw %0" : "=m"(control));
  control = (unsigned short)((control & ~0x0F00u) | 0x0C00u); /* round toward zero, 24 bits */
  __asm__ volatile("fldcw %0" : : "m"(control));
  _mm_setcsr(_mm_getcsr() | 0x6000u | 0x8040u); /* toward zero, flush and treat as zero */
  file = CreateFileA(ResultPath(request), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return -2;
  WriteFile(file, entry, sizeof entry - 1, &written, NULL);
  CloseHandle(file);
  return 0;
}
#endif
