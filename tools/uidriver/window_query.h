// Reading the windows of another process: top-level windows, a dialog's
// controls with their geometry in pixels and dialog units, message boxes,
// progress bars and window icons. Everything here only reads; nothing sends
// a message that could change the target's state.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "json.h"

namespace uidriver {

// Sends a message to a window of any process, giving up after timeout_ms
// (or at once when the receiving thread hangs, or timed out before in this
// command). Returns false when there is no answer.
bool SendWithTimeout(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR* result, UINT timeout_ms = 1000);
// Starts a new command: threads that timed out are asked again.
void ForgetBusyThreads();
// Whether the window's thread let a message time out in this command.
bool ThreadWasBusy(HWND hwnd);

std::wstring WindowText(HWND hwnd);
std::wstring ClassName(HWND hwnd);
DWORD WindowProcessId(HWND hwnd);

// Top-level windows of the process, of all its threads, in z-order (top first).
std::vector<HWND> TopLevelWindows(DWORD pid);

// hwnd, class, title, visible, enabled, rect, client_rect, owner,
// owner_title, pid, tid, style, exstyle, foreground.
Json DescribeWindow(HWND hwnd);

// A one-line list of the process's top-level windows, for error texts.
std::string WindowsSeen(DWORD pid);

// Pixels per 4 horizontal and per 8 vertical dialog units of one dialog.
struct BaseUnits {
  int x = 0;
  int y = 0;
  std::string source;  // "MapDialogRect" or "template"
  // With "template": which template of the executable the dialog matched,
  // and whether its size in these units is the dialog's client size.
  std::string template_name;
  int template_language = 0;
  bool template_size_matches = false;
};
bool DialogBaseUnits(HWND dialog, BaseUnits* units, std::string* why_not);

// Every direct child of the window in z-order (a dialog's template order),
// plus the dialog's default button, focus and base units.
Json DescribeControls(HWND dialog);

// low, high, pos of a progress bar control; null when its thread does not answer.
Json DescribeProgress(HWND bar);

// A standard message box: a dialog with the message text in control 0xFFFF
// (Windows) or 100 (Wine) and at least one visible standard button.
bool IsMessageBox(HWND hwnd);
// title, text, buttons (id and text, left to right), default_id, focus_id,
// icon (question, exclamation, information, error, none or unknown),
// icon_method, owner, owner_title, tid.
Json DescribeMessageBox(HWND box);

// What can be learnt about a window's icons from outside the process.
Json DescribeWindowIcons(HWND hwnd);

// The window that has the keyboard focus in that thread, or null.
HWND FocusOfThread(DWORD tid);

// The HWND of a numbered child control, or null.
HWND ControlById(HWND parent, int id);

}  // namespace uidriver
