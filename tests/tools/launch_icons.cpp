// The icon of a message box, told apart by its picture on the screen.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "launch_windows.h"
#include "tool_support.h"

namespace launch {
namespace {

// 32-bit BGRA pixels of a width x height picture, top row first.
using Pixels = std::vector<uint32_t>;

struct MemoryCanvas {
  int width;
  int height;
  // Declared before the device context, so that it outlives the selection into it.
  tools::UniqueBitmap bitmap;
  tools::UniqueDc dc;
  uint32_t* bits = nullptr;

  MemoryCanvas(int w, int h) : width(w), height(h) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* raw_bits = nullptr;
    bitmap.Reset(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &raw_bits, nullptr, 0));
    dc.Reset(CreateCompatibleDC(nullptr));
    bits = static_cast<uint32_t*>(raw_bits);
    if (bitmap && dc) SelectObject(dc.Get(), bitmap.Get());
  }
  bool ok() const { return bits != nullptr && dc; }
  Pixels Copy() const {
    GdiFlush();
    return Pixels(bits, bits + static_cast<size_t>(width) * static_cast<size_t>(height));
  }
};

// What the icon control of another process shows, read back from the screen: icon handles and
// window device contexts of another process cannot be read under Wine, so the picture on the
// screen is compared with the system icons drawn here.
std::optional<Pixels> CaptureFromScreen(HWND window, int width, int height) {
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  MemoryCanvas canvas(width, height);
  HDC screen = GetDC(nullptr);
  if (!canvas.ok() || screen == nullptr) return std::nullopt;
  BOOL copied = BitBlt(canvas.dc.Get(), 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
  ReleaseDC(nullptr, screen);
  if (!copied) return std::nullopt;
  return canvas.Copy();
}

Pixels DrawSystemIcon(const wchar_t* icon_id, int width, int height, uint32_t background) {
  MemoryCanvas canvas(width, height);
  if (!canvas.ok()) return {};
  std::fill(canvas.bits, canvas.bits + static_cast<size_t>(width) * height, background);
  // Drawn the way a static icon control draws itself: at its natural size, at the top left.
  DrawIconEx(canvas.dc.Get(), 0, 0, LoadIconW(nullptr, icon_id), 0, 0, 0, nullptr, DI_NORMAL);
  return canvas.Copy();
}

uint64_t Difference(const Pixels& a, const Pixels& b) {
  uint64_t sum = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    for (int shift = 0; shift < 24; shift += 8) {
      int da = static_cast<int>((a[i] >> shift) & 0xff) - static_cast<int>((b[i] >> shift) & 0xff);
      sum += static_cast<uint64_t>(da < 0 ? -da : da);
    }
  }
  return sum;
}

}  // namespace

std::string ClassifyIcon(HWND icon_control) {
  if (!Shown(icon_control) || SendMessageW(icon_control, STM_GETICON, 0, 0) == 0) {
    return "none";
  }
  RECT client = {};
  GetClientRect(icon_control, &client);
  const int width = client.right;
  const int height = client.bottom;
  if (width <= 0 || height <= 0) return "none";
  auto shown = CaptureFromScreen(icon_control, width, height);
  if (!shown) return "unknown";
  const uint32_t background = (*shown)[0] & 0xffffff;  // icon corners are transparent

  struct Candidate {
    const char* name;
    const wchar_t* id;
  };
  const Candidate candidates[] = {{"hand", IDI_HAND},
                                  {"asterisk", IDI_ASTERISK},
                                  {"exclamation", IDI_EXCLAMATION},
                                  {"question", IDI_QUESTION}};
  const char* best = "unknown";
  uint64_t best_difference = UINT64_MAX;
  for (const Candidate& candidate : candidates) {
    Pixels drawn = DrawSystemIcon(candidate.id, width, height, background);
    uint64_t difference = Difference(*shown, drawn);
    if (difference < best_difference) {
      best_difference = difference;
      best = candidate.name;
    }
  }
  // A picture far from every system icon (nothing painted yet, or covered by another window) is not
  // guessed at: at most a few percent of the channel values may differ.
  const uint64_t limit = static_cast<uint64_t>(width) * height * 3 * 255 / 20;
  return best_difference <= limit ? best : "unknown";
}

}  // namespace launch
