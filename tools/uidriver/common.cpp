// Text conversion and request accessors (see common.h).
#include "common.h"

#include <cstdio>

namespace uidriver {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
  }
  return out;
}

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(size > 0 ? size : 0, L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], size);
  return out;
}

std::string Hex(uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}

namespace {

const Json& Member(const Json& request, const char* name) {
  const Json* value = request.Find(name);
  if (!value || value->is_null()) throw CommandError(std::string("missing parameter \"") + name + "\"");
  return *value;
}

}  // namespace

bool Has(const Json& request, const char* name) {
  const Json* value = request.Find(name);
  return value && !value->is_null();
}

int64_t RequireInt(const Json& request, const char* name) {
  const Json& value = Member(request, name);
  if (!value.is_number()) throw CommandError(std::string("parameter \"") + name + "\" must be a number");
  return value.as_int();
}

int64_t OptionalInt(const Json& request, const char* name, int64_t fallback) {
  return Has(request, name) ? RequireInt(request, name) : fallback;
}

std::string RequireString(const Json& request, const char* name) {
  const Json& value = Member(request, name);
  if (!value.is_string()) throw CommandError(std::string("parameter \"") + name + "\" must be a string");
  return value.as_string();
}

std::string OptionalString(const Json& request, const char* name, const std::string& fallback) {
  return Has(request, name) ? RequireString(request, name) : fallback;
}

bool OptionalBool(const Json& request, const char* name, bool fallback) {
  if (!Has(request, name)) return fallback;
  const Json& value = Member(request, name);
  if (!value.is_bool()) throw CommandError(std::string("parameter \"") + name + "\" must be true or false");
  return value.as_bool();
}

HWND RequireWindow(const Json& request, const char* name) {
  int64_t number = RequireInt(request, name);
  HWND hwnd = reinterpret_cast<HWND>(static_cast<intptr_t>(number));
  if (!IsWindow(hwnd)) {
    throw CommandError(std::string("window ") + Hex(number) + " (\"" + name +
                       "\") does not exist: it was closed or never was");
  }
  return hwnd;
}

HWND OptionalWindow(const Json& request, const char* name) {
  return Has(request, name) ? RequireWindow(request, name) : nullptr;
}

}  // namespace uidriver
