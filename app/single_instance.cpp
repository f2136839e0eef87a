#include "app/single_instance.h"

#include <sddl.h>

namespace {

// The object's name, in the session's namespace ("Local\"). The launcher's
// own mutex, "Zelvra_CallUpdater", is not ours to take.
constexpr wchar_t kObjectName[] = L"Local\\ZelvraInstaller.SingleInstance";

// SYSTEM and the Administrators may do anything with it; every signed-in
// user (an unelevated copy, or one elevated with another account) may read
// it. Its maker holds full access through the handle that made it.
constexpr wchar_t kObjectSecurity[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;AU)";

// What a running copy publishes: the process and the thread that show its
// windows (the prompt, and what the prompt owns).
struct PublishedCopy {
  volatile LONG processId;
  volatile LONG threadId;
};

struct PromptSearch {
  DWORD processId;
  HWND prompt;
};

// The running copy's prompt: a visible window of its user-interface thread
// that no other window owns.
BOOL CALLBACK FindPrompt(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<PromptSearch*>(param);
  DWORD processId = 0;
  ::GetWindowThreadProcessId(window, &processId);
  if (processId != search->processId || !::IsWindowVisible(window) || ::GetWindow(window, GW_OWNER) != nullptr) {
    return TRUE;
  }
  search->prompt = window;
  return FALSE;
}

}  // namespace

CSingleInstance::~CSingleInstance() {
  if (m_pView != nullptr) ::UnmapViewOfFile(m_pView);
}

bool CSingleInstance::Claim() {
  zelvra::LocalMemory descriptor;
  // Without the descriptor the object gets the token's default security:
  // only a copy of the same elevation then reads it, which still guards.
  static_cast<void>(::ConvertStringSecurityDescriptorToSecurityDescriptorW(kObjectSecurity, SDDL_REVISION_1,
                                                                           descriptor.Receive<void>(), nullptr));
  SECURITY_ATTRIBUTES security{sizeof(security), descriptor.Get(), FALSE};
  HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, descriptor.Get() != nullptr ? &security : nullptr,
                                        PAGE_READWRITE, 0, sizeof(PublishedCopy), kObjectName);
  const DWORD error = ::GetLastError();

  if (mapping != nullptr && error != ERROR_ALREADY_EXISTS) {
    m_mapping.Reset(mapping);
    m_pView = ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(PublishedCopy));
    if (auto* published = static_cast<PublishedCopy*>(m_pView)) {
      ::InterlockedExchange(&published->threadId, static_cast<LONG>(::GetCurrentThreadId()));
      ::InterlockedExchange(&published->processId, static_cast<LONG>(::GetCurrentProcessId()));
    }
    return true;
  }
  if (mapping != nullptr) {  // another copy's, opened
    m_mapping.Reset(mapping);
    return false;
  }
  // Another copy's that this one may only read (it was made elevated), or
  // an object of another kind under the name: either way the name is taken.
  if (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE) {
    m_mapping.Reset(::OpenFileMappingW(FILE_MAP_READ, FALSE, kObjectName));
    return false;
  }
  return true;  // no object at all (the system could not make one): run unguarded
}

void CSingleInstance::BringRunningCopyToFront() const {
  if (!m_mapping) return;
  const void* view = ::MapViewOfFile(m_mapping.Get(), FILE_MAP_READ, 0, 0, sizeof(PublishedCopy));
  if (view == nullptr) return;  // not the object a copy makes
  const auto* published = static_cast<const PublishedCopy*>(view);
  PromptSearch search{static_cast<DWORD>(published->processId), nullptr};
  const DWORD threadId = static_cast<DWORD>(published->threadId);
  ::UnmapViewOfFile(view);
  if (search.processId == 0 || threadId == 0) return;  // not published yet
  ::EnumThreadWindows(threadId, &FindPrompt, reinterpret_cast<LPARAM>(&search));
  if (search.prompt == nullptr) return;  // the prompt is not up yet, or gone
  // This copy is the program the user has just started, which may set the
  // foreground window.
  if (::IsIconic(search.prompt)) ::ShowWindowAsync(search.prompt, SW_RESTORE);
  // Best effort: where the system refuses, the other copy's button flashes
  // in the taskbar instead; this copy ends either way.
  static_cast<void>(::SetForegroundWindow(::GetLastActivePopup(search.prompt)));
}
