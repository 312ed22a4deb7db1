// The import slots of a loaded module, taken over one by one: each slot that holds an address
// of the table leads to its replacement instead.
#pragma once

#include <windows.h>

#include <cstddef>
#include <initializer_list>

namespace faxjob {

// The addresses taken over, each with where its slots lead instead. Only ever added to, by one
// thread at a time (the loader's lock or the run's own start); read by any.
class Takeovers {
 public:
  void Add(HMODULE module, std::initializer_list<const char*> names, void* replacement);
  /// Null where `address` is not taken over.
  void* ReplacementFor(void* address) const;

 private:
  static constexpr std::size_t kCapacity = 128;
  struct Entry {
    void* address;
    void* replacement;
  } entries_[kCapacity];
  volatile std::size_t count_ = 0;
};

/// Points every slot of `module`'s import table, and every filled slot of its delay-loaded
/// imports, that holds an address taken over at its replacement. Slots are matched by the address
/// they hold, so imports without a name table, by ordinal or bound are taken too. The headers are
/// checked to lie inside the image before they are read; each page keeps its execute right.
void TakeSlots(HMODULE module, const Takeovers& takeovers);

/// Points one import slot at `replacement`, as TakeSlots does: its page keeps its execute right.
void ReplaceSlot(IMAGE_THUNK_DATA& slot, void* replacement);

}  // namespace faxjob
