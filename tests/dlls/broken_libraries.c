/* Libraries that stand where the fax library should be, each broken in one
   way: no SendZRQ_PageInt entry point, or an import from a library that is
   not there. */
#include <windows.h>

#ifdef NEEDS_DEPENDENCY
__declspec(dllimport) int ZrqDependency(void);
__declspec(dllexport) int __stdcall SendZRQ_PageInt(void* request, const void* font) {
  (void)request;
  (void)font;
  return ZrqDependency();
}
#elif defined(DEPENDENCY)
__declspec(dllexport) int ZrqDependency(void) { return 0; }
#else
/* Exports only the library's other entry points. */
__declspec(dllexport) int __stdcall SendZRQ_File(const char* path) {
  (void)path;
  return 0;
}
#endif
