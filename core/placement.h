// Where a dialog is placed when it first appears.
#pragma once

namespace zelvra {

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
};

// The window moved so that its centre is the centre of `center` (the owner's
// rectangle, or the work area when there is no visible owner), then moved
// back inside `workArea`: the right and bottom edges do not pass the work
// area's, and the top-left corner lies inside it (which wins for a window
// larger than the work area). Sizes are kept.
Rect CenteredPlacement(const Rect& window, const Rect& center, const Rect& workArea);

}  // namespace zelvra
