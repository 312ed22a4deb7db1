#include "platform/win32/library_exits.h"

#include <cstring>
#include <initializer_list>

namespace faxjob {

namespace {

bool EndsTheProcess(const char* name) {
  for (const char* end : {"ExitProcess", "FatalExit", "RtlExitUserProcess", "exit", "_exit",
                          "_Exit", "quick_exit", "abort"}) {
    if (std::strcmp(name, end) == 0) return true;
  }
  return false;
}

using ImportSlot = decltype(IMAGE_THUNK_DATA::u1.Function);

void Replace(ImportSlot& slot, void* replacement) {
  DWORD protection;
  // The import table usually lies in a read-only section once the loader has filled it.
  if (!VirtualProtect(&slot, sizeof slot, PAGE_READWRITE, &protection)) return;
  slot = reinterpret_cast<ImportSlot>(replacement);
  VirtualProtect(&slot, sizeof slot, protection, &protection);
}

}  // namespace

void RedirectProcessEnds(HMODULE library, void* replacement) {
  auto* const base = reinterpret_cast<BYTE*>(library);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return;
  for (auto* entry =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       entry->Name != 0; ++entry) {
    // The names are in the lookup table: the loader overwrote them in the address table.
    if (entry->OriginalFirstThunk == 0) continue;
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* named =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (EndsTheProcess(reinterpret_cast<const char*>(named->Name))) {
        Replace(slots->u1.Function, replacement);
      }
    }
  }
}

}  // namespace faxjob
