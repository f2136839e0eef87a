// Reading another process's windows (see window_query.h).
#include "window_query.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "common.h"
#include "dialog_template.h"
#include "icon_kind.h"

namespace uidriver {

namespace {

// Control IDs of a message box's text: Windows uses 0xFFFF, Wine 8 uses 100.
constexpr int kMessageBoxTextIds[] = {0xFFFF, 100};

// Whether the control holds a message box's text (0xFFFF may read back as -1).
bool IsMessageBoxTextId(int id) {
  return std::find(std::begin(kMessageBoxTextIds), std::end(kMessageBoxTextIds), id & 0xFFFF) !=
         std::end(kMessageBoxTextIds);
}
// The standard message-box buttons, IDOK (1) to IDCONTINUE (11).
constexpr int kFirstBoxButton = IDOK;
constexpr int kLastBoxButton = 11;

Json RectJson(const RECT& rect) {
  Json::Array values{Json(rect.left), Json(rect.top), Json(rect.right - rect.left), Json(rect.bottom - rect.top)};
  return Json(values);
}

RECT ClientRectOnScreen(HWND hwnd) {
  RECT rect = {};
  GetClientRect(hwnd, &rect);
  MapWindowPoints(hwnd, nullptr, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// The smallest number of dialog units that MapDialogRect (MulDiv rounding)
// turns into exactly `pixels` with this base; the nearest when none does.
int PixelsToDialogUnits(int pixels, int base, int divisor, bool* exact) {
  int guess = MulDiv(pixels, divisor, base);
  int best = guess;
  int best_error = -1;
  for (int candidate = guess - 2; candidate <= guess + 2; ++candidate) {
    int error = std::abs(MulDiv(candidate, base, divisor) - pixels);
    if (best_error < 0 || error < best_error) {
      best = candidate;
      best_error = error;
    }
  }
  if (best_error != 0) *exact = false;
  return best;
}

Json RectToDialogUnits(const RECT& client_rect, const BaseUnits& units, bool* exact) {
  Json::Array values{
      Json(PixelsToDialogUnits(client_rect.left, units.x, 4, exact)),
      Json(PixelsToDialogUnits(client_rect.top, units.y, 8, exact)),
      Json(PixelsToDialogUnits(client_rect.right - client_rect.left, units.x, 4, exact)),
      Json(PixelsToDialogUnits(client_rect.bottom - client_rect.top, units.y, 8, exact)),
  };
  return Json(values);
}

int DmGetDefId(HWND dialog) {
  DWORD_PTR answer = 0;
  if (SendWithTimeout(dialog, DM_GETDEFID, 0, 0, &answer) && HIWORD(answer) == DC_HASDEFID) {
    return LOWORD(answer);
  }
  return 0;
}

bool IsDefPushButton(HWND control) {
  return ClassName(control) == L"Button" && (GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

std::vector<HWND> DirectChildren(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
    if (children.size() > 1000) break;  // a window list changing under us must not loop forever
  }
  return children;
}

// The button that Enter presses: the visible one drawn as default
// (BS_DEFPUSHBUTTON), else what DM_GETDEFID says. Wine's message boxes
// answer DM_GETDEFID with IDOK whatever MB_DEFBUTTONn chose, so the style
// comes first.
int DefaultButtonId(HWND dialog) {
  int found = 0;
  for (HWND child : DirectChildren(dialog)) {
    if (IsDefPushButton(child) && (GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE)) {
      if (found) return DmGetDefId(dialog);  // more than one: let the dialog decide
      found = GetDlgCtrlID(child);
    }
  }
  return found ? found : DmGetDefId(dialog);
}

// Threads that let a message time out during the current command; they are
// not asked again until the next command, so that one busy thread (say, one
// sleeping in a polling loop) costs one time-out, not one per control.
std::set<DWORD> g_busy_threads;

}  // namespace

HWND FocusOfThread(DWORD tid) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(tid, &info) ? info.hwndFocus : nullptr;
}

void ForgetBusyThreads() { g_busy_threads.clear(); }

bool ThreadWasBusy(HWND hwnd) { return g_busy_threads.count(GetWindowThreadProcessId(hwnd, nullptr)) != 0; }

bool SendWithTimeout(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR* result, UINT timeout_ms) {
  DWORD tid = GetWindowThreadProcessId(hwnd, nullptr);
  if (g_busy_threads.count(tid)) return false;
  DWORD_PTR ignored = 0;
  SetLastError(0);
  if (SendMessageTimeoutW(hwnd, message, wparam, lparam, SMTO_ABORTIFHUNG | SMTO_BLOCK, timeout_ms,
                          result ? result : &ignored)) {
    return true;
  }
  if (GetLastError() == ERROR_TIMEOUT) g_busy_threads.insert(tid);
  return false;
}

std::wstring WindowText(HWND hwnd) {
  // WM_GETTEXT is what the program itself answers; the caption kept by the
  // system is the fallback when the window's thread does not answer.
  DWORD_PTR length = 0;
  if (SendWithTimeout(hwnd, WM_GETTEXTLENGTH, 0, 0, &length, 1000) && length < 65536) {
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (SendWithTimeout(hwnd, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&text[0]), &copied, 1000)) {
      text.resize(std::min<size_t>(copied, length));
      return text;
    }
  }
  wchar_t buffer[4096];
  int copied = InternalGetWindowText(hwnd, buffer, 4096);
  return std::wstring(buffer, copied > 0 ? copied : 0);
}

std::wstring ClassName(HWND hwnd) {
  wchar_t buffer[256];
  int length = GetClassNameW(hwnd, buffer, 256);
  return std::wstring(buffer, length > 0 ? length : 0);
}

DWORD WindowProcessId(HWND hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  return pid;
}

HWND ControlById(HWND parent, int id) {
  for (HWND child : DirectChildren(parent)) {
    if (GetDlgCtrlID(child) == id) return child;
  }
  return nullptr;
}

namespace {

struct WindowSearch {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK AddWindowOfProcess(HWND hwnd, LPARAM parameter) {
  auto* search = reinterpret_cast<WindowSearch*>(parameter);
  if (WindowProcessId(hwnd) == search->pid) search->found.push_back(hwnd);
  return TRUE;
}

}  // namespace

std::vector<HWND> TopLevelWindows(DWORD pid) {
  WindowSearch search{pid, {}};
  EnumWindows(AddWindowOfProcess, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

Json DescribeWindow(HWND hwnd) {
  Json window = Json::MakeObject();
  DWORD pid = 0;
  DWORD tid = GetWindowThreadProcessId(hwnd, &pid);
  HWND owner = GetWindow(hwnd, GW_OWNER);
  RECT rect = {};
  GetWindowRect(hwnd, &rect);
  window.Set("hwnd", HandleNumber(hwnd));
  window.Set("class", Utf8(ClassName(hwnd)));
  window.Set("title", Utf8(WindowText(hwnd)));
  window.Set("visible", IsWindowVisible(hwnd) != FALSE);
  window.Set("enabled", IsWindowEnabled(hwnd) != FALSE);
  window.Set("rect", RectJson(rect));
  window.Set("client_rect", RectJson(ClientRectOnScreen(hwnd)));
  window.Set("owner", HandleNumber(owner));
  window.Set("owner_title", owner ? Json(Utf8(WindowText(owner))) : Json());
  window.Set("pid", static_cast<int64_t>(pid));
  window.Set("tid", static_cast<int64_t>(tid));
  window.Set("style", static_cast<int64_t>(static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE))));
  window.Set("exstyle", static_cast<int64_t>(static_cast<DWORD>(GetWindowLongW(hwnd, GWL_EXSTYLE))));
  window.Set("foreground", GetForegroundWindow() == hwnd);
  return window;
}

std::string WindowsSeen(DWORD pid) {
  std::vector<HWND> windows = TopLevelWindows(pid);
  if (windows.empty()) return "no top-level windows";
  std::string seen;
  for (HWND hwnd : windows) {
    if (!seen.empty()) seen += ", ";
    Json brief = Json::MakeObject();
    brief.Set("hwnd", Hex(HandleNumber(hwnd)));
    brief.Set("class", Utf8(ClassName(hwnd)));
    brief.Set("title", Utf8(WindowText(hwnd)));
    brief.Set("visible", IsWindowVisible(hwnd) != FALSE);
    HWND owner = GetWindow(hwnd, GW_OWNER);
    if (owner) brief.Set("owner", Hex(HandleNumber(owner)));
    seen += brief.Dump();
  }
  return seen;
}

bool DialogBaseUnits(HWND dialog, BaseUnits* units, std::string* why_not) {
  // On Windows MapDialogRect reads any dialog's units; under Wine only those
  // of the calling process's dialogs, hence the template.
  RECT probe = {0, 0, 4, 8};
  if (MapDialogRect(dialog, &probe) && probe.right > 0 && probe.bottom > 0) {
    units->x = probe.right;
    units->y = probe.bottom;
    units->source = "MapDialogRect";
    return true;
  }
  TemplateMatch match;
  if (!FindDialogTemplate(dialog, &match, why_not)) {
    *why_not = "MapDialogRect does not work across processes here, and " + *why_not;
    return false;
  }
  units->x = match.x_base;
  units->y = match.y_base;
  units->source = "template";
  units->template_name = Utf8(match.name);
  units->template_language = match.language;
  units->template_size_matches = match.size_matches;
  return true;
}

Json DescribeProgress(HWND bar) {
  DWORD_PTR low = 0, high = 0, pos = 0;
  // PBM_GETRANGE with lParam NULL returns the chosen limit itself.
  if (!SendWithTimeout(bar, PBM_GETRANGE, TRUE, 0, &low) || !SendWithTimeout(bar, PBM_GETRANGE, FALSE, 0, &high) ||
      !SendWithTimeout(bar, PBM_GETPOS, 0, 0, &pos)) {
    return Json();
  }
  Json progress = Json::MakeObject();
  progress.Set("low", static_cast<int>(low));
  progress.Set("high", static_cast<int>(high));
  progress.Set("pos", static_cast<int>(pos));
  return progress;
}

Json DescribeControls(HWND dialog) {
  BaseUnits units;
  std::string why_not;
  bool have_units = DialogBaseUnits(dialog, &units, &why_not);
  RECT client = ClientRectOnScreen(dialog);
  int default_id = DefaultButtonId(dialog);
  HWND focus = FocusOfThread(GetWindowThreadProcessId(dialog, nullptr));

  Json controls = Json::MakeArray();
  for (HWND control : DirectChildren(dialog)) {
    Json item = Json::MakeObject();
    LONG style = GetWindowLongW(control, GWL_STYLE);
    std::wstring class_name = ClassName(control);
    RECT screen = {};
    GetWindowRect(control, &screen);
    RECT in_client = screen;
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&in_client), 2);
    int id = GetDlgCtrlID(control);
    item.Set("hwnd", HandleNumber(control));
    item.Set("id", id);
    item.Set("class", Utf8(class_name));
    item.Set("text", Utf8(WindowText(control)));
    item.Set("visible", (style & WS_VISIBLE) != 0);        // its own flag, as ShowWindow set it
    item.Set("shown", IsWindowVisible(control) != FALSE);  // and all its parents visible
    item.Set("enabled", IsWindowEnabled(control) != FALSE);
    item.Set("style", static_cast<int64_t>(static_cast<DWORD>(style)));
    item.Set("exstyle", static_cast<int64_t>(static_cast<DWORD>(GetWindowLongW(control, GWL_EXSTYLE))));
    item.Set("screen", RectJson(screen));
    item.Set("client", RectJson(in_client));
    if (have_units) {
      bool exact = true;
      item.Set("dlu", RectToDialogUnits(in_client, units, &exact));
      item.Set("dlu_exact", exact);
    } else {
      item.Set("dlu", Json());
    }
    item.Set("defpushbutton", IsDefPushButton(control));
    item.Set("default", default_id != 0 && id == default_id);  // see DefaultButtonId
    item.Set("focused", control == focus);
    if (class_name == PROGRESS_CLASSW) item.Set("progress", DescribeProgress(control));
    controls.Push(std::move(item));
  }

  Json answer = Json::MakeObject();
  answer.Set("window", DescribeWindow(dialog));
  answer.Set("controls", std::move(controls));
  // False: the dialog's thread did not answer in time, and the texts are the
  // system's copies (what the window last had set), not WM_GETTEXT's.
  answer.Set("thread_responding", !ThreadWasBusy(dialog));
  answer.Set("default_id", default_id);
  answer.Set("dm_getdefid", DmGetDefId(dialog));
  answer.Set("focus", HandleNumber(focus));
  if (have_units) {
    Json base = Json::MakeObject();
    base.Set("x", units.x);
    base.Set("y", units.y);
    base.Set("source", units.source);
    if (units.source == "template") {
      base.Set("template", units.template_name);
      base.Set("language", static_cast<int>(units.template_language));
      base.Set("size_matches", units.template_size_matches);
    }
    answer.Set("base_units", std::move(base));
    bool exact = true;
    RECT size = {0, 0, client.right - client.left, client.bottom - client.top};
    answer.Set("client_dlu", RectToDialogUnits(size, units, &exact));
  } else {
    answer.Set("base_units", Json());
    answer.Set("base_units_error", why_not);
  }
  return answer;
}

bool IsMessageBox(HWND hwnd) {
  if (ClassName(hwnd) != L"#32770") return false;
  bool has_text = false;
  bool has_button = false;
  for (HWND child : DirectChildren(hwnd)) {
    int id = GetDlgCtrlID(child);
    std::wstring class_name = ClassName(child);
    LONG style = GetWindowLongW(child, GWL_STYLE);
    if (class_name == L"Static" && (style & SS_TYPEMASK) != SS_ICON && IsMessageBoxTextId(id)) {
      has_text = true;
    }
    if (class_name == L"Button" && (style & WS_VISIBLE) && id >= kFirstBoxButton && id <= kLastBoxButton) {
      has_button = true;
    }
  }
  return has_text && has_button;
}

Json DescribeMessageBox(HWND box) {
  Json answer = DescribeWindow(box);
  std::wstring text;
  HWND icon_control = nullptr;
  struct Button {
    HWND hwnd;
    RECT rect;
  };
  std::vector<Button> buttons;
  for (HWND child : DirectChildren(box)) {
    int id = GetDlgCtrlID(child);
    std::wstring class_name = ClassName(child);
    LONG style = GetWindowLongW(child, GWL_STYLE);
    if (class_name == L"Static" && (style & SS_TYPEMASK) == SS_ICON) {
      if (style & WS_VISIBLE) icon_control = child;
    } else if (class_name == L"Static" && IsMessageBoxTextId(id)) {
      text = WindowText(child);
    } else if (class_name == L"Button" && (style & WS_VISIBLE)) {
      Button button{child, {}};
      GetWindowRect(child, &button.rect);
      buttons.push_back(button);
    }
  }
  std::sort(buttons.begin(), buttons.end(), [](const Button& a, const Button& b) {
    return a.rect.top != b.rect.top ? a.rect.top < b.rect.top : a.rect.left < b.rect.left;
  });
  Json button_list = Json::MakeArray();
  for (const Button& button : buttons) {
    Json item = Json::MakeObject();
    item.Set("id", GetDlgCtrlID(button.hwnd));
    item.Set("text", Utf8(WindowText(button.hwnd)));
    item.Set("enabled", IsWindowEnabled(button.hwnd) != FALSE);
    item.Set("defpushbutton", IsDefPushButton(button.hwnd));
    button_list.Push(std::move(item));
  }
  HWND focus = FocusOfThread(GetWindowThreadProcessId(box, nullptr));
  answer.Set("text", Utf8(text));
  answer.Set("buttons", std::move(button_list));
  answer.Set("default_id", DefaultButtonId(box));
  answer.Set("dm_getdefid", DmGetDefId(box));
  answer.Set("focus_id", focus && IsChild(box, focus) ? GetDlgCtrlID(focus) : 0);

  IconKind icon = ClassifyIcon(icon_control);
  answer.Set("icon", icon.kind);
  answer.Set("icon_method", icon.method);
  if (!icon.note.empty()) answer.Set("icon_note", icon.note);
  return answer;
}

Json DescribeWindowIcons(HWND hwnd) {
  Json icons = Json::MakeObject();
  SetLastError(0);
  ULONG_PTR class_icon = GetClassLongPtrW(hwnd, GCLP_HICON);
  DWORD class_error = GetLastError();
  ULONG_PTR class_small = GetClassLongPtrW(hwnd, GCLP_HICONSM);
  icons.Set("class_icon", static_cast<int64_t>(class_icon));
  icons.Set("class_icon_small", static_cast<int64_t>(class_small));
  if (!class_icon && class_error) icons.Set("class_icon_error", static_cast<int64_t>(class_error));
  const struct {
    const char* name;
    WPARAM which;
  } kinds[] = {{"wm_geticon_big", ICON_BIG}, {"wm_geticon_small", ICON_SMALL}, {"wm_geticon_small2", 2}};
  for (const auto& kind : kinds) {
    DWORD_PTR handle = 0;
    bool answered = SendWithTimeout(hwnd, WM_GETICON, kind.which, 0, &handle);
    icons.Set(kind.name, answered ? Json(static_cast<int64_t>(handle)) : Json());
  }
  // Wine's X11 driver names the X window of each top-level window in this
  // property; its _NET_WM_ICON holds the icon pixels the program set.
  HANDLE x11 = GetPropW(hwnd, L"__wine_x11_whole_window");
  icons.Set("x11_window", static_cast<int64_t>(reinterpret_cast<uintptr_t>(x11)));
  return icons;
}

}  // namespace uidriver
