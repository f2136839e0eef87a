// Starting, watching and ending processes (see processes.h).
#include "processes.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "window_query.h"

namespace uidriver {

namespace {

constexpr DWORD kProcessAccess = SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE | PROCESS_VM_READ;

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

// This process's environment with the request's changes, as a sorted
// double-NUL-terminated block. Names compare without regard to case, as
// Windows treats them.
std::wstring BuildEnvironment(const Json& changes) {
  std::map<std::wstring, std::wstring> entries;  // upper-case name -> "Name=value"
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; entry && *entry; entry += wcslen(entry) + 1) {
    std::wstring text(entry);
    // Names such as "=C:" start with '='; the separator is the next one.
    size_t equals = text.find(L'=', 1);
    if (equals == std::wstring::npos) continue;
    entries[Upper(text.substr(0, equals))] = text;
  }
  if (block) FreeEnvironmentStringsW(block);
  for (const Json::Member& change : changes.as_object()) {
    std::wstring name = Wide(change.first);
    if (name.empty() || name.find(L'=', 1) != std::wstring::npos) {
      throw CommandError("bad environment variable name \"" + change.first + "\"");
    }
    if (change.second.is_null()) {
      entries.erase(Upper(name));
    } else if (change.second.is_string()) {
      entries[Upper(name)] = name + L"=" + Wide(change.second.as_string());
    } else {
      throw CommandError("environment variable \"" + change.first + "\" must be a string or null");
    }
  }
  std::wstring result;
  for (const auto& entry : entries) {
    result += entry.second;
    result.push_back(L'\0');
  }
  result.push_back(L'\0');
  return result;
}

std::string LastErrorText(DWORD error) {
  wchar_t* message = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 error, 0, reinterpret_cast<LPWSTR>(&message), 0, nullptr);
  std::string text = "error " + std::to_string(error);
  if (message) {
    std::wstring trimmed(message);
    while (!trimmed.empty() && (trimmed.back() == L'\n' || trimmed.back() == L'\r' || trimmed.back() == L' ')) {
      trimmed.pop_back();
    }
    text += " (" + Utf8(trimmed) + ")";
    LocalFree(message);
  }
  return text;
}

struct ProcessRecord {
  DWORD pid;
  DWORD parent;
  std::wstring exe;
};

std::vector<ProcessRecord> Snapshot() {
  std::vector<ProcessRecord> records;
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return records;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    records.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
  }
  return records;
}

// Descendants of pid, deepest last in discovery order.
std::vector<DWORD> Descendants(DWORD pid) {
  std::vector<ProcessRecord> records = Snapshot();
  std::vector<DWORD> found{pid};
  for (size_t i = 0; i < found.size(); ++i) {
    for (const ProcessRecord& record : records) {
      if (record.parent == found[i] && record.pid != pid &&
          std::find(found.begin(), found.end(), record.pid) == found.end()) {
        found.push_back(record.pid);
      }
    }
  }
  found.erase(found.begin());
  return found;
}

}  // namespace

HANDLE ProcessTable::HandleFor(DWORD pid) {
  auto found = processes_.find(pid);
  if (found != processes_.end()) return found->second.handle.get();
  HANDLE handle = OpenProcess(kProcessAccess, FALSE, pid);
  if (!handle) throw CommandError("no process " + std::to_string(pid) + ": " + LastErrorText(GetLastError()));
  Entry& entry = processes_[pid];
  entry.handle.reset(handle);
  return handle;
}

Json ProcessTable::Launch(const Json& request) {
  std::string path = OptionalString(request, "path", "");
  std::wstring command_line;
  if (Has(request, "command_line")) {
    command_line = Wide(RequireString(request, "command_line"));
  } else {
    if (path.empty()) throw CommandError("launch needs \"path\" or \"command_line\"");
    command_line = L"\"" + Wide(path) + L"\"";
    std::string args = OptionalString(request, "args", "");
    if (!args.empty()) command_line += L" " + Wide(args);
  }
  std::wstring application = Wide(path);
  std::wstring directory = Wide(OptionalString(request, "cwd", ""));
  std::wstring environment;
  if (Has(request, "env")) {
    const Json* changes = request.Find("env");
    if (!changes->is_object()) throw CommandError("parameter \"env\" must be an object");
    environment = BuildEnvironment(*changes);
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  // "stderr": a file (Windows path) made anew and given to the program as its
  // standard error handle, as a redirection of a shell or a deployment agent
  // gives one; the other two standard handles are none.
  UniqueHandle standard_error;
  if (Has(request, "stderr")) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    standard_error.reset(CreateFileW(Wide(RequireString(request, "stderr")).c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!standard_error.valid()) {
      throw CommandError("cannot make the standard error file: " + LastErrorText(GetLastError()));
    }
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdError = standard_error.get();
  }
  PROCESS_INFORMATION info = {};
  std::wstring writable = command_line;  // CreateProcessW may write into it
  // Detached: the child gets no console, so it can never write into the
  // driver's answer stream.
  DWORD flags = DETACHED_PROCESS | (environment.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT);
  if (!CreateProcessW(application.empty() ? nullptr : application.c_str(), &writable[0], nullptr, nullptr,
                      standard_error.valid() ? TRUE : FALSE, flags, environment.empty() ? nullptr : &environment[0],
                      directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
    DWORD error = GetLastError();
    throw CommandError("cannot start \"" + path + "\" with command line \"" + Utf8(command_line) +
                       "\": " + LastErrorText(error));
  }
  CloseHandle(info.hThread);
  Entry& entry = processes_[info.dwProcessId];
  entry.handle.reset(info.hProcess);
  entry.launched = true;

  Json answer = Json::MakeObject();
  answer.Set("pid", static_cast<int64_t>(info.dwProcessId));
  answer.Set("tid", static_cast<int64_t>(info.dwThreadId));
  answer.Set("command_line", Utf8(command_line));
  return answer;
}

Json ProcessTable::Attach(DWORD pid) {
  HANDLE handle = HandleFor(pid);
  Json answer = Json::MakeObject();
  answer.Set("pid", static_cast<int64_t>(pid));
  wchar_t exe[MAX_PATH * 2];
  DWORD size = MAX_PATH * 2;
  answer.Set("exe", QueryFullProcessImageNameW(handle, 0, exe, &size) ? Json(Utf8(std::wstring(exe, size))) : Json());
  DWORD code = 0;
  answer.Set("running", GetExitCodeProcess(handle, &code) && code == STILL_ACTIVE);
  return answer;
}

Json ProcessTable::WaitExit(DWORD pid, int64_t timeout_ms) {
  HANDLE handle = HandleFor(pid);
  DWORD waited = WaitForSingleObject(handle, static_cast<DWORD>(std::max<int64_t>(timeout_ms, 0)));
  if (waited == WAIT_TIMEOUT) {
    throw CommandError("expected process " + std::to_string(pid) + " to end within " + std::to_string(timeout_ms) +
                       " ms; it still runs, with " + WindowsSeen(pid));
  }
  if (waited != WAIT_OBJECT_0) throw CommandError("cannot wait for process " + std::to_string(pid));
  DWORD code = 0;
  GetExitCodeProcess(handle, &code);
  Json answer = Json::MakeObject();
  answer.Set("exit_code", static_cast<int64_t>(code));
  return answer;
}

Json ProcessTable::Kill(DWORD pid, bool tree, UINT exit_code) {
  Json killed = Json::MakeArray();
  std::vector<DWORD> victims;
  if (tree) victims = Descendants(pid);
  std::reverse(victims.begin(), victims.end());
  victims.push_back(pid);
  for (DWORD victim : victims) {
    HANDLE handle = nullptr;
    UniqueHandle opened;
    auto found = processes_.find(victim);
    if (found != processes_.end()) {
      handle = found->second.handle.get();
    } else {
      opened.reset(OpenProcess(kProcessAccess, FALSE, victim));
      handle = opened.get();
    }
    if (!handle) continue;
    DWORD code = 0;
    if (GetExitCodeProcess(handle, &code) && code == STILL_ACTIVE && TerminateProcess(handle, exit_code)) {
      WaitForSingleObject(handle, 5000);
      killed.Push(static_cast<int64_t>(victim));
    }
  }
  Json answer = Json::MakeObject();
  answer.Set("killed", std::move(killed));
  return answer;
}

Json ProcessTable::KillLaunched() {
  Json killed = Json::MakeArray();
  for (auto& process : processes_) {
    if (!process.second.launched) continue;
    Json answer = Kill(process.first, true, 1);
    for (const Json& pid : answer.Find("killed")->as_array()) killed.Push(pid);
  }
  Json answer = Json::MakeObject();
  answer.Set("killed", std::move(killed));
  return answer;
}

Json ProcessTable::List() {
  Json list = Json::MakeArray();
  for (const ProcessRecord& record : Snapshot()) {
    Json item = Json::MakeObject();
    item.Set("pid", static_cast<int64_t>(record.pid));
    item.Set("parent", static_cast<int64_t>(record.parent));
    item.Set("exe", Utf8(record.exe));
    list.Push(std::move(item));
  }
  Json answer = Json::MakeObject();
  answer.Set("processes", std::move(list));
  return answer;
}

}  // namespace uidriver
