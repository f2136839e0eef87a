#include "core/placement.h"

namespace zelvra {

Rect CenteredPlacement(const Rect& window, const Rect& center, const Rect& workArea) {
  const int width = window.Width(), height = window.Height();
  int left = (center.left + center.right) / 2 - width / 2;
  int top = (center.top + center.bottom) / 2 - height / 2;
  if (left + width > workArea.right) left = workArea.right - width;
  if (top + height > workArea.bottom) top = workArea.bottom - height;
  if (left < workArea.left) left = workArea.left;
  if (top < workArea.top) top = workArea.top;
  return Rect{left, top, left + width, top + height};
}

}  // namespace zelvra
