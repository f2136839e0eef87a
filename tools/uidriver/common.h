// Small helpers shared by the driver's parts: text conversion, a handle
// owner, the error a command reports, and the request accessors.
#pragma once

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "json.h"

namespace uidriver {

// The one error type of the driver. A command that cannot do what it was
// asked throws it; the dispatcher catches it and answers {"ok": false,
// "error": what()}. The text should say what was expected and what was seen.
class CommandError : public std::runtime_error {
 public:
  explicit CommandError(const std::string& what) : std::runtime_error(what) {}
};

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);

// "0x1a2b": how handles and styles appear in error texts.
std::string Hex(uint64_t value);

inline int64_t HandleNumber(HWND hwnd) { return static_cast<int64_t>(reinterpret_cast<uintptr_t>(hwnd)); }

// Owns a kernel handle (process, thread, snapshot); closes it once.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void reset(HANDLE handle = nullptr) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Request accessors: a missing required member or a member of the wrong
// type is a CommandError naming the member.
int64_t RequireInt(const Json& request, const char* name);
int64_t OptionalInt(const Json& request, const char* name, int64_t fallback);
std::string RequireString(const Json& request, const char* name);
std::string OptionalString(const Json& request, const char* name, const std::string& fallback);
bool OptionalBool(const Json& request, const char* name, bool fallback);
bool Has(const Json& request, const char* name);
// A window handle member; the window must exist.
HWND RequireWindow(const Json& request, const char* name);
HWND OptionalWindow(const Json& request, const char* name);

// Waits in small steps until ready() is true or timeout_ms have passed;
// returns whether it became true. Checks once more at the deadline.
template <typename Ready>
bool WaitUntil(int64_t timeout_ms, Ready ready) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    if (ready()) return true;
    if (GetTickCount64() >= deadline) return ready();
    Sleep(20);
  }
}

}  // namespace uidriver
