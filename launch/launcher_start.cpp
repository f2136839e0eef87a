#include "launch/launcher_start.h"

#include <userenv.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <utility>

#include "core/launch_environment.h"
#include "platform/held_folder.h"

namespace zelvra {

namespace {

// The longest native path asked for: the platform's limit for any path.
constexpr DWORD kMaxNativePath = 32768;
// How long a refused start waits for its process to be gone.
constexpr DWORD kEndWaitMs = 5000;

DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = ::GetLastError();
  return error != NO_ERROR ? error : fallback;
}

// The native name ("\Device\HarddiskVolume2\...") of the image `process`
// runs; empty on failure. Asked with room for a usual path first, and for
// the longest one only where that was too short.
std::wstring StartedImageName(HANDLE process) {
  for (DWORD room : {static_cast<DWORD>(MAX_PATH * 2), kMaxNativePath}) {
    std::wstring name(room, L'\0');
    DWORD size = room;
    if (::QueryFullProcessImageNameW(process, PROCESS_NAME_NATIVE, &name[0], &size)) {
      name.resize(size);
      return name;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
  }
  return std::wstring();
}

// The native name of the file held by `file`, in the same form; empty on
// failure.
std::wstring HeldFileName(HANDLE file) {
  constexpr DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_NT;
  const DWORD needed = ::GetFinalPathNameByHandleW(file, nullptr, 0, kFlags);
  if (needed == 0 || needed > kMaxNativePath) return std::wstring();
  std::wstring name(needed, L'\0');
  const DWORD length = ::GetFinalPathNameByHandleW(file, &name[0], needed, kFlags);
  if (length == 0 || length >= needed) return std::wstring();
  name.resize(length);
  return name;
}

// Whether the suspended `process` runs the file held by `heldFile`, and
// `path` still leads to it.
bool RunsHeldFile(HANDLE process, HANDLE heldFile, const CString& path) {
  // The image the process was made from, by name: ordinal, without regard
  // to case, as the platform compares file names.
  const std::wstring image = StartedImageName(process);
  const std::wstring held = HeldFileName(heldFile);
  if (image.empty() || held.empty() ||
      ::CompareStringOrdinal(image.c_str(), static_cast<int>(image.size()), held.c_str(), static_cast<int>(held.size()),
                             TRUE) != CSTR_EQUAL) {
    return false;
  }
  // The path it was started by, by identity. Read sharing: opened anywhere
  // for writing, it is not the file that was checked any more. (Delete is
  // shared: the held handle may have the right to delete.)
  const UniqueHandle named(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return named && IsSameFile(named.Get(), heldFile);
}

// A block of NUL-ended entries ended by an empty one, as the platform gives
// it, as text.
std::u16string BlockText(const wchar_t* block) {
  if (block == nullptr) return std::u16string();
  const wchar_t* end = block;
  while (*end != L'\0') end += std::wcslen(end) + 1;
  return std::u16string(reinterpret_cast<const char16_t*>(block), static_cast<size_t>(end - block));
}

std::u16string SystemWindowsFolder() {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::u16string();
  return AfxU16(folder);
}

#ifndef _WIN64
// A value of the machine's CurrentVersion key in its 64-bit view (the
// 32-bit view names the 32-bit folders); empty where there is none (a 32-bit
// Windows). Only administrators can write the key.
std::u16string MachineCurrentVersionValue(const wchar_t* name) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return std::u16string();
  }
  wchar_t value[MAX_PATH] = {};
  DWORD type = 0;
  DWORD size = sizeof(value) - sizeof(wchar_t);  // in bytes, room for a NUL the value may lack
  const LONG read = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  ::RegCloseKey(key);
  if (read != ERROR_SUCCESS || type != REG_SZ) return std::u16string();
  return AfxU16(value);
}
#endif

}  // namespace

std::u16string ElevatedLauncherEnvironment(const CString& tempFolder) {
  LauncherEnvironmentSources sources;
  // The system's variables alone: without a user token the block holds no
  // user's.
  void* machine = nullptr;
  if (::CreateEnvironmentBlock(&machine, nullptr, FALSE)) {
    sources.machine = BlockText(static_cast<const wchar_t*>(machine));
    static_cast<void>(::DestroyEnvironmentBlock(machine));  // the copy is taken
  }
  wchar_t* own = ::GetEnvironmentStringsW();
  sources.inherited = BlockText(own);
  if (own != nullptr) ::FreeEnvironmentStringsW(own);
  // The system's own folder, whatever the environments say.
  const std::u16string windows = SystemWindowsFolder();
  if (!windows.empty()) {
    sources.machineSettings.push_back({u"SystemRoot", windows});
    sources.machineSettings.push_back({u"windir", windows});
    sources.machineSettings.push_back({u"ComSpec", windows + u"\\System32\\cmd.exe"});
  }
#ifndef _WIN64
  // A 32-bit program finds the 64-bit folders through these.
  static constexpr struct {
    const char16_t* variable;
    const wchar_t* value;
  } kProgramFolders64[] = {{u"ProgramW6432", L"ProgramW6432Dir"}, {u"CommonProgramW6432", L"CommonW6432Dir"}};
  for (const auto& folder : kProgramFolders64) {
    const std::u16string value = MachineCurrentVersionValue(folder.value);
    if (!value.empty()) sources.machineDefaults.push_back({folder.variable, value});
  }
#endif
  // TEMP and TMP without the final backslash, as Windows sets them; a drive's
  // root keeps it.
  std::u16string temp = tempFolder.u16();
  if (temp.size() > 3 && temp.back() == u'\\') temp.pop_back();
  sources.temp = temp;
  return LauncherEnvironment(sources);
}

CString ElevatedLauncherFolder(const CString& downloadFolder) {
  wchar_t system[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  const std::u16string systemFolder = length != 0 && length < MAX_PATH ? AfxU16(system) : std::u16string();
  return CString(LauncherCurrentFolder(downloadFolder.u16(), systemFolder));
}

DWORD StartHeldProgram(const CString& path,
                       const CString& parameters,
                       const HeldLauncherStart& start,
                       UniqueHandle& process) {
  std::wstring commandLine = L"\"" + path.str() + L"\" " + parameters.str();
  std::u16string environment = start.environment;
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(path, &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED,
                        environment.empty() ? nullptr : &environment[0],
                        start.currentFolder.IsEmpty() ? nullptr : start.currentFolder.GetString(), &startup,
                        &started)) {
    return LastErrorOr(ERROR_FILE_NOT_FOUND);
  }
  UniqueHandle startedProcess(started.hProcess);
  const UniqueHandle thread(started.hThread);
  DWORD error = NO_ERROR;
  if (start.heldFile == nullptr || !RunsHeldFile(startedProcess.Get(), start.heldFile, path)) {
    error = kStartedImageNotHeldFile;
  } else if (::ResumeThread(thread.Get()) == static_cast<DWORD>(-1)) {
    error = LastErrorOr(ERROR_GEN_FAILURE);
  }
  if (error != NO_ERROR) {
    // Never resumed: it ends before running anything of its own. (The wait
    // only lets the end complete; a suspended process ends at once.)
    static_cast<void>(::TerminateProcess(startedProcess.Get(), error));
    static_cast<void>(::WaitForSingleObject(startedProcess.Get(), kEndWaitMs));
    return error;
  }
  process = std::move(startedProcess);
  return NO_ERROR;
}

}  // namespace zelvra
