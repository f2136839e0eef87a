#include "core/command_line.h"

namespace zelvra {

const char* ArgumentsOfCommandLine(const char* commandLine, LeadByteTest isLeadByte) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(commandLine);
  if (p == nullptr) return "";
  if (*p == '"') {
    ++p;
    while (*p != '\0' && *p != '"') {
      if (isLeadByte(*p) && p[1] != '\0') ++p;  // the trail byte is part of the name
      ++p;
    }
    if (*p == '"') ++p;
  } else {
    while (*p > ' ') ++p;
  }
  while (*p != '\0' && *p <= ' ') ++p;
  return reinterpret_cast<const char*>(p);
}

}  // namespace zelvra
