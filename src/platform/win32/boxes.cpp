#include "platform/win32/boxes.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "platform/win32/support.h"
#include "platform/win32/system_calls.h"

namespace faxjob {

using win32::gSystem;

namespace {

// The buttons of each kind of box, in order; MB_DEFBUTTON1 to 4 choose among them.
constexpr int kButtons[][3] = {{IDOK, 0, 0},
                               {IDOK, IDCANCEL, 0},
                               {IDABORT, IDRETRY, IDIGNORE},
                               {IDYES, IDNO, IDCANCEL},
                               {IDYES, IDNO, 0},
                               {IDRETRY, IDCANCEL, 0},
                               {IDCANCEL, IDTRYAGAIN, IDCONTINUE}};

int DefaultButton(UINT type) {
  const UINT kind = type & MB_TYPEMASK;
  if (kind >= std::size(kButtons)) return IDOK;
  const UINT index = (type & MB_DEFMASK) >> 8;
  const int* const buttons = kButtons[kind];
  return index < 3 && buttons[index] != 0 ? buttons[index] : buttons[0];
}

// MessageBoxA/W, MessageBoxExA/W, MessageBoxTimeoutA/W and MessageBoxIndirectA/W, answered.
int WINAPI AnswerBox(HWND, const void*, const void*, UINT type) { return DefaultButton(type); }
int WINAPI AnswerBoxEx(HWND, const void*, const void*, UINT type, WORD) {
  return DefaultButton(type);
}
int WINAPI AnswerBoxTimeout(HWND, const void*, const void*, UINT type, WORD, DWORD) {
  return DefaultButton(type);
}
int WINAPI AnswerBoxIndirect(const MSGBOXPARAMSW* box) {
  return DefaultButton(box != nullptr ? box->dwStyle : MB_OK);  // the A form is laid out alike
}

// Makes `function` jump to `replacement`: every caller lands there, however it found it.
void LeadTo(void* function, void* replacement) {
  constexpr std::size_t kJumpSize = 5;
  DWORD protection;
  if (function == nullptr ||
      !gSystem.VirtualProtect(function, kJumpSize, PAGE_EXECUTE_READWRITE, &protection)) {
    return;
  }
  auto* const code = static_cast<unsigned char*>(function);
  const std::int32_t distance =
      static_cast<std::int32_t>(static_cast<unsigned char*>(replacement) - (code + kJumpSize));
  code[0] = 0xE9;  // jmp rel32
  std::memcpy(code + 1, &distance, sizeof distance);
  gSystem.VirtualProtect(function, kJumpSize, protection, &protection);
  gSystem.FlushInstructionCache(gSystem.GetCurrentProcess(), function, kJumpSize);
}

std::atomic<bool> gAnswering{false};

}  // namespace

bool WindowStationIsVisible(HMODULE user32) {
  const auto processStation = EntryOf<HWINSTA(WINAPI*)()>(user32, "GetProcessWindowStation");
  const auto information = EntryOf<BOOL(WINAPI*)(HANDLE, int, void*, DWORD, DWORD*)>(
      user32, "GetUserObjectInformationW");
  USEROBJECTFLAGS flags{};
  if (processStation == nullptr || information == nullptr ||
      !information(processStation(), UOI_FLAGS, &flags, sizeof flags, nullptr)) {
    return true;  // not known: shown, as ever
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

void AnswerBoxesAtOnce(HMODULE user32) {
  if (user32 == nullptr || gAnswering || WindowStationIsVisible(user32) ||
      gAnswering.exchange(true)) {
    return;
  }
  const struct {
    const char* name;
    void* answer;
  } boxes[] = {{"MessageBoxA", reinterpret_cast<void*>(&AnswerBox)},
               {"MessageBoxW", reinterpret_cast<void*>(&AnswerBox)},
               {"MessageBoxExA", reinterpret_cast<void*>(&AnswerBoxEx)},
               {"MessageBoxExW", reinterpret_cast<void*>(&AnswerBoxEx)},
               {"MessageBoxTimeoutA", reinterpret_cast<void*>(&AnswerBoxTimeout)},
               {"MessageBoxTimeoutW", reinterpret_cast<void*>(&AnswerBoxTimeout)},
               {"MessageBoxIndirectA", reinterpret_cast<void*>(&AnswerBoxIndirect)},
               {"MessageBoxIndirectW", reinterpret_cast<void*>(&AnswerBoxIndirect)}};
  for (const auto& box : boxes) LeadTo(EntryOf<void*>(user32, box.name), box.answer);
}

}  // namespace faxjob
