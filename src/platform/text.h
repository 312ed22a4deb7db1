// The platform's text: conversions between UTF-16 and the narrow (ANSI) code
// page, in which the report, the result file and the library's paths are
// written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace faxjob {

class Text {
 public:
  virtual ~Text() = default;

  /// The text in the narrow (ANSI) code page; a character the code page lacks is replaced as the
  /// system's own conversion does. For texts, never for paths. Raises 7.
  virtual std::string ToNarrow(std::u16string_view text) = 0;
  /// The text in the narrow code page exactly, or failure 52 when any character has no exact
  /// equivalent there: no near equivalent, no default character. For paths, which must name the
  /// very file meant: a replacement could name another file or act as a wildcard. Raises 7.
  virtual std::string ToNarrowExactly(std::u16string_view text) = 0;
  /// The narrow text in UTF-16; a byte sequence the code page does not define is replaced as the
  /// system's own conversion does. Raises 7.
  virtual std::u16string FromNarrow(std::string_view bytes) = 0;
  /// How many bytes the narrow character starting with this byte takes. Raises nothing.
  virtual std::size_t NarrowCharLength(unsigned char leadByte) = 0;
};

}  // namespace faxjob
