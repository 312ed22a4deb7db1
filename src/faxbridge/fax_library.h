// The binding to the fax library: loaded by name when the job is sent, so the
// program builds and starts without it.
#pragma once

#include <cstdint>

#include "faxbridge/send_request.h"
#include "platform/process.h"

// The library's entry points use the Windows stdcall convention; elsewhere
// the plain C convention stands in for it.
#if defined(_WIN32) && !defined(_WIN64)
#define FAXJOB_STDCALL __stdcall
#else
#define FAXJOB_STDCALL
#endif

namespace faxjob {

inline constexpr char16_t kFaxLibraryFileName[] = u"ZRQINT32.DLL";
// The library also offers SendZRQ_File and SendZRQ_PageExt; this program
// never looks them up.
inline constexpr char kSendPageIntEntryName[] = "SendZRQ_PageInt";

// Second argument: a LOGFONT record or null; this program always passes null.
using SendPageIntFunction = std::int32_t(FAXJOB_STDCALL*)(SendRequest* request,
                                                          const void* logFont);

// Loads the library and finds its entry point; the library stays loaded until
// the process ends. Raises 53 or 48 when it cannot be loaded, 453 when the
// entry point is missing.
SendPageIntFunction BindSendPageInt(Process& process);

}  // namespace faxjob
