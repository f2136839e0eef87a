#include "core/launch_environment.h"

namespace zelvra {

namespace {

// The variables the launcher never receives.
constexpr const char16_t* kHiddenVariables[] = {
    // The .NET Framework loads the profiler these name (a COM class, and the
    // library that serves it) into every managed program it starts.
    u"COR_ENABLE_PROFILING",
    u"COR_PROFILER",
    u"COR_PROFILER_PATH",
    u"COR_PROFILER_PATH_32",
    u"COR_PROFILER_PATH_64",
    // The same for .NET Core and later .NET.
    u"CORECLR_ENABLE_PROFILING",
    u"CORECLR_PROFILER",
    u"CORECLR_PROFILER_PATH",
    u"CORECLR_PROFILER_PATH_32",
    u"CORECLR_PROFILER_PATH_64",
    u"CORECLR_PROFILER_PATH_ARM64",
    // .NET Core and later: assemblies run before the program's own Main, and
    // dependency files that add assemblies to the program's own.
    u"DOTNET_STARTUP_HOOKS",
    u"DOTNET_ADDITIONAL_DEPS",
    // The application compatibility layers the loader applies to the program
    // (shims that change how it is loaded and what it is told).
    u"__COMPAT_LAYER",
};

// A unit as the comparison of names sees it: ASCII letters in upper case,
// and the two letters beyond ASCII whose upper case is an ASCII one (dotless
// i, long s), so that no spelling the platform's comparison could take for a
// hidden name gets through.
char16_t NameFold(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
  if (c == u'\u0131') return u'I';
  if (c == u'\u017f') return u'S';
  return c;
}

bool IsHidden(const std::u16string& entry, size_t nameLength) {
  for (const char16_t* hidden : kHiddenVariables) {
    size_t at = 0;
    while (at < nameLength && hidden[at] != u'\0' && NameFold(entry[at]) == hidden[at]) ++at;
    if (at == nameLength && hidden[at] == u'\0') return true;
  }
  return false;
}

}  // namespace

std::u16string LauncherEnvironment(const std::u16string& block) {
  std::u16string result;
  for (size_t start = 0; start < block.size();) {
    size_t end = block.find(u'\0', start);
    if (end == std::u16string::npos) end = block.size();
    if (end == start) break;  // the empty entry that ends the block
    const std::u16string entry = block.substr(start, end - start);
    // A name may begin with '=' (the platform's per-drive folders, "=C:=C:\x").
    const size_t equals = entry.find(u'=', 1);
    if (!IsHidden(entry, equals == std::u16string::npos ? entry.size() : equals)) {
      result += entry;
      result += u'\0';
    }
    start = end + 1;
  }
  if (result.empty()) result += u'\0';
  result += u'\0';
  return result;
}

}  // namespace zelvra
