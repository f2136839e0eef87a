#include "core/folder_security.h"

#include <cstdint>
#include <cstdlib>

namespace zelvra {

namespace {

// Read and execute on files and folders (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE).
constexpr char kReadAndExecute[] = "0x1200a9";

// Rights that change a folder, what it holds or its security: write data or
// add a file (0x2), append or add a folder (0x4), write extended attributes
// (0x10), delete a child (0x40), write attributes (0x100), delete (0x10000),
// write the DACL (0x40000) or the owner (0x80000), the SACL (0x1000000),
// maximum allowed (0x2000000), generic all (0x10000000), generic write
// (0x40000000).
constexpr std::uint32_t kWriteRights = 0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x1000000 |
                                       0x2000000 | 0x10000000 | 0x40000000;

struct RightCode {
  const char* code;
  std::uint32_t mask;
};

// The two-letter access codes of SDDL.
constexpr RightCode kRightCodes[] = {
    {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000}, {"RC", 0x20000},
    {"SD", 0x10000},    {"WD", 0x40000},    {"WO", 0x80000},    {"RP", 0x10},       {"WP", 0x20},
    {"CC", 0x1},        {"DC", 0x2},        {"LC", 0x4},        {"SW", 0x8},        {"LO", 0x80},
    {"DT", 0x40},       {"CR", 0x100},      {"FA", 0x1F01FF},   {"FR", 0x120089},   {"FW", 0x120116},
    {"FX", 0x1200A0},   {"KA", 0xF003F},    {"KR", 0x20019},    {"KW", 0x20006},    {"KX", 0x20019},
};

bool IsAdministratorOrSystem(const std::string& sid) {
  return sid == "SY" || sid == "BA" || sid == "S-1-5-18" || sid == "S-1-5-32-544";
}

// The access mask of an ACE's rights field; false when it cannot be read.
bool ParseRights(const std::string& text, std::uint32_t* mask) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str() + 2, &end, 16);
    if (end == nullptr || *end != '\0' || value > 0xFFFFFFFFull) return false;
    *mask = static_cast<std::uint32_t>(value);
    return true;
  }
  if (text.empty() || text.size() % 2 != 0) return false;
  std::uint32_t total = 0;
  for (size_t at = 0; at < text.size(); at += 2) {
    const std::string code = text.substr(at, 2);
    bool known = false;
    for (const RightCode& right : kRightCodes) {
      if (code == right.code) {
        total |= right.mask;
        known = true;
        break;
      }
    }
    if (!known) return false;
  }
  *mask = total;
  return true;
}

// Whether the flags of a DACL (P, AI, AR; NO_ACCESS_CONTROL is a null DACL)
// make it protected and leave nothing else to interpret.
bool IsProtectedDaclFlags(const std::string& flags) {
  bool isProtected = false;
  for (size_t at = 0; at < flags.size();) {
    if (flags[at] == 'P') {
      isProtected = true;
      at += 1;
    } else if (flags.compare(at, 2, "AI") == 0 || flags.compare(at, 2, "AR") == 0) {
      at += 2;
    } else {
      return false;
    }
  }
  return isProtected;
}

// Splits an ACE's text (without its parentheses) into its first six fields:
// type, flags, rights, object, inherited object, trustee.
bool SplitAce(const std::string& ace, std::string fields[6]) {
  size_t start = 0;
  for (int i = 0; i < 6; ++i) {
    const size_t end = ace.find(';', start);
    if (end == std::string::npos && i < 5) return false;
    fields[i] = ace.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end + 1;
  }
  return true;
}

// The components of SDDL: owner "O", group "G", DACL "D", SACL "S", in this
// order, each the text after its "X:" up to the next one.
struct Components {
  bool present[4] = {};
  std::string text[4];
};

// Splits SDDL into its components; false when it is not a sequence of them,
// each at most once and in order.
bool SplitComponents(const std::string& sddl, Components* components) {
  auto startsComponent = [&](size_t at) {
    return at + 1 < sddl.size() && sddl[at + 1] == ':' &&
           (sddl[at] == 'O' || sddl[at] == 'G' || sddl[at] == 'D' || sddl[at] == 'S');
  };
  const std::string order = "OGDS";
  size_t at = 0;
  size_t next = 0;  // components come in this order, each at most once
  while (at < sddl.size()) {
    if (!startsComponent(at)) return false;
    const size_t place = order.find(sddl[at]);
    if (place < next) return false;
    next = place + 1;
    size_t end = at + 2;
    int depth = 0;
    for (; end < sddl.size(); ++end) {
      if (sddl[end] == '(') ++depth;
      if (sddl[end] == ')') --depth;
      if (depth == 0 && startsComponent(end)) break;
    }
    components->present[place] = true;
    components->text[place] = sddl.substr(at + 2, end - at - 2);
    at = end;
  }
  return true;
}

// Whether one ACE leaves writing to SYSTEM and the Administrators.
bool AceAdmitsOnlyAdministrators(const std::string& ace) {
  std::string fields[6];
  if (!SplitAce(ace, fields)) return false;
  const std::string& type = fields[0];
  if (type == "D" || type == "OD" || type == "XD") return true;  // a deny grants nothing
  if (type != "A") return false;  // object and callback allow-ACEs are not expected here
  std::uint32_t rights = 0;
  if (!ParseRights(fields[2], &rights)) return false;
  return (rights & kWriteRights) == 0 || IsAdministratorOrSystem(fields[5]);
}

}  // namespace

std::string DownloadFolderSddl(const std::string& userSid, bool withOwner) {
  std::string sddl = withOwner ? "O:BA" : "";
  sddl += "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;";
  sddl += kReadAndExecute;
  sddl += ";;;" + userSid + ")";
  return sddl;
}

bool AdmitsWritesOnlyByAdministrators(const std::string& sddl) {
  enum { kOwner = 0, kDacl = 2 };
  Components components;
  if (!SplitComponents(sddl, &components)) return false;
  if (!components.present[kOwner] || !IsAdministratorOrSystem(components.text[kOwner])) return false;
  if (!components.present[kDacl]) return false;
  const std::string& dacl = components.text[kDacl];
  const size_t firstAce = dacl.find('(');
  if (!IsProtectedDaclFlags(dacl.substr(0, firstAce))) return false;
  for (size_t at = firstAce; at != std::string::npos && at < dacl.size();) {
    const size_t close = dacl.find(')', at);
    if (dacl[at] != '(' || close == std::string::npos) return false;
    if (dacl.find('(', at + 1) < close) return false;  // nested: not an ACE this check reads
    if (!AceAdmitsOnlyAdministrators(dacl.substr(at + 1, close - at - 1))) return false;
    at = close + 1;
  }
  return true;  // a protected, empty DACL gives nobody any right
}

}  // namespace zelvra
