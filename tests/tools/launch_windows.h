// The windows that launch.exe reports and closes, of its child and of the processes the child
// started: what each shows (class, title, text, buttons, icon), and the button that dismisses it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace launch {

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
bool Shown(HWND window);

// The shown top-level windows of the process and of every process it started, directly or
// through others; on the given desktop, or on launch.exe's own when it is null.
std::vector<HWND> VisibleWindowsOf(DWORD process_id, HDESK desktop);

// Moves the window on top of all others, into a screen cell of its own, so that windows of tests
// running side by side do not cover the icon that is read back from the screen.
void BringIntoView(HWND window, DWORD process_id);

WindowReport Inspect(HWND window);

// The system icon that an icon control shows: "hand", "asterisk", "exclamation", "question",
// "none" or "unknown".
std::string ClassifyIcon(HWND icon_control);

// Presses the button a user would press to dismiss the window: OK, else Cancel, else the first.
void Dismiss(HWND window, const WindowReport& report);

// The window as a JSON object of the run's report.
std::string ReportJson(const WindowReport& window);

}  // namespace launch
