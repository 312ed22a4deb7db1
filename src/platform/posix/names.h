// Names on POSIX: text in the locale's character set, and paths as the
// file system reads them.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace faxjob::posix {

class Converter;

/// The locale's character set, taken when the platform is made.
class Names {
 public:
  Names();
  ~Names();

  std::string ToNarrow(std::u16string_view text);
  std::string ToNarrowExactly(std::u16string_view text);
  std::u16string FromNarrow(std::string_view bytes);
  std::size_t NarrowCharLength(unsigned char leadByte) const { return charLengths_[leadByte]; }
  /// The path as the system calls take it.
  std::string Native(const std::u16string& path) { return ToNarrow(path); }

  /// See Files::FullPathOf and CanNeverCreate.
  std::u16string FullPathOf(const std::u16string& path);
  bool CanNeverCreate(const std::u16string& path);

 private:
  std::unique_ptr<Converter> toNarrow_;
  std::unique_ptr<Converter> fromNarrow_;
  unsigned char charLengths_[256];
};

}  // namespace faxjob::posix
