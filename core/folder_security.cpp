#include "core/folder_security.h"

#include <cstdint>

namespace zelvra {

namespace {

// Read and execute on files and folders (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE).
constexpr char16_t kReadAndExecute[] = u"0x1200a9";

// Rights that change a folder, what it holds or its security: write data or
// add a file (0x2), append or add a folder (0x4), write extended attributes
// (0x10), delete a child (0x40), write attributes (0x100), delete (0x10000),
// write the DACL (0x40000) or the owner (0x80000), the SACL (0x1000000),
// maximum allowed (0x2000000), generic all (0x10000000), generic write
// (0x40000000).
constexpr std::uint32_t kWriteRights =
    0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x1000000 | 0x2000000 | 0x10000000 | 0x40000000;

struct RightCode {
  const char16_t* code;
  std::uint32_t mask;
};

// The two-letter access codes of SDDL.
constexpr RightCode kRightCodes[] = {
    {u"GA", 0x10000000}, {u"GR", 0x80000000}, {u"GW", 0x40000000}, {u"GX", 0x20000000}, {u"RC", 0x20000},
    {u"SD", 0x10000},    {u"WD", 0x40000},    {u"WO", 0x80000},    {u"RP", 0x10},       {u"WP", 0x20},
    {u"CC", 0x1},        {u"DC", 0x2},        {u"LC", 0x4},        {u"SW", 0x8},        {u"LO", 0x80},
    {u"DT", 0x40},       {u"CR", 0x100},      {u"FA", 0x1F01FF},   {u"FR", 0x120089},   {u"FW", 0x120116},
    {u"FX", 0x1200A0},   {u"KA", 0xF003F},    {u"KR", 0x20019},    {u"KW", 0x20006},    {u"KX", 0x20019},
};

bool IsAdministratorOrSystem(const std::u16string& sid) {
  return sid == u"SY" || sid == u"BA" || sid == u"S-1-5-18" || sid == u"S-1-5-32-544";
}

bool IsOwnerRights(const std::u16string& sid) { return sid == u"OW" || sid == u"S-1-3-4"; }

// Whether an ACE's flags (two-letter codes) make it inherited by both files
// (OI) and folders (CI).
bool InheritedByFilesAndFolders(const std::u16string& flags) {
  bool files = false;
  bool folders = false;
  for (size_t at = 0; at + 1 < flags.size(); at += 2) {
    files = files || flags.compare(at, 2, u"OI") == 0;
    folders = folders || flags.compare(at, 2, u"CI") == 0;
  }
  return files && folders;
}

// The value of a hexadecimal digit, or -1.
int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The access mask of an ACE's rights field: "0x" and hexadecimal digits only,
// or two-letter codes; false when it cannot be read.
bool ParseRights(const std::u16string& text, std::uint32_t* mask) {
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    std::uint64_t value = 0;
    for (size_t at = 2; at < text.size(); ++at) {
      const int digit = HexDigit(text[at]);
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
      if (value > 0xFFFFFFFFull) return false;
    }
    *mask = static_cast<std::uint32_t>(value);
    return true;
  }
  if (text.empty() || text.size() % 2 != 0) return false;
  std::uint32_t total = 0;
  for (size_t at = 0; at < text.size(); at += 2) {
    const std::u16string code = text.substr(at, 2);
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
bool IsProtectedDaclFlags(const std::u16string& flags) {
  bool isProtected = false;
  for (size_t at = 0; at < flags.size();) {
    if (flags[at] == u'P') {
      isProtected = true;
      at += 1;
    } else if (flags.compare(at, 2, u"AI") == 0 || flags.compare(at, 2, u"AR") == 0) {
      at += 2;
    } else {
      return false;
    }
  }
  return isProtected;
}

// Splits an ACE's text (without its parentheses) into its first six fields:
// type, flags, rights, object, inherited object, trustee.
bool SplitAce(const std::u16string& ace, std::u16string fields[6]) {
  size_t start = 0;
  for (int i = 0; i < 6; ++i) {
    const size_t end = ace.find(u';', start);
    if (end == std::u16string::npos && i < 5) return false;
    fields[i] = ace.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
    start = end + 1;
  }
  return true;
}

// The components of SDDL: owner "O", group "G", DACL "D", SACL "S", in this
// order, each the text after its "X:" up to the next one.
struct Components {
  bool present[4] = {};
  std::u16string text[4];
};

// Splits SDDL into its components; false when it is not a sequence of them,
// each at most once and in order.
bool SplitComponents(const std::u16string& sddl, Components* components) {
  auto startsComponent = [&](size_t at) {
    return at + 1 < sddl.size() && sddl[at + 1] == u':' &&
           (sddl[at] == u'O' || sddl[at] == u'G' || sddl[at] == u'D' || sddl[at] == u'S');
  };
  const std::u16string order = u"OGDS";
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
      if (sddl[end] == u'(') ++depth;
      if (sddl[end] == u')') --depth;
      if (depth == 0 && startsComponent(end)) break;
    }
    components->present[place] = true;
    components->text[place] = sddl.substr(at + 2, end - at - 2);
    at = end;
  }
  return true;
}

// Whether one ACE leaves writing to SYSTEM and the Administrators; sets
// `ownerRights` when it is an OWNER RIGHTS entry that new files and folders
// inherit.
bool AceAdmitsOnlyAdministrators(const std::u16string& ace, bool* ownerRights) {
  std::u16string fields[6];
  if (!SplitAce(ace, fields)) return false;
  const std::u16string& type = fields[0];
  if ((type == u"A" || type == u"D") && IsOwnerRights(fields[5]) && InheritedByFilesAndFolders(fields[1])) {
    *ownerRights = true;
  }
  if (type == u"D" || type == u"OD" || type == u"XD") return true;  // a deny grants nothing
  if (type != u"A") return false;  // object and callback allow-ACEs are not expected here
  std::uint32_t rights = 0;
  if (!ParseRights(fields[2], &rights)) return false;
  return (rights & kWriteRights) == 0 || IsAdministratorOrSystem(fields[5]);
}

}  // namespace

std::u16string DownloadFolderSddl(const std::u16string& userSid, bool withOwner) {
  std::u16string sddl = withOwner ? u"O:BA" : u"";
  sddl += u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;";
  sddl += kReadAndExecute;
  sddl += u";;;" + userSid + u")(A;OICI;";
  sddl += kReadAndExecute;
  sddl += u";;;OW)";
  return sddl;
}

bool AdmitsWritesOnlyByAdministrators(const std::u16string& sddl) {
  enum { kOwner = 0, kDacl = 2 };
  Components components;
  if (!SplitComponents(sddl, &components)) return false;
  if (!components.present[kOwner] || !IsAdministratorOrSystem(components.text[kOwner])) return false;
  if (!components.present[kDacl]) return false;
  const std::u16string& dacl = components.text[kDacl];
  const size_t firstAce = dacl.find(u'(');
  if (!IsProtectedDaclFlags(dacl.substr(0, firstAce))) return false;
  bool ownerRights = false;
  for (size_t at = firstAce; at != std::u16string::npos && at < dacl.size();) {
    const size_t close = dacl.find(u')', at);
    if (dacl[at] != u'(' || close == std::u16string::npos) return false;
    if (dacl.find(u'(', at + 1) < close) return false;  // nested: not an ACE this check reads
    if (!AceAdmitsOnlyAdministrators(dacl.substr(at + 1, close - at - 1), &ownerRights)) return false;
    at = close + 1;
  }
  return ownerRights;
}

}  // namespace zelvra
