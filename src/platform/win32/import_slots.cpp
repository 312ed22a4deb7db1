#include "platform/win32/import_slots.h"

#include <cstdint>

#include "platform/win32/support.h"
#include "platform/win32/system_calls.h"

namespace faxjob {

using win32::gSystem;

void Takeovers::Add(HMODULE module, std::initializer_list<const char*> names, void* replacement) {
  if (module == nullptr) return;
  for (const char* name : names) {
    void* const address = EntryOf<void*>(module, name);
    const std::size_t count = count_;
    if (address != nullptr && ReplacementFor(address) == nullptr && count < kCapacity) {
      entries_[count] = {address, replacement};
      count_ = count + 1;  // after the entry: a reader never sees one half written
    }
  }
}

void* Takeovers::ReplacementFor(void* address) const {
  const std::size_t count = count_;
  for (std::size_t i = 0; i < count; ++i) {
    if (entries_[i].address == address) return entries_[i].replacement;
  }
  return nullptr;
}

namespace {

using ImportSlot = decltype(IMAGE_THUNK_DATA::u1.Function);

// Makes the pages of import slots writable one page at a time, keeping the execute right of a
// page that has it: a thread of the library may run code on that very page meanwhile. Each page's
// protection is given back when the next page is reached, and at the end.
class SlotWriter {
 public:
  SlotWriter() = default;
  SlotWriter(const SlotWriter&) = delete;
  SlotWriter& operator=(const SlotWriter&) = delete;
  ~SlotWriter() { GiveBack(); }

  void Replace(ImportSlot& slot, void* replacement) {
    void* const page = PageOf(&slot);
    if (page != page_ && !Open(page)) return;
    slot = reinterpret_cast<ImportSlot>(replacement);
  }

 private:
  static void* PageOf(const void* address) {
    SYSTEM_INFO system;
    gSystem.GetSystemInfo(&system);
    const auto* const byte = static_cast<const BYTE*>(address);
    return const_cast<BYTE*>(byte - reinterpret_cast<std::uintptr_t>(byte) % system.dwPageSize);
  }
  bool Open(void* page) {
    GiveBack();
    MEMORY_BASIC_INFORMATION region;
    if (gSystem.VirtualQuery(page, &region, sizeof region) == 0) return false;
    constexpr DWORD kExecutable =
        PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    const DWORD writable =
        (region.Protect & kExecutable) != 0 ? PAGE_EXECUTE_READWRITE : PAGE_READWRITE;
    if (!gSystem.VirtualProtect(page, 1, writable, &protection_)) return false;
    page_ = page;
    return true;
  }
  void GiveBack() {
    if (page_ == nullptr) return;
    DWORD unused;
    gSystem.VirtualProtect(page_, 1, protection_, &unused);
    page_ = nullptr;
  }

  void* page_ = nullptr;
  DWORD protection_ = 0;
};

// The module's image as the loader mapped it: every header, directory and table read from it is
// checked to lie inside, since a library's headers may be damaged, or made to mislead.
class Image {
 public:
  explicit Image(HMODULE module) : base_(reinterpret_cast<const BYTE*>(module)) {
    MEMORY_BASIC_INFORMATION region;
    if (module == nullptr || gSystem.VirtualQuery(base_, &region, sizeof region) == 0) return;
    const std::size_t headerRoom = region.RegionSize;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base_);
    if (headerRoom < sizeof *dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 ||
        static_cast<std::size_t>(dos->e_lfanew) > headerRoom - sizeof(IMAGE_NT_HEADERS)) {
      return;
    }
    headers_ = reinterpret_cast<const IMAGE_NT_HEADERS*>(base_ + dos->e_lfanew);
    if (headers_->Signature != IMAGE_NT_SIGNATURE ||
        headers_->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) {
      headers_ = nullptr;
      return;
    }
    size_ = headers_->OptionalHeader.SizeOfImage;
  }

  /// The data directory `index`, or null when the image has none.
  const IMAGE_DATA_DIRECTORY* Directory(DWORD index) const {
    if (headers_ == nullptr || index >= headers_->OptionalHeader.NumberOfRvaAndSizes ||
        index >= IMAGE_NUMBEROF_DIRECTORY_ENTRIES) {
      return nullptr;
    }
    return &headers_->OptionalHeader.DataDirectory[index];
  }
  /// The address of `count` records of `T` at `offset`, or null where they reach outside.
  template <typename T>
  T* At(DWORD offset, std::size_t count = 1) const {
    if (offset == 0 || offset > size_ || count > (size_ - offset) / sizeof(T)) return nullptr;
    return reinterpret_cast<T*>(const_cast<BYTE*>(base_) + offset);
  }
  DWORD size() const { return size_; }

 private:
  const BYTE* base_;
  const IMAGE_NT_HEADERS* headers_ = nullptr;
  DWORD size_ = 0;
};

// Every slot of an address table, by the address the loader put there: the name table may be
// missing (old Borland and Delphi linkers), an import may be by ordinal or bound.
void TakeAddressTable(const Image& image, DWORD table, const Takeovers& takeovers,
                      SlotWriter& writer) {
  for (DWORD offset = table;; offset += sizeof(IMAGE_THUNK_DATA)) {
    auto* const slot = image.At<IMAGE_THUNK_DATA>(offset);
    if (slot == nullptr || slot->u1.Function == 0) return;
    // NOLINTNEXTLINE(performance-no-int-to-ptr): an import slot holds an address as a number.
    void* const imported = reinterpret_cast<void*>(slot->u1.Function);
    void* const replacement = takeovers.ReplacementFor(imported);
    if (replacement != nullptr) writer.Replace(slot->u1.Function, replacement);
  }
}

}  // namespace

void ReplaceSlot(IMAGE_THUNK_DATA& slot, void* replacement) {
  SlotWriter writer;
  writer.Replace(slot.u1.Function, replacement);
}

// The slots of the import table and, once the loader has filled them, of delay-loaded imports.
void TakeSlots(HMODULE module, const Takeovers& takeovers) {
  const Image image(module);
  SlotWriter writer;
  if (const IMAGE_DATA_DIRECTORY* imports = image.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT)) {
    for (DWORD offset = imports->VirtualAddress;; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
      const auto* const entry = image.At<const IMAGE_IMPORT_DESCRIPTOR>(offset);
      if (entry == nullptr || entry->Name == 0) break;
      TakeAddressTable(image, entry->FirstThunk, takeovers, writer);
    }
  }
  if (const IMAGE_DATA_DIRECTORY* delayed = image.Directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT)) {
    for (DWORD offset = delayed->VirtualAddress;; offset += sizeof(IMAGE_DELAYLOAD_DESCRIPTOR)) {
      const auto* const entry = image.At<const IMAGE_DELAYLOAD_DESCRIPTOR>(offset);
      if (entry == nullptr || entry->DllNameRVA == 0) break;
      if ((entry->Attributes.AllAttributes & 1) == 0) continue;  // an old linker's addresses
      TakeAddressTable(image, entry->ImportAddressTableRVA, takeovers, writer);
    }
  }
}

}  // namespace faxjob
