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

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "launch_windows.h"
#include "tool_support.h"

namespace {

using launch::BringIntoView;
using launch::Dismiss;
using launch::Inspect;
using launch::ReportJson;
using launch::VisibleWindowsOf;
using launch::WindowReport;
using tools::ToUtf8;
using tools::UniqueHandle;

// The exit code of a child ended by --kill-after-ms or --kill-at-size.
constexpr DWORD kKilledExitCode = 0xD1E;

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
