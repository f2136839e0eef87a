#include "platform/elevation.h"

#include <windows.h>

namespace zelvra {

bool IsProcessElevated() {
#ifdef ZELVRA_TEST_UNELEVATED  // set only in the test build that runs the unelevated path under Wine
  return false;
#else
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
#endif
}

}  // namespace zelvra
