// Finding a dialog's template and base units (see dialog_template.h).
#include "dialog_template.h"

#include <cstring>
#include <map>

#include "common.h"
#include "window_query.h"

namespace uidriver {

namespace {

// Reads a template's fields in order, with bounds checks.
class TemplateReader {
 public:
  TemplateReader(const BYTE* data, size_t size) : data_(data), size_(size) {}

  bool ok() const { return ok_; }
  size_t offset() const { return offset_; }

  WORD Word() { return static_cast<WORD>(Take(2)); }
  DWORD Dword() { return static_cast<DWORD>(Take(4)); }
  short Short() { return static_cast<short>(Word()); }
  BYTE Byte() { return static_cast<BYTE>(Take(1)); }
  void Skip(size_t bytes) {
    if (offset_ + bytes > size_)
      ok_ = false;
    else
      offset_ += bytes;
  }
  void AlignDword() { Skip((4 - offset_ % 4) % 4); }

  // A zero-terminated UTF-16 string.
  std::wstring String() {
    std::wstring text;
    for (;;) {
      WORD c = Word();
      if (!ok_ || c == 0) return text;
      text.push_back(static_cast<wchar_t>(c));
    }
  }
  // sz_Or_Ord: nothing (0x0000), an ordinal (0xFFFF then the number) or a string.
  void SkipNameOrOrdinal() {
    if (offset_ + 2 > size_) {
      ok_ = false;
      return;
    }
    WORD first;
    std::memcpy(&first, data_ + offset_, 2);
    if (first == 0x0000)
      Skip(2);
    else if (first == 0xFFFF)
      Skip(4);
    else
      String();
  }

 private:
  uint32_t Take(size_t bytes) {
    if (!ok_ || offset_ + bytes > size_) {
      ok_ = false;
      return 0;
    }
    uint32_t value = 0;
    std::memcpy(&value, data_ + offset_, bytes);  // little-endian, as the PE file
    offset_ += bytes;
    return value;
  }

  const BYTE* data_;
  size_t size_;
  size_t offset_ = 0;
  bool ok_ = true;
};

// RT_DIALOG as a wide resource type (the RT_ macros follow UNICODE).
const LPCWSTR kDialogType = MAKEINTRESOURCEW(5);

struct ResourceName {
  bool numbered;
  WORD number;
  std::wstring text;
  LPCWSTR get() const { return numbered ? MAKEINTRESOURCEW(number) : text.c_str(); }
  std::wstring shown() const { return numbered ? L"#" + std::to_wstring(number) : text; }
};

struct Candidate {
  ResourceName name;
  LANGID language;
  std::vector<BYTE> bytes;
  ParsedTemplate parsed;
};

BOOL CALLBACK AddResourceName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR parameter) {
  auto* names = reinterpret_cast<std::vector<ResourceName>*>(parameter);
  if (IS_INTRESOURCE(name))
    names->push_back({true, static_cast<WORD>(reinterpret_cast<uintptr_t>(name)), {}});
  else
    names->push_back({false, 0, name});
  return TRUE;
}

BOOL CALLBACK AddResourceLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR parameter) {
  reinterpret_cast<std::vector<LANGID>*>(parameter)->push_back(language);
  return TRUE;
}

std::vector<Candidate> DialogTemplatesOf(HMODULE module) {
  std::vector<ResourceName> names;
  EnumResourceNamesW(module, kDialogType, AddResourceName, reinterpret_cast<LONG_PTR>(&names));

  std::vector<Candidate> candidates;
  for (const ResourceName& name : names) {
    std::vector<LANGID> languages;
    EnumResourceLanguagesW(module, kDialogType, name.get(), AddResourceLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    for (LANGID language : languages) {
      HRSRC resource = FindResourceExW(module, kDialogType, name.get(), language);
      HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
      const BYTE* data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
      DWORD size = resource ? SizeofResource(module, resource) : 0;
      if (!data || !size) continue;
      Candidate candidate{name, language, std::vector<BYTE>(data, data + size), {}};
      if (ParseDialogTemplate(candidate.bytes.data(), candidate.bytes.size(), &candidate.parsed)) {
        candidates.push_back(std::move(candidate));
      }
    }
  }
  return candidates;
}

INT_PTR CALLBACK SilentDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// Base units of a template, from a hidden copy of its dialog without controls.
bool TemplateBaseUnits(const Candidate& candidate, int* x_base, int* y_base) {
  std::vector<BYTE> copy = candidate.bytes;
  bool extended = copy.size() >= 4 && copy[2] == 0xFF && copy[3] == 0xFF;
  size_t style_offset = extended ? 12 : 0;
  DWORD style;
  std::memcpy(&style, &copy[style_offset], 4);
  style &= ~static_cast<DWORD>(WS_VISIBLE);
  if (style & WS_CHILD) style = (style & ~static_cast<DWORD>(WS_CHILD)) | WS_POPUP;
  std::memcpy(&copy[style_offset], &style, 4);
  WORD no_controls = 0;
  std::memcpy(&copy[candidate.parsed.count_offset], &no_controls, 2);
  HWND hidden = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()),
                                           nullptr, SilentDialogProc, 0);
  if (!hidden) return false;
  RECT probe = {0, 0, 4, 8};
  bool mapped = MapDialogRect(hidden, &probe) != FALSE;
  DestroyWindow(hidden);
  *x_base = probe.right;
  *y_base = probe.bottom;
  return mapped;
}

bool SameIds(const std::vector<int>& a, const std::vector<int>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if ((a[i] & 0xFFFF) != (b[i] & 0xFFFF)) return false;  // IDC_STATIC is -1 or 0xFFFF
  }
  return true;
}

// Executables already opened as resource files, by path; kept open for the
// driver's lifetime.
HMODULE ResourceModule(const std::wstring& path) {
  static std::map<std::wstring, HMODULE> modules;
  auto found = modules.find(path);
  if (found != modules.end()) return found->second;
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module) modules[path] = module;
  return module;
}

}  // namespace

bool ParseDialogTemplate(const BYTE* data, size_t size, ParsedTemplate* parsed) {
  TemplateReader reader(data, size);
  bool extended = size >= 4 && data[2] == 0xFF && data[3] == 0xFF && data[0] == 1 && data[1] == 0;
  int count = 0;
  if (extended) {
    reader.Skip(4);  // dlgVer, signature
    reader.Dword();  // helpID
    reader.Dword();  // exStyle
    parsed->style = reader.Dword();
    parsed->count_offset = reader.offset();
    count = reader.Word();
  } else {
    parsed->style = reader.Dword();
    reader.Dword();  // extended style
    parsed->count_offset = reader.offset();
    count = reader.Word();
  }
  reader.Short();  // x
  reader.Short();  // y
  parsed->cx = reader.Short();
  parsed->cy = reader.Short();
  reader.SkipNameOrOrdinal();  // menu
  reader.SkipNameOrOrdinal();  // window class
  parsed->caption = reader.String();
  if (parsed->style & (DS_SETFONT | DS_SHELLFONT)) {
    reader.Word();  // point size
    if (extended) {
      reader.Word();  // weight
      reader.Byte();  // italic
      reader.Byte();  // character set
    }
    reader.String();  // typeface
  }
  parsed->control_ids.clear();
  for (int i = 0; i < count && reader.ok(); ++i) {
    reader.AlignDword();
    int id;
    if (extended) {
      reader.Dword();  // helpID
      reader.Dword();  // exStyle
      reader.Dword();  // style
      reader.Skip(8);  // x, y, cx, cy
      id = static_cast<int>(reader.Dword());
    } else {
      reader.Dword();  // style
      reader.Dword();  // exStyle
      reader.Skip(8);  // x, y, cx, cy
      id = reader.Word();
    }
    reader.SkipNameOrOrdinal();  // class
    reader.SkipNameOrOrdinal();  // text
    reader.Skip(reader.Word());  // creation data
    parsed->control_ids.push_back(id);
  }
  return reader.ok();
}

bool FindDialogTemplate(HWND dialog, TemplateMatch* match, std::string* why_not) {
  DWORD pid = WindowProcessId(dialog);
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  wchar_t path[MAX_PATH * 2];
  DWORD length = MAX_PATH * 2;
  if (!process.valid() || !QueryFullProcessImageNameW(process.get(), 0, path, &length)) {
    *why_not = "cannot find the executable of process " + std::to_string(pid);
    return false;
  }
  HMODULE module = ResourceModule(path);
  if (!module) {
    *why_not = "cannot open " + Utf8(path) + " for its resources (error " + std::to_string(GetLastError()) + ")";
    return false;
  }

  std::vector<int> live_ids;
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    live_ids.push_back(GetDlgCtrlID(child));
  }
  RECT client = {};
  GetClientRect(dialog, &client);

  bool found = false;
  int same_ids = 0;
  for (const Candidate& candidate : DialogTemplatesOf(module)) {
    if (!SameIds(candidate.parsed.control_ids, live_ids)) continue;
    ++same_ids;
    int x_base = 0, y_base = 0;
    if (!TemplateBaseUnits(candidate, &x_base, &y_base)) continue;
    bool size_matches = MulDiv(candidate.parsed.cx, x_base, 4) == client.right &&
                        MulDiv(candidate.parsed.cy, y_base, 8) == client.bottom;
    if (found && (match->size_matches || !size_matches)) continue;
    match->x_base = x_base;
    match->y_base = y_base;
    match->name = candidate.name.shown();
    match->language = candidate.language;
    match->size_matches = size_matches;
    found = true;
  }
  if (!found) {
    *why_not = same_ids ? "the dialog's templates in " + Utf8(path) + " could not be created here"
                        : "no dialog template in " + Utf8(path) + " has the dialog's control IDs";
  }
  return found;
}

}  // namespace uidriver
