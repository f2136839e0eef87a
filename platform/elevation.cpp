// The elevation check, in a library of its own that every build of the
// installer links (the unelevated test build links one that always answers
// false instead: tests/e2e/unelevated).
#include "platform/elevation.h"

#include <windows.h>

namespace zelvra {

bool IsProcessElevated() {
  static const bool elevated = [] {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const BOOL known = ::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
    ::CloseHandle(token);
    return known != FALSE && elevation.TokenIsElevated != 0;
  }();
  return elevated;
}

}  // namespace zelvra
