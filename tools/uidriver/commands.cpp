// The driver's commands (see README.md for the protocol). Input is posted,
// never sent, so that a click that opens a modal loop in the target cannot
// block the driver; and it is refused where a real user could not give it
// (hidden or disabled window) unless the request says "force": true.
#include "commands.h"

#include <commctrl.h>
#include <wincrypt.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "common.h"
#include "window_query.h"

namespace uidriver {

namespace {

constexpr int kProtocolVersion = 1;
constexpr int64_t kDefaultTimeoutMs = 5000;

Json Ok() {
  Json answer = Json::MakeObject();
  answer.Set("ok", true);
  return answer;
}

std::string Quoted(const std::wstring& text) { return "\"" + Utf8(text) + "\""; }

std::string Describe(HWND hwnd) {
  return Hex(HandleNumber(hwnd)) + " (" + Utf8(ClassName(hwnd)) + " " + Quoted(WindowText(hwnd)) + ")";
}

DWORD RequirePid(const Json& request) {
  int64_t pid = RequireInt(request, "pid");
  if (pid <= 0 || pid > 0xFFFFFFFFLL) throw CommandError("bad pid " + std::to_string(pid));
  return static_cast<DWORD>(pid);
}

// Which top-level windows a wait or search accepts.
struct WindowFilter {
  DWORD pid = 0;
  bool has_title = false, has_title_contains = false, has_class = false, has_owner = false;
  std::wstring title, title_contains, class_name;
  int64_t owner = 0;
  bool visible = true;
  bool message_box = false;
  std::set<int64_t> exclude;

  static WindowFilter FromRequest(const Json& request) {
    WindowFilter filter;
    filter.pid = RequirePid(request);
    if ((filter.has_title = Has(request, "title"))) filter.title = Wide(RequireString(request, "title"));
    if ((filter.has_title_contains = Has(request, "title_contains"))) {
      filter.title_contains = Wide(RequireString(request, "title_contains"));
    }
    if ((filter.has_class = Has(request, "class"))) filter.class_name = Wide(RequireString(request, "class"));
    if ((filter.has_owner = Has(request, "owner"))) filter.owner = RequireInt(request, "owner");
    filter.visible = OptionalBool(request, "visible", true);
    if (const Json* exclude = request.Find("exclude")) {
      if (!exclude->is_array()) throw CommandError("parameter \"exclude\" must be a list of window handles");
      for (const Json& hwnd : exclude->as_array()) filter.exclude.insert(hwnd.as_int());
    }
    return filter;
  }

  bool Matches(HWND hwnd) const {
    if (exclude.count(HandleNumber(hwnd))) return false;
    if (visible && !IsWindowVisible(hwnd)) return false;
    if (has_class && ClassName(hwnd) != class_name) return false;
    if (has_owner && HandleNumber(GetWindow(hwnd, GW_OWNER)) != owner) return false;
    if (has_title || has_title_contains) {
      std::wstring text = WindowText(hwnd);
      if (has_title && text != title) return false;
      if (has_title_contains && text.find(title_contains) == std::wstring::npos) return false;
    }
    return !message_box || IsMessageBox(hwnd);
  }

  HWND FindFirst() const {
    for (HWND hwnd : TopLevelWindows(pid)) {
      if (Matches(hwnd)) return hwnd;
    }
    return nullptr;
  }

  std::string Wanted() const {
    std::string text = std::string(visible ? "a visible " : "a ") + (message_box ? "message box" : "window") +
                       " of process " + std::to_string(pid);
    if (has_title) text += " titled " + Quoted(title);
    if (has_title_contains) text += " with " + Quoted(title_contains) + " in its title";
    if (has_class) text += " of class " + Quoted(class_name);
    if (has_owner) text += " owned by " + Hex(owner);
    if (!exclude.empty()) text += " (not one of " + std::to_string(exclude.size()) + " excluded)";
    return text;
  }
};

// Waits for a matching window; throws with what was seen on time-out.
HWND WaitForWindow(const WindowFilter& filter, int64_t timeout_ms) {
  HWND found = nullptr;
  WaitUntil(timeout_ms, [&] { return (found = filter.FindFirst()) != nullptr; });
  if (!found) {
    throw CommandError("expected " + filter.Wanted() + " within " + std::to_string(timeout_ms) +
                       " ms; seen: " + WindowsSeen(filter.pid));
  }
  return found;
}

// A real user can only act on a window that is shown and enabled, inside a
// top-level window that is enabled (a modal box disables its owner).
void RequireInteractive(HWND hwnd, const char* action) {
  HWND root = GetAncestor(hwnd, GA_ROOT);
  std::string what = std::string("cannot ") + action + " " + Describe(hwnd) + ": ";
  std::string modal_hint = " (is a modal window open?); windows of its process: " + WindowsSeen(WindowProcessId(root));
  if (!IsWindowVisible(hwnd)) throw CommandError(what + "it is not visible");
  if (!IsWindowEnabled(hwnd)) throw CommandError(what + "it is disabled" + (hwnd == root ? modal_hint : ""));
  if (root && !IsWindowEnabled(root))
    throw CommandError(what + "its window " + Describe(root) + " is disabled" + modal_hint);
}

HWND RequireControl(const Json& request) {
  HWND parent = RequireWindow(request, "hwnd");
  if (!Has(request, "id")) return parent;
  int id = static_cast<int>(RequireInt(request, "id"));
  HWND control = ControlById(parent, id);
  if (!control) {
    std::string ids;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      ids += (ids.empty() ? "" : ", ") + std::to_string(GetDlgCtrlID(child));
    }
    throw CommandError("expected a control " + std::to_string(id) + " in " + Describe(parent) +
                       "; its controls are: " + (ids.empty() ? "none" : ids));
  }
  return control;
}

void Post(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (!PostMessageW(hwnd, message, wparam, lparam)) {
    throw CommandError("cannot post message " + Hex(message) + " to " + Describe(hwnd) + ": error " +
                       std::to_string(GetLastError()));
  }
}

UINT VirtualKey(const Json& request) {
  if (Has(request, "vk")) return static_cast<UINT>(RequireInt(request, "vk"));
  std::string name = RequireString(request, "key");
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  const struct {
    const char* name;
    UINT vk;
  } keys[] = {{"escape", VK_ESCAPE}, {"esc", VK_ESCAPE},  {"enter", VK_RETURN}, {"return", VK_RETURN},
              {"tab", VK_TAB},       {"space", VK_SPACE}, {"left", VK_LEFT},    {"right", VK_RIGHT},
              {"up", VK_UP},         {"down", VK_DOWN},   {"f1", VK_F1}};
  for (const auto& key : keys) {
    if (name == key.name) return key.vk;
  }
  throw CommandError("unknown key \"" + name +
                     "\"; known: escape, enter, tab, space, left, right, up, down, f1, "
                     "or give \"vk\"");
}

// --- the commands -----------------------------------------------------------

Json Hello(ProcessTable&, const Json&) {
  Json answer = Ok();
  answer.Set("version", kProtocolVersion);
  answer.Set("pid", static_cast<int64_t>(GetCurrentProcessId()));
  answer.Set("ui_language", static_cast<int64_t>(GetUserDefaultUILanguage()));
  answer.Set("acp", static_cast<int64_t>(GetACP()));
  using WineGetVersion = const char*(CDECL*)();
  auto wine_get_version = reinterpret_cast<WineGetVersion>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
  answer.Set("wine", wine_get_version ? Json(wine_get_version()) : Json());
  Json::Array screen{Json(GetSystemMetrics(SM_CXSCREEN)), Json(GetSystemMetrics(SM_CYSCREEN))};
  answer.Set("screen", Json(screen));
  return answer;
}

Json Launch(ProcessTable& processes, const Json& request) {
  Json answer = processes.Launch(request);
  answer.Set("ok", true);
  return answer;
}

Json Attach(ProcessTable& processes, const Json& request) {
  Json answer = processes.Attach(RequirePid(request));
  answer.Set("ok", true);
  return answer;
}

Json Processes(ProcessTable&, const Json&) {
  Json answer = ProcessTable::List();
  answer.Set("ok", true);
  return answer;
}

Json Windows(ProcessTable&, const Json& request) {
  DWORD pid = RequirePid(request);
  bool visible_only = OptionalBool(request, "visible_only", false);
  Json list = Json::MakeArray();
  for (HWND hwnd : TopLevelWindows(pid)) {
    if (!visible_only || IsWindowVisible(hwnd)) list.Push(DescribeWindow(hwnd));
  }
  Json answer = Ok();
  answer.Set("windows", std::move(list));
  return answer;
}

Json Window(ProcessTable&, const Json& request) {
  Json answer = Ok();
  answer.Set("window", DescribeWindow(RequireWindow(request, "hwnd")));
  return answer;
}

Json WaitWindow(ProcessTable&, const Json& request) {
  WindowFilter filter = WindowFilter::FromRequest(request);
  HWND found = WaitForWindow(filter, OptionalInt(request, "timeout_ms", kDefaultTimeoutMs));
  Json answer = Ok();
  answer.Set("window", DescribeWindow(found));
  return answer;
}

Json WaitGone(ProcessTable&, const Json& request) {
  HWND hwnd = reinterpret_cast<HWND>(static_cast<intptr_t>(RequireInt(request, "hwnd")));
  int64_t timeout_ms = OptionalInt(request, "timeout_ms", kDefaultTimeoutMs);
  bool hidden_counts = OptionalBool(request, "hidden_ok", false);
  bool gone = WaitUntil(timeout_ms, [&] { return !IsWindow(hwnd) || (hidden_counts && !IsWindowVisible(hwnd)); });
  if (!gone) {
    throw CommandError("expected window " + Describe(hwnd) + (hidden_counts ? " to close or hide" : " to close") +
                       " within " + std::to_string(timeout_ms) + " ms; it is still there" +
                       (IsWindowVisible(hwnd) ? ", visible" : ", hidden"));
  }
  return Ok();
}

Json Controls(ProcessTable&, const Json& request) {
  Json answer = DescribeControls(RequireWindow(request, "hwnd"));
  answer.Set("ok", true);
  return answer;
}

Json Click(ProcessTable&, const Json& request) {
  HWND button = RequireControl(request);
  if (!OptionalBool(request, "force", false)) RequireInteractive(button, "click");
  std::string how = OptionalString(request, "how", "bm_click");
  if (how == "bm_click") {
    // The button runs its own press and release, then notifies its parent
    // with BN_CLICKED, as for a mouse click; it also takes the focus.
    Post(button, BM_CLICK, 0, 0);
  } else if (how == "command") {
    Post(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), reinterpret_cast<LPARAM>(button));
  } else {
    throw CommandError("unknown click \"how\": \"" + how + "\"; expected \"bm_click\" or \"command\"");
  }
  Json answer = Ok();
  answer.Set("target", HandleNumber(button));
  return answer;
}

Json Key(ProcessTable&, const Json& request) {
  HWND window = RequireWindow(request, "hwnd");
  HWND root = GetAncestor(window, GA_ROOT);
  UINT vk = VirtualKey(request);
  if (!OptionalBool(request, "force", false)) RequireInteractive(root, "press a key in");
  std::string how = OptionalString(request, "how", "post");
  UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
  HWND target = root;
  if (how == "post") {
    // The keys go to the control that has the focus, as typed keys do; the
    // dialog's message loop (IsDialogMessage) turns Escape into IDCANCEL and
    // Enter into the default button.
    HWND focus = FocusOfThread(GetWindowThreadProcessId(root, nullptr));
    if (focus && (focus == root || IsChild(root, focus))) target = focus;
    Post(target, WM_KEYDOWN, vk, 1 | (scan << 16));
    Post(target, WM_KEYUP, vk, 1 | (scan << 16) | (1u << 30) | (1u << 31));
  } else if (how == "input") {
    // Real keyboard input: goes to whatever window has the focus once the
    // target's window is in the foreground.
    SetForegroundWindow(root);
    if (!WaitUntil(1000, [&] { return GetForegroundWindow() == root; })) {
      throw CommandError("cannot bring " + Describe(root) + " to the foreground for key input; foreground is " +
                         Describe(GetForegroundWindow()));
    }
    INPUT inputs[2] = {};
    for (INPUT& input : inputs) {
      input.type = INPUT_KEYBOARD;
      input.ki.wVk = static_cast<WORD>(vk);
      input.ki.wScan = static_cast<WORD>(scan);
    }
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    if (SendInput(2, inputs, sizeof(INPUT)) != 2) {
      throw CommandError("SendInput failed: error " + std::to_string(GetLastError()));
    }
    target = FocusOfThread(GetWindowThreadProcessId(root, nullptr));
  } else {
    throw CommandError("unknown key \"how\": \"" + how + "\"; expected \"post\" or \"input\"");
  }
  Json answer = Ok();
  answer.Set("target", HandleNumber(target));
  answer.Set("target_id", target && target != root ? GetDlgCtrlID(target) : 0);
  return answer;
}

Json Close(ProcessTable&, const Json& request) {
  HWND window = RequireWindow(request, "hwnd");
  std::string how = OptionalString(request, "how", "close_box");
  if (how == "close_box") {
    // What the window manager's close button does under Wine and Windows.
    if (!OptionalBool(request, "force", false)) RequireInteractive(window, "close");
    Post(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  } else if (how == "wm_close") {
    Post(window, WM_CLOSE, 0, 0);
  } else {
    throw CommandError("unknown close \"how\": \"" + how + "\"; expected \"close_box\" or \"wm_close\"");
  }
  return Ok();
}

// A command posted to a window with no control behind it, as another program
// or an accelerator can send one: WM_COMMAND with the id, notification 0.
// Sets a control's text (an edit field's contents) as typing would leave it.
Json SetText(ProcessTable&, const Json& request) {
  HWND control = RequireControl(request);
  if (!OptionalBool(request, "force", false)) RequireInteractive(control, "type into");
  const std::wstring text = Wide(RequireString(request, "text"));
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG, 5000,
                           &result)) {
    throw CommandError("cannot set the text of " + Describe(control));
  }
  return Ok();
}

Json CommandToWindow(ProcessTable&, const Json& request) {
  HWND window = RequireWindow(request, "hwnd");
  Post(window, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(RequireInt(request, "id")), 0), 0);
  return Ok();
}

// Adds a certificate (a DER file, Windows path) to the machine's trusted
// roots, or with "remove" takes it out again: the HTTPS tests' own root.
Json TrustRoot(ProcessTable&, const Json& request) {
  const std::string path = RequireString(request, "path");
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    throw CommandError("cannot open " + path + ": error " + std::to_string(GetLastError()));
  std::vector<BYTE> der(GetFileSize(file, nullptr));
  DWORD read = 0;
  const BOOL ok = ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &read, nullptr);
  CloseHandle(file);
  PCCERT_CONTEXT certificate = ok ? CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), read) : nullptr;
  if (certificate == nullptr) throw CommandError(path + " is not a DER certificate");
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  bool done = false;
  if (store != nullptr) {
    if (OptionalBool(request, "remove", false)) {
      PCCERT_CONTEXT found =
          CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
      done = found == nullptr || CertDeleteCertificateFromStore(found);
    } else {
      done = CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    }
  }
  const DWORD error = GetLastError();
  CertFreeCertificateContext(certificate);
  if (store != nullptr) CertCloseStore(store, 0);
  if (!done) throw CommandError("cannot change the machine's trusted roots: error " + std::to_string(error));
  return Ok();
}

Json MessageBoxCommand(ProcessTable&, const Json& request) {
  WindowFilter filter = WindowFilter::FromRequest(request);
  filter.message_box = true;
  HWND box = WaitForWindow(filter, OptionalInt(request, "timeout_ms", kDefaultTimeoutMs));
  Json answer = Ok();
  answer.Set("box", DescribeMessageBox(box));
  return answer;
}

Json MessageBoxes(ProcessTable&, const Json& request) {
  DWORD pid = RequirePid(request);
  Json list = Json::MakeArray();
  for (HWND hwnd : TopLevelWindows(pid)) {
    if (IsWindowVisible(hwnd) && IsMessageBox(hwnd)) list.Push(DescribeMessageBox(hwnd));
  }
  Json answer = Ok();
  answer.Set("boxes", std::move(list));
  return answer;
}

Json Progress(ProcessTable&, const Json& request) {
  HWND bar = RequireControl(request);
  if (ClassName(bar) != PROGRESS_CLASSW) {
    throw CommandError("expected a progress bar (" + Utf8(PROGRESS_CLASSW) + "), seen " + Describe(bar));
  }
  Json progress = DescribeProgress(bar);
  if (progress.is_null()) {
    throw CommandError("progress bar " + Describe(bar) + " did not answer PBM_GETRANGE/PBM_GETPOS: its thread is busy");
  }
  progress.Set("ok", true);
  return progress;
}

Json Icons(ProcessTable&, const Json& request) {
  Json answer = DescribeWindowIcons(RequireWindow(request, "hwnd"));
  answer.Set("ok", true);
  return answer;
}

Json WaitExit(ProcessTable& processes, const Json& request) {
  Json answer = processes.WaitExit(RequirePid(request), OptionalInt(request, "timeout_ms", kDefaultTimeoutMs));
  answer.Set("ok", true);
  return answer;
}

Json Kill(ProcessTable& processes, const Json& request) {
  Json answer = processes.Kill(RequirePid(request), OptionalBool(request, "tree", false),
                               static_cast<UINT>(OptionalInt(request, "exit_code", 1)));
  answer.Set("ok", true);
  return answer;
}

Json KillLaunched(ProcessTable& processes, const Json&) {
  Json answer = processes.KillLaunched();
  answer.Set("ok", true);
  return answer;
}

using Handler = Json (*)(ProcessTable&, const Json&);
const struct {
  const char* name;
  Handler handler;
} kCommands[] = {
    {"hello", Hello},
    {"launch", Launch},
    {"set_text", SetText},
    {"attach", Attach},
    {"processes", Processes},
    {"windows", Windows},
    {"window", Window},
    {"wait_window", WaitWindow},
    {"wait_gone", WaitGone},
    {"controls", Controls},
    {"click", Click},
    {"key", Key},
    {"close", Close},
    {"command", CommandToWindow},
    {"trust_root", TrustRoot},
    {"message_box", MessageBoxCommand},
    {"message_boxes", MessageBoxes},
    {"progress", Progress},
    {"icons", Icons},
    {"wait_exit", WaitExit},
    {"kill", Kill},
    {"kill_launched", KillLaunched},
};

}  // namespace

Json CommandSet::Dispatch(const std::string& name, const Json& request, bool* quit) {
  if (name == "quit") {
    Json answer = Ok();
    if (OptionalBool(request, "kill", false)) answer.Set("killed", *processes_.KillLaunched().Find("killed"));
    *quit = true;
    return answer;
  }
  for (const auto& command : kCommands) {
    if (name == command.name) return command.handler(processes_, request);
  }
  std::string known = "quit";
  for (const auto& command : kCommands) known += std::string(", ") + command.name;
  throw CommandError("unknown command \"" + name + "\"; known: " + known);
}

std::string CommandSet::HandleLine(const std::string& line, bool* quit) {
  Json request;
  std::string parse_error;
  Json answer;
  if (!Json::Parse(line, &request, &parse_error)) {
    answer = Json::MakeObject();
    answer.Set("ok", false);
    answer.Set("error", "request is not JSON: " + parse_error);
    return answer.Dump();
  }
  ForgetBusyThreads();
  try {
    if (!request.is_object()) throw CommandError("request must be a JSON object");
    answer = Dispatch(RequireString(request, "cmd"), request, quit);
  } catch (const CommandError& error) {
    answer = Json::MakeObject();
    answer.Set("ok", false);
    answer.Set("error", error.what());
  } catch (const std::exception& error) {
    answer = Json::MakeObject();
    answer.Set("ok", false);
    answer.Set("error", std::string("internal error: ") + error.what());
  }
  if (const Json* seq = request.Find("seq")) answer.Set("seq", *seq);
  // "ok" first, for a reader of raw protocol lines.
  Json ordered = Json::MakeObject();
  const Json* ok = answer.Find("ok");
  ordered.Set("ok", ok ? *ok : Json(true));
  for (const Json::Member& member : answer.as_object()) ordered.Set(member.first, member.second);
  return ordered.Dump();
}

}  // namespace uidriver
