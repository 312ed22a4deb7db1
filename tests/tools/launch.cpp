// launch.exe [--timeout-ms N] [RUN-OPTIONS] @COMMAND-LINE-FILE
//            [[RUN-OPTIONS] @COMMAND-LINE-FILE...]
//   RUN-OPTIONS: [--kill-after-ms N] [--kill-at-size PATH BYTES] [--invisible-desktop]
//
// Starts a program with an exact raw command line, waits for it to end and prints one JSON object
// on a line of stdout; with several command-line files, one after the other, each with the
// options given before it (a timeout holds for the runs after it too), so that a series of runs
// pays for one start of launch.exe:
//   {"exit_code": N, "timed_out": false, "elapsed_ms": N, "windows": [WINDOW...]}
// Every visible top-level window that the child, or a process it started (a command interpreter
// running the program, say), shows is inspected and then closed by pressing its default button,
// so that a modal message box never blocks a test:
//   {"class": "#32770", "title": "...", "text": "...", "buttons": [{"id": 1, "text": "OK"}],
//    "icon": "hand" | "asterisk" | "exclamation" | "question" | "none" | "unknown"}
//
// The command-line file holds the whole raw command line, UTF-8 without a byte order mark, or
// UTF-16LE after a byte order mark (for command lines that UTF-8 cannot carry, such as lone
// surrogates). The child inherits the environment, the current directory and the standard handles.
// A child still running after the timeout is terminated and reported with "timed_out": true.
// launch.exe exits with the last child's exit code, or 125 when it cannot start a child.
//
// Ending the child from outside, at a chosen moment; the report then tells "killed": true when
// the kill ended it, false when it had ended by itself first:
//   --kill-after-ms N          TerminateProcess N ms after the child's start;
//   --kill-at-size PATH BYTES  as soon as the file PATH (or the first file a wildcard PATH
//                              matches) holds BYTES or more, polled about every
//                              millisecond without opening it (it may be marked for deletion);
//                              with --kill-after-ms, N ms after that.
// --invisible-desktop starts the child on a desktop of a window station of its own, which is not
// visible, as a service's is; its windows are looked for there. The report then tells
// "station_visible": whether that station has WSF_VISIBLE.
// Fields are added only when asked for: a console caller reads the report from a line of at most
// 300 columns.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tool_support.h"

namespace {

using tools::ToUtf8;
using tools::UniqueHandle;

struct Button {
  int id = 0;
  std::wstring text;
};

struct WindowReport {
  std::wstring window_class;
  std::wstring title;
  std::wstring text;
  std::vector<Button> buttons;
  std::string icon = "none";
};

// Shown by its program: IsWindowVisible is false for every window of a desktop that is not visible.
bool Shown(HWND window) { return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0; }

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::wstring ClassName(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

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

BOOL CALLBACK CollectChild(HWND child, LPARAM children) {
  reinterpret_cast<std::vector<HWND>*>(children)->push_back(child);
  return TRUE;
}

WindowReport Inspect(HWND window) {
  WindowReport report;
  report.window_class = ClassName(window);
  report.title = WindowText(window);
  std::vector<HWND> children;
  EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
  for (HWND child : children) {
    const std::wstring child_class = ClassName(child);
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if (_wcsicmp(child_class.c_str(), L"Button") == 0) {
      if (Shown(child)) {
        report.buttons.push_back({GetDlgCtrlID(child), WindowText(child)});
      }
    } else if (_wcsicmp(child_class.c_str(), L"Static") == 0) {
      if ((style & SS_TYPEMASK) == SS_ICON) {
        report.icon = ClassifyIcon(child);
      } else if (Shown(child) && report.text.empty()) {
        report.text = WindowText(child);
      }
    }
  }
  return report;
}

// Presses the button a user would press to dismiss the window: OK, else Cancel, else the first.
void Dismiss(HWND window, const WindowReport& report) {
  if (report.buttons.empty()) {
    PostMessageW(window, WM_CLOSE, 0, 0);
    return;
  }
  const Button* chosen = &report.buttons.front();
  for (const Button& button : report.buttons) {
    if (button.id == IDOK) chosen = &button;
  }
  if (chosen->id != IDOK) {
    for (const Button& button : report.buttons) {
      if (button.id == IDCANCEL) chosen = &button;
    }
  }
  HWND button_window = GetDlgItem(window, chosen->id);
  PostMessageW(window, WM_COMMAND, MAKEWPARAM(chosen->id, BN_CLICKED),
               reinterpret_cast<LPARAM>(button_window));
}

// The exit code of a child ended by --kill-after-ms or --kill-at-size.
constexpr DWORD kKilledExitCode = 0xD1E;

struct WindowSearch {
  std::set<DWORD> process_ids;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectVisibleWindowOf(HWND window, LPARAM search_param) {
  auto* search = reinterpret_cast<WindowSearch*>(search_param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (search->process_ids.count(owner) != 0 && Shown(window)) {
    search->found.push_back(window);
  }
  return TRUE;
}

// Moves the window on top of all others, into a screen cell of its own, so that windows of tests
// running side by side do not cover the icon that is read back from the screen.
void BringIntoView(HWND window, DWORD process_id) {
  RECT frame = {};
  GetWindowRect(window, &frame);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  if (width <= 0 || height <= 0) return;
  const int columns = std::max(1, GetSystemMetrics(SM_CXSCREEN) / width);
  const int rows = std::max(1, GetSystemMetrics(SM_CYSCREEN) / height);
  const int cell = static_cast<int>(process_id / 4 % static_cast<DWORD>(columns * rows));
  SetWindowPos(window, HWND_TOPMOST, cell % columns * width, cell / columns * height, 0, 0,
               SWP_NOSIZE | SWP_NOACTIVATE);
}

// The process and every process it started, directly or through others.
std::set<DWORD> ProcessTree(DWORD root) {
  std::set<DWORD> tree{root};
  tools::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return tree;
  std::vector<std::pair<DWORD, DWORD>> parent_of;  // (process, parent)
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
       more = Process32NextW(snapshot.Get(), &entry)) {
    parent_of.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
  }
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [process, parent] : parent_of) {
      if (tree.count(parent) != 0 && tree.insert(process).second) grew = true;
    }
  }
  return tree;
}

// On the given desktop, or on launch.exe's own when it is null.
std::vector<HWND> VisibleWindowsOf(DWORD process_id, HDESK desktop) {
  WindowSearch search{ProcessTree(process_id), {}};
  if (desktop != nullptr) {
    EnumDesktopWindows(desktop, CollectVisibleWindowOf, reinterpret_cast<LPARAM>(&search));
  } else {
    EnumWindows(CollectVisibleWindowOf, reinterpret_cast<LPARAM>(&search));
  }
  return search.found;
}

bool StationVisible(HWINSTA station) {
  USEROBJECTFLAGS flags = {};
  return GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

struct InvisibleDesktop {
  tools::UniqueWindowStation station;
  tools::UniqueDesktop desktop;  // declared after its station, so closed before it
  std::wstring name;             // STATION\DESKTOP, as STARTUPINFO takes it
};

std::optional<InvisibleDesktop> CreateInvisibleDesktop() {
  InvisibleDesktop made;
  const std::wstring station_name = L"faxjob-launch-" + std::to_wstring(GetCurrentProcessId());
  made.station.Reset(CreateWindowStationW(station_name.c_str(), 0, WINSTA_ALL_ACCESS, nullptr));
  if (!made.station) return std::nullopt;
  // A desktop is made in the window station of the calling process.
  const HWINSTA own = GetProcessWindowStation();
  if (!SetProcessWindowStation(made.station.Get())) return std::nullopt;
  made.desktop.Reset(CreateDesktopW(L"hidden", nullptr, nullptr, 0, GENERIC_ALL, nullptr));
  SetProcessWindowStation(own);
  if (!made.desktop) return std::nullopt;
  made.name = station_name + L"\\hidden";
  return made;
}

// The size of a file without opening it: a file marked for deletion cannot be opened on Windows,
// and the directory still lists it.
std::optional<ULONGLONG> FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    return static_cast<ULONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  }
  WIN32_FIND_DATAW found = {};
  const faxjob::UniqueFileSearch search(FindFirstFileW(path.c_str(), &found));
  if (!search) return std::nullopt;
  return static_cast<ULONGLONG>(found.nFileSizeHigh) << 32 | found.nFileSizeLow;
}

std::string ReportJson(const WindowReport& window) {
  std::string json = "{\"class\": " + tools::JsonString(window.window_class) +
                     ", \"title\": " + tools::JsonString(window.title) +
                     ", \"text\": " + tools::JsonString(window.text) + ", \"buttons\": [";
  for (size_t i = 0; i < window.buttons.size(); ++i) {
    if (i > 0) json += ", ";
    json += "{\"id\": " + std::to_string(window.buttons[i].id) +
            ", \"text\": " + tools::JsonString(window.buttons[i].text) + "}";
  }
  return json + "], \"icon\": \"" + window.icon + "\"}";
}

int Fail(const std::string& message) {
  tools::WriteStderr("launch: " + message + "\n");
  return 125;
}

constexpr char kUsage[] =
    "usage: launch.exe [--timeout-ms N] [RUN-OPTIONS] @COMMAND-LINE-FILE "
    "[[RUN-OPTIONS] @COMMAND-LINE-FILE...]\n"
    "RUN-OPTIONS: [--kill-after-ms N] [--kill-at-size PATH BYTES] [--invisible-desktop]";

struct SizeTrigger {
  std::wstring path;
  ULONGLONG bytes = 0;
};

struct Run {
  std::wstring command_file;
  DWORD timeout_ms = 30000;
  std::optional<ULONGLONG> kill_after_ms;
  std::optional<SizeTrigger> kill_at_size;
  bool invisible_desktop = false;
};

// Runs one child to its end and prints its report; nothing when it cannot start.
std::optional<DWORD> RunChild(const Run& run) {
  std::optional<std::wstring> command_line = tools::ReadTextFile(run.command_file);
  if (!command_line) {
    Fail("cannot read the command-line file " + ToUtf8(run.command_file));
    return std::nullopt;
  }
  // CreateProcessW may write into the buffer, so it gets a private, terminated copy.
  std::vector<wchar_t> buffer(command_line->begin(), command_line->end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  std::optional<InvisibleDesktop> desktop;
  if (run.invisible_desktop) {
    desktop = CreateInvisibleDesktop();
    if (!desktop) {
      Fail("cannot create a window station and desktop: error " + std::to_string(GetLastError()));
      return std::nullopt;
    }
    startup.lpDesktop = desktop->name.data();
  }
  PROCESS_INFORMATION started = {};
  const ULONGLONG start_time = GetTickCount64();
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &started)) {
    Fail("CreateProcessW failed with error " + std::to_string(GetLastError()));
    return std::nullopt;
  }
  UniqueHandle process(started.hProcess);
  UniqueHandle thread(started.hThread);

  std::vector<std::string> window_reports;
  std::set<HWND> handled;
  bool timed_out = false;
  bool killed = false;
  // When the child is to be killed, as a tick count; not known yet while the size is awaited.
  std::optional<ULONGLONG> kill_time;
  if (run.kill_after_ms && !run.kill_at_size) kill_time = start_time + *run.kill_after_ms;
  ULONGLONG next_window_look = start_time;
  for (;;) {
    ULONGLONG now = GetTickCount64();
    ULONGLONG wait_ms = run.kill_at_size && !kill_time ? 1 : 50;
    if (kill_time) wait_ms = std::min(wait_ms, *kill_time > now ? *kill_time - now : 0);
    if (WaitForSingleObject(process.Get(), static_cast<DWORD>(wait_ms)) == WAIT_OBJECT_0) break;
    now = GetTickCount64();
    if (run.kill_at_size && !kill_time) {
      const std::optional<ULONGLONG> size = FileSize(run.kill_at_size->path);
      if (size && *size >= run.kill_at_size->bytes) {
        kill_time = now + run.kill_after_ms.value_or(0);
      }
    }
    if (kill_time && now >= *kill_time) {
      TerminateProcess(process.Get(), kKilledExitCode);
      WaitForSingleObject(process.Get(), 5000);
      DWORD code = 0;
      // Not killed when it had ended by itself with its own status.
      killed = GetExitCodeProcess(process.Get(), &code) && code == kKilledExitCode;
      break;
    }
    if (now - start_time > run.timeout_ms) {
      TerminateProcess(process.Get(), 0xDEAD);
      WaitForSingleObject(process.Get(), 5000);
      timed_out = true;
      break;
    }
    if (now < next_window_look) continue;
    next_window_look = now + 50;
    for (HWND window :
         VisibleWindowsOf(started.dwProcessId, desktop ? desktop->desktop.Get() : nullptr)) {
      if (handled.count(window) != 0) continue;
      // The icon is read back from the screen, so the window may need a moment to paint; on a
      // desktop that is not visible it never does.
      BringIntoView(window, started.dwProcessId);
      WindowReport report = Inspect(window);
      const int attempts = desktop ? 0 : 50;
      for (int attempt = 0; attempt < attempts && report.icon == "unknown"; ++attempt) {
        Sleep(100);
        BringIntoView(window, started.dwProcessId);
        report = Inspect(window);
      }
      window_reports.push_back(ReportJson(report));
      handled.insert(window);
      Dismiss(window, report);
    }
  }
  const ULONGLONG elapsed_ms = GetTickCount64() - start_time;
  DWORD exit_code = 0;
  GetExitCodeProcess(process.Get(), &exit_code);

  std::string json = "{\"exit_code\": " + std::to_string(exit_code) +
                     ", \"timed_out\": " + (timed_out ? "true" : "false");
  if (run.kill_after_ms || run.kill_at_size) {
    json += std::string(", \"killed\": ") + (killed ? "true" : "false");
  }
  if (desktop) {
    json += std::string(", \"station_visible\": ") +
            (StationVisible(desktop->station.Get()) ? "true" : "false");
  }
  json += ", \"elapsed_ms\": " + std::to_string(elapsed_ms) + ", \"windows\": [";
  for (size_t i = 0; i < window_reports.size(); ++i) {
    json += (i > 0 ? ", " : "") + window_reports[i];
  }
  tools::WriteStdout(json + "]}\n");
  return exit_code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<Run> runs;
  Run next;  // the options gathered for the run whose file comes next
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--timeout-ms" && i + 1 < argc) {
      next.timeout_ms = static_cast<DWORD>(wcstoul(argv[++i], nullptr, 10));
    } else if (arg == L"--kill-after-ms" && i + 1 < argc) {
      next.kill_after_ms = wcstoull(argv[++i], nullptr, 10);
    } else if (arg == L"--kill-at-size" && i + 2 < argc) {
      next.kill_at_size = SizeTrigger{argv[i + 1], wcstoull(argv[i + 2], nullptr, 10)};
      i += 2;
    } else if (arg == L"--invisible-desktop") {
      next.invisible_desktop = true;
    } else if (arg.size() > 1 && arg[0] == L'@') {
      next.command_file = arg.substr(1);
      runs.push_back(next);
      const DWORD timeout_ms = next.timeout_ms;  // holds for the runs after it too
      next = Run();
      next.timeout_ms = timeout_ms;
    } else {
      return Fail(kUsage);
    }
  }
  if (runs.empty()) return Fail(kUsage);
  DWORD exit_code = 0;
  for (const Run& run : runs) {
    const std::optional<DWORD> ended = RunChild(run);
    if (!ended) return 125;
    exit_code = *ended;
  }
  return static_cast<int>(exit_code);
}
