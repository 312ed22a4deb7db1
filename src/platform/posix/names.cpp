#include "platform/posix/names.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>

#include "base/failure.h"
#include "base/unique_resource.h"
#include "platform/posix/errors.h"

namespace faxjob::posix {

namespace {

struct ConverterTraits {
  using Type = iconv_t;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv_open's failure value is (iconv_t)-1.
  static iconv_t Invalid() noexcept { return reinterpret_cast<iconv_t>(-1); }
  static bool Release(iconv_t converter) noexcept { return iconv_close(converter) == 0; }
};
using UniqueConverter = UniqueResource<ConverterTraits>;

}  // namespace

// Converts between the locale's character set and UTF-16 with iconv.
class Converter {
 public:
  Converter(const char* to, const char* from) : converter_(iconv_open(to, from)) {
    if (!converter_) throw Failure(kInternalError);
  }

  // Converts `input`; a unit the target lacks becomes `replacement`, or, with
  // none, ends the conversion with nothing.
  std::optional<std::string> Convert(const char* input, std::size_t size, std::size_t unitSize,
                                     std::optional<std::string_view> replacement) {
    std::string output;
    char block[4096];
    iconv(converter_.Get(), nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(input);
    std::size_t inLeft = size;
    while (inLeft > 0) {
      char* out = block;
      std::size_t outLeft = sizeof block;
      const std::size_t result = iconv(converter_.Get(), &in, &inLeft, &out, &outLeft);
      output.append(block, static_cast<std::size_t>(out - block));
      if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
        if (!replacement) return std::nullopt;
        output.append(*replacement);
        const std::size_t skip = std::min(unitSize, inLeft);
        in += skip;
        inLeft -= skip;
      }
    }
    return output;
  }

 private:
  UniqueConverter converter_;
};

namespace {

// The byte length of the locale's character that starts with `lead`, found
// with the C library's own decoder: the shortest sequence it accepts.
std::size_t CharLengthStartingWith(std::string& prefix) {
  std::mbstate_t state{};
  wchar_t wide;
  const std::size_t result = std::mbrtowc(&wide, prefix.data(), prefix.size(), &state);
  if (result == prefix.size()) return result;
  if (result != static_cast<std::size_t>(-2) || prefix.size() == MB_LEN_MAX) return 0;
  for (int trail = 0xFE; trail >= 0x21; --trail) {
    prefix.push_back(static_cast<char>(trail));
    const std::size_t length = CharLengthStartingWith(prefix);
    prefix.pop_back();
    if (length != 0) return length;
  }
  return 0;
}

const char* Bytes(std::u16string_view text) { return reinterpret_cast<const char*>(text.data()); }

}  // namespace

Names::Names() {
  // An unknown locale leaves the C locale's ASCII, and conversions refuse every other character.
  (void)std::setlocale(LC_ALL, "");
  const char* codeSet = nl_langinfo(CODESET);
  toNarrow_ = std::make_unique<Converter>(codeSet, "UTF-16LE");
  fromNarrow_ = std::make_unique<Converter>("UTF-16LE", codeSet);
  for (int lead = 0; lead < 256; ++lead) {
    std::string prefix(1, static_cast<char>(lead));
    charLengths_[lead] =
        static_cast<unsigned char>(std::max<std::size_t>(1, CharLengthStartingWith(prefix)));
  }
}

Names::~Names() = default;

std::string Names::ToNarrow(std::u16string_view text) {
  return *toNarrow_->Convert(Bytes(text), text.size() * 2, 2, "?");
}

std::string Names::ToNarrowExactly(std::u16string_view text) {
  std::optional<std::string> narrow = toNarrow_->Convert(Bytes(text), text.size() * 2, 2, {});
  if (!narrow) throw Failure(kBadFileName);
  return *std::move(narrow);
}

std::u16string Names::FromNarrow(std::string_view bytes) {
  const std::string wide = *fromNarrow_->Convert(bytes.data(), bytes.size(), 1, "\xFD\xFF");
  return std::u16string(reinterpret_cast<const char16_t*>(wide.data()), wide.size() / 2);
}

std::u16string Names::FullPathOf(const std::u16string& path) {
  if (path.starts_with(u'/')) return path;
  std::string folder(PATH_MAX, '\0');
  while (getcwd(folder.data(), folder.size()) == nullptr) {
    if (errno != ERANGE) ThrowErrno(kBadFileName);
    folder.resize(folder.size() * 2);
  }
  folder.resize(std::strlen(folder.c_str()));
  if (!folder.ends_with('/')) folder += '/';
  return FromNarrow(folder) + path;
}

bool Names::CanNeverCreate(const std::u16string& path) {
  const std::string native = Native(path);
  if (native.empty() || native.back() == '/') return true;
  struct stat status;
  if (stat(FolderOf(native).c_str(), &status) != 0) return errno == ENOENT || errno == ENOTDIR;
  if (!S_ISDIR(status.st_mode)) return true;
  if (stat(native.c_str(), &status) != 0) return false;
  return S_ISDIR(status.st_mode) || faccessat(AT_FDCWD, native.c_str(), W_OK, AT_EACCESS) != 0;
}

}  // namespace faxjob::posix
