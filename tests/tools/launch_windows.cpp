// Finding, inspecting and dismissing the windows of a child and the processes it started.
#include "launch_windows.h"

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tool_support.h"

namespace launch {
namespace {

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

BOOL CALLBACK CollectChild(HWND child, LPARAM children) {
  reinterpret_cast<std::vector<HWND>*>(children)->push_back(child);
  return TRUE;
}

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

}  // namespace

bool Shown(HWND window) { return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0; }

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

std::vector<HWND> VisibleWindowsOf(DWORD process_id, HDESK desktop) {
  WindowSearch search{ProcessTree(process_id), {}};
  if (desktop != nullptr) {
    EnumDesktopWindows(desktop, CollectVisibleWindowOf, reinterpret_cast<LPARAM>(&search));
  } else {
    EnumWindows(CollectVisibleWindowOf, reinterpret_cast<LPARAM>(&search));
  }
  return search.found;
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

}  // namespace launch
