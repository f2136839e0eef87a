// Dialog base units of another process's dialog, from the template it was
// made from. Needed under Wine, where MapDialogRect works only inside the
// dialog's own process and WM_GETFONT does not cross processes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace uidriver {

struct TemplateMatch {
  int x_base = 0;     // pixels per 4 horizontal dialog units
  int y_base = 0;     // pixels per 8 vertical dialog units
  std::wstring name;  // "#102" for a numbered template, else its name
  LANGID language = 0;
  bool size_matches = false;  // the template's size gives the dialog's client size
};

// Looks through the dialog templates (RT_DIALOG, every language) of the
// executable of the dialog's process for the ones whose control IDs, in
// order, are the dialog's child IDs in z-order (the dialog manager creates
// them in template order). For each, it creates the template's dialog here,
// hidden and without controls, and asks MapDialogRect; the one whose size
// then gives the dialog's client size is the answer. The driver must run in
// the same locale as the target (Wine maps a template's font and
// DEFAULT_CHARSET by the process's code page).
bool FindDialogTemplate(HWND dialog, TemplateMatch* match, std::string* why_not);

// Parsed fields of a DLGTEMPLATE or DLGTEMPLATEEX, enough to match a dialog.
struct ParsedTemplate {
  DWORD style = 0;
  short cx = 0, cy = 0;
  std::wstring caption;
  std::vector<int> control_ids;
  size_t count_offset = 0;  // byte offset of the control count
};
// False when the bytes are not a well-formed template.
bool ParseDialogTemplate(const BYTE* data, size_t size, ParsedTemplate* parsed);

}  // namespace uidriver
