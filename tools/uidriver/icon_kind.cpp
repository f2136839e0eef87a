// Message-box icon classification (see icon_kind.h).
#include "icon_kind.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common.h"
#include "window_query.h"

namespace uidriver {

namespace {

struct Candidate {
  const char* kind;
  WORD resource;  // OIC_* number of the system icon
};
// The four icons MessageBox can show, by their resource numbers: IDI_QUESTION,
// IDI_EXCLAMATION (IDI_WARNING), IDI_ASTERISK (IDI_INFORMATION) and IDI_HAND
// (IDI_ERROR). The IDI_ macros are narrow strings in MinGW's headers.
const Candidate kCandidates[] = {
    {"question", 32514},
    {"exclamation", 32515},
    {"information", 32516},
    {"error", 32513},
};

// Mean absolute difference per colour channel (0 to 255) that still counts
// as the same picture; drawing the same icon twice gives 0 here.
constexpr double kSameIconScore = 2.0;
constexpr int kPaintWaitMs = 1500;

// A 32-bit top-down bitmap selected into a memory DC, and its pixels.
class PixelCanvas {
 public:
  PixelCanvas(int width, int height) : width_(width), height_(height) {
    HDC screen = GetDC(nullptr);
    dc_ = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
    if (bitmap_) old_ = SelectObject(dc_, bitmap_);
  }
  PixelCanvas(const PixelCanvas&) = delete;
  PixelCanvas& operator=(const PixelCanvas&) = delete;
  ~PixelCanvas() {
    if (bitmap_) {
      SelectObject(dc_, old_);
      DeleteObject(bitmap_);
    }
    if (dc_) DeleteDC(dc_);
  }

  bool ok() const { return dc_ && bitmap_ && bits_; }
  HDC dc() const { return dc_; }
  uint32_t pixel(int x, int y) const {
    GdiFlush();
    return static_cast<const uint32_t*>(bits_)[y * width_ + x] & 0xFFFFFF;
  }
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  int width_, height_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
  void* bits_ = nullptr;
};

double Difference(const PixelCanvas& a, const PixelCanvas& b) {
  long long total = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      uint32_t p = a.pixel(x, y), q = b.pixel(x, y);
      for (int shift = 0; shift < 24; shift += 8) {
        total += std::abs(static_cast<int>((p >> shift) & 0xFF) - static_cast<int>((q >> shift) & 0xFF));
      }
    }
  }
  return static_cast<double>(total) / (3.0 * a.width() * a.height());
}

// True when every corner and the centre of the rectangle show the window
// that contains the control, so the screen there shows the control.
bool Uncovered(HWND control, const RECT& rect) {
  HWND root = GetAncestor(control, GA_ROOT);
  const POINT points[] = {{rect.left, rect.top},
                          {rect.right - 1, rect.top},
                          {rect.left, rect.bottom - 1},
                          {rect.right - 1, rect.bottom - 1},
                          {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2}};
  for (POINT point : points) {
    HWND seen = WindowFromPoint(point);
    if (!seen || GetAncestor(seen, GA_ROOT) != root) return false;
  }
  return true;
}

// One attempt at telling the icon by its pixels; false when the control
// cannot be seen on screen or matches no candidate (*note says which).
bool ClassifyByPixels(HWND control, IconKind* result) {
  RECT rect = {};
  GetClientRect(control, &rect);
  MapWindowPoints(control, nullptr, reinterpret_cast<POINT*>(&rect), 2);
  int width = rect.right - rect.left, height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0 || width > 256 || height > 256) {
    result->note = "icon control has an unusable size " + std::to_string(width) + "x" + std::to_string(height);
    return false;
  }
  if (!IsWindowVisible(control) || !Uncovered(control, rect)) {
    result->note = "icon control is hidden or covered by another window";
    return false;
  }
  PixelCanvas shot(width, height);
  HDC screen = GetDC(nullptr);
  bool captured = shot.ok() && BitBlt(shot.dc(), 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  ReleaseDC(nullptr, screen);
  if (!captured) {
    result->note = "cannot read the screen (error " + std::to_string(GetLastError()) + ")";
    return false;
  }

  // System icons have transparent corners: the corner shows the background
  // the control drew on. The face colours are tried as well.
  uint32_t corner = shot.pixel(0, 0);
  const COLORREF backgrounds[] = {RGB(corner >> 16, (corner >> 8) & 0xFF, corner & 0xFF), GetSysColor(COLOR_BTNFACE),
                                  GetSysColor(COLOR_WINDOW)};
  const char* best_kind = nullptr;
  double best = 1e9;
  std::string scores;
  for (const Candidate& candidate : kCandidates) {
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(candidate.resource));
    double score = 1e9;
    for (COLORREF background : backgrounds) {
      PixelCanvas drawn(width, height);
      if (!drawn.ok()) continue;
      RECT all = {0, 0, width, height};
      HBRUSH brush = CreateSolidBrush(background);
      FillRect(drawn.dc(), &all, brush);
      DeleteObject(brush);
      DrawIconEx(drawn.dc(), 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
      double difference = Difference(shot, drawn);
      if (difference < score) score = difference;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s%s=%.1f", scores.empty() ? "" : " ", candidate.kind, score);
    scores += text;
    if (score < best) {
      best = score;
      best_kind = candidate.kind;
    }
  }
  result->note = "pixel scores: " + scores;
  if (!best_kind || best > kSameIconScore) return false;
  result->kind = best_kind;
  return true;
}

}  // namespace

IconKind ClassifyIcon(HWND icon_control) {
  IconKind result{"none", "no-icon", ""};
  if (!icon_control) return result;
  DWORD_PTR handle = 0;
  SendWithTimeout(icon_control, STM_GETICON, 0, 0, &handle);
  if (!handle) {
    result.note = "the icon control holds no icon";
    return result;
  }
  for (const Candidate& candidate : kCandidates) {
    if (reinterpret_cast<HICON>(handle) == LoadIconW(nullptr, MAKEINTRESOURCEW(candidate.resource))) {
      result.kind = candidate.kind;
      result.method = "handle";
      return result;
    }
  }
  result.method = "pixels";
  result.kind = "unknown";
  IconKind attempt = result;
  // A box that has just appeared may not be painted yet.
  WaitUntil(kPaintWaitMs, [&] { return ClassifyByPixels(icon_control, &attempt); });
  return attempt;
}

}  // namespace uidriver
