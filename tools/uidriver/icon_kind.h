// Telling which standard icon a message box shows, from outside its process.
#pragma once

#include <windows.h>

#include <string>

namespace uidriver {

struct IconKind {
  std::string kind;    // "question", "exclamation", "information", "error", "none" or "unknown"
  std::string method;  // how it was told: "handle", "pixels" or "no-icon"
  std::string note;    // why it is "unknown", or the pixel scores
};

// Classifies the icon of a message box's icon control (null: no visible
// icon control). On Windows the system icons are shared, so the handle the
// control holds equals this process's LoadIcon(NULL, IDI_*). Under Wine each
// process has its own icon objects and cannot read another's, so the control
// is compared with each system icon drawn here, pixel by pixel, on screen;
// that needs the control to be painted and not covered, and is retried for a
// short while until it is.
IconKind ClassifyIcon(HWND icon_control);

}  // namespace uidriver
