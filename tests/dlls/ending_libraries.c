/* Libraries that stand where the fax library should be, write RESULT.TXT as it does, and then
   end the process by a route the program must see: ExitProcess or the C runtime's exit during the
   call, ExitProcess in DllMain, a thread that ends the process or faults a moment after the call
   returned, TerminateProcess through a handle with the right to end it alone, what GetProcAddress
   finds, a second library, the other threads suspended, the program's TLS callbacks called with
   the process's detach, a stack overflow in frames of a page, RaiseFailFastException, or
   ExitProcess imported with a delayed load, its slot filled by the library's own delay-load helper
   or by the system's. One branch per library, chosen by a compile definition. */
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "misbehaving_libraries.h"
/* clang-format off: after windows.h, which it needs */
#include <tlhelp32.h>
/* clang-format on */

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

#ifdef SYSTEM_DELAY_HELPER
/* The delay-load helper of the system's own libraries: the system fills the slot itself, with no
   GetProcAddress of the library's. */
PVOID WINAPI ResolveDelayLoadedAPI(PVOID base, PCIMAGE_DELAYLOAD_DESCRIPTOR descriptor,
                                   PVOID libraryHook, PVOID systemHook, PIMAGE_THUNK_DATA slot,
                                   ULONG flags);
extern IMAGE_DOS_HEADER __ImageBase;

FARPROC WINAPI __delayLoadHelper2(PCIMAGE_DELAYLOAD_DESCRIPTOR descriptor, FARPROC* slot) {
  return (FARPROC)ResolveDelayLoadedAPI(&__ImageBase, descriptor, NULL, NULL,
                                        (PIMAGE_THUNK_DATA)slot, 0);
}
#endif

#if defined(DELAY_LOADED_END) || defined(SYSTEM_DELAY_HELPER)
/* ExitProcess called through its thunk, which jumps through the delay-load slot: GNU ld drops the
   thunk, and with it the slot's first value, where only the slot is referred to. */
void WINAPI DelayedExitProcess(UINT status) __asm__("_ExitProcess@4");
extern void* const gExitProcessSlot __asm__("__imp__ExitProcess@4");

/* The zeroed descriptor that ends the list of delay-load descriptors, as the Microsoft linker
   writes it: GNU ld places .text$3 right after the descriptor dlltool's library puts in .text$2. */
__attribute__((section(".text$3"), aligned(4), used)) static const DWORD gEndOfDelayDescriptors[8];
#endif

__declspec(dllexport) int __stdcall SendZRQ_PageInt(void* record, const void* font) {
  (void)font;
#if defined(ENDS_PROCESS)
  WriteResult(record, ONE_ENTRY);
  ExitProcess((UINT)atoi(Setting("ZRQ_EXIT_CODE")));
#elif defined(DELAY_LOADED_END) || defined(SYSTEM_DELAY_HELPER)
  /* The slot is filled by the delay-load helper only now. Without its first value the call would
     fault rather than end the process. */
  if (gExitProcessSlot == NULL) return -4;
  WriteResult(record, ONE_ENTRY);
  DelayedExitProcess(0);
  return 0;
#elif defined(CALLS_EXIT)
  WriteResult(record, ONE_ENTRY);
  exit(atoi(Setting("ZRQ_EXIT_CODE")));
#elif defined(FAIL_FAST)
  WriteResult(record, ONE_ENTRY);
  RaiseFailFastException(NULL, NULL, 0);
  return 0;
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
#else
  return WriteResult(record, ONE_ENTRY);
#endif
}
