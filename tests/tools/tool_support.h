// Small helpers shared by the Windows test tools: handle ownership, UTF-8 output and JSON strings.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/win32/support.h"

namespace tools {

// The program's own owning types for handles, and the same for the drawing
// and window-station objects that only the tools use.
using faxjob::UniqueFile;  // CreateFileW, snapshots
using UniqueHandle = faxjob::UniqueKernelObject;
template <typename T, auto kRelease>
struct NullableTraits {
  using Type = T;
  static T Invalid() noexcept { return nullptr; }
  static bool Release(T object) noexcept { return kRelease(object) != 0; }
};
using UniqueBitmap = faxjob::UniqueResource<NullableTraits<HBITMAP, &DeleteObject>>;
using UniqueDc = faxjob::UniqueResource<NullableTraits<HDC, &DeleteDC>>;
using UniqueWindowStation = faxjob::UniqueResource<NullableTraits<HWINSTA, &CloseWindowStation>>;
using UniqueDesktop = faxjob::UniqueResource<NullableTraits<HDESK, &CloseDesktop>>;

inline std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                      nullptr, nullptr);
  return utf8;
}

// Raw bytes to a standard handle: the console code page must not get in the way of UTF-8.
inline void WriteTo(DWORD which, const std::string& bytes) {
  DWORD written = 0;
  WriteFile(GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
inline void WriteStdout(const std::string& bytes) { WriteTo(STD_OUTPUT_HANDLE, bytes); }
inline void WriteStderr(const std::string& bytes) { WriteTo(STD_ERROR_HANDLE, bytes); }

// A JSON string literal. UTF-16 code units outside ASCII are written as \uXXXX escapes, so that
// lone surrogates survive the trip to the test.
inline std::string JsonString(const std::wstring& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string json = "\"";
  for (wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      json += static_cast<char>(c);
    } else {
      json += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) json += kHex[(c >> shift) & 0xf];
    }
  }
  return json + "\"";
}

// A whole text file: UTF-16LE after a byte order mark, otherwise strict UTF-8.
inline std::optional<std::wstring> ReadTextFile(const std::wstring& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  std::vector<char> bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file.Get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xff &&
      static_cast<unsigned char>(bytes[1]) == 0xfe) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    std::wstring text((bytes.size() - 2) / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                     static_cast<unsigned char>(bytes[3 + 2 * i]) << 8);
    }
    return text;
  }
  if (bytes.empty()) return std::wstring();
  int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                 static_cast<int>(bytes.size()), nullptr, 0);
  if (size == 0) return std::nullopt;
  std::wstring text(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                      text.data(), size);
  return text;
}

}  // namespace tools
