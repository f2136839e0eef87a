#include "core/command_line.h"

namespace zelvra {

const char16_t* ArgumentsOfCommandLine(const char16_t* commandLine) {
  const char16_t* p = commandLine;
  if (p == nullptr) return u"";
  if (*p == u'"') {
    ++p;
    while (*p != u'\0' && *p != u'"') ++p;
    if (*p == u'"') ++p;
  } else {
    while (*p > u' ') ++p;
  }
  while (*p != u'\0' && *p <= u' ') ++p;
  return p;
}

}  // namespace zelvra
