// The binding to the fax library: loaded by name on the first call, so the
// program builds and starts without it.
#pragma once

#include <cstdint>
#include <memory>

#include "faxbridge/send_request.h"
#include "platform/platform.h"

// The library's entry points use the Windows stdcall convention; elsewhere
// the plain C convention stands in for it.
#if defined(_WIN32) && !defined(_WIN64)
#define FAXJOB_STDCALL __stdcall
#else
#define FAXJOB_STDCALL
#endif

namespace faxjob {

inline constexpr char16_t kFaxLibraryFileName[] = u"ZRQINT32.DLL";
inline constexpr char kSendPageIntEntryName[] = "SendZRQ_PageInt";
// The library's other entry points; this program never uses them.
inline constexpr char kSendFileEntryName[] = "SendZRQ_File";
inline constexpr char kSendPageExtEntryName[] = "SendZRQ_PageExt";

// Second argument: a LOGFONT record or null; this program always passes null.
using SendPageIntFunction = std::int32_t(FAXJOB_STDCALL*)(SendRequest* request,
                                                          const void* logFont);

class FaxLibrary {
 public:
  explicit FaxLibrary(Platform& platform) : platform_(platform) {}

  // Hands the record to the library and returns its result code. Blocks
  // until the library returns. Raises 53, 48 or 453 when it cannot be bound.
  std::int32_t SendPageInt(SendRequest& request);

 private:
  Platform& platform_;
  std::unique_ptr<DynamicLibrary> library_;
  SendPageIntFunction sendPageInt_ = nullptr;
};

}  // namespace faxjob
