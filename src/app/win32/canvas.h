#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/layout.h"

namespace zepr::win32 {

// Everything is laid out in the layout's pixels (96 per inch); a window on a monitor of
// another DPI draws the same picture scaled.
class Scale {
 public:
  explicit Scale(UINT dpi = 96) : dpi_(dpi == 0 ? 96 : dpi) {}
  UINT dpi() const { return dpi_; }
  int Px(int logical) const { return MulDiv(logical, static_cast<int>(dpi_), 96); }
  int Px(double logical) const;
  // From device pixels back to the layout's, for the pointer.
  int Logical(int device) const { return MulDiv(device, 96, static_cast<int>(dpi_)); }
  RECT Device(const layout::Rect& r) const;

 private:
  UINT dpi_;
};

// The system's own window DPI: GetDpiForWindow where the system has it, else the screen's.
UINT WindowDpi(HWND window);

struct FontStyle {
  int size;  // em height in layout pixels
  bool bold = false;
  auto operator<=>(const FontStyle&) const = default;
};

// The fonts of one DPI, made once. The face is Segoe UI where the system has it, else Tahoma.
class FontCache {
 public:
  FontCache() = default;
  ~FontCache() { Clear(); }
  FontCache(const FontCache&) = delete;
  FontCache& operator=(const FontCache&) = delete;

  HFONT Get(FontStyle style, const Scale& scale);
  void Clear();

 private:
  UINT dpi_ = 0;
  std::map<FontStyle, HFONT> fonts_;
};

// The face name the fonts are made with.
const wchar_t* FontFace();

enum class HAlign { kLeft, kCentre, kRight };
enum class VAlign { kTop, kMiddle };

struct TextStyle {
  FontStyle font;
  layout::Colour colour = layout::kBlack;
  HAlign h = HAlign::kLeft;
  VAlign v = VAlign::kMiddle;
  bool wrap = false;  // at the box's width, with WrapText
  bool clip = true;   // else the text may run past the box, as an unclipped label's does
};

// Point of the layout, fractional for smooth artwork.
struct Point {
  double x;
  double y;
};

// GDI drawing in layout coordinates onto a device context.
class Canvas {
 public:
  Canvas(HDC dc, const Scale& scale, FontCache& fonts);
  ~Canvas();
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  const Scale& scale() const { return scale_; }

  void Fill(const layout::Rect& r, layout::Colour colour);
  // One layout pixel wide, inside the rectangle.
  void Frame(const layout::Rect& r, layout::Colour colour);
  void FillPolygon(const std::vector<Point>& points, layout::Colour colour);
  void FillEllipse(double x, double y, double w, double h, layout::Colour colour);
  // A line through the points, width in layout pixels; round ends and joins, or flat ones.
  void Polyline(const std::vector<Point>& points, layout::Colour colour, double width,
                bool round = true);

  // Draws text literally (no prefix characters), LF breaks lines.
  void Text(std::string_view utf8, const layout::Rect& box, const TextStyle& style);
  // Width of a line of text and height of a line, in layout pixels.
  double TextWidth(std::string_view utf8, FontStyle font);
  int LineHeight(FontStyle font);
  // The text broken as Text would break it at that width.
  std::string Wrapped(std::string_view utf8, int width, FontStyle font);

  void PushClip(const layout::Rect& r);
  void PopClip();

 private:
  HDC dc_;
  Scale scale_;
  FontCache& fonts_;
  int saved_;
  std::vector<int> clips_;
};

// Paints the window's invalid part through an off-screen bitmap, so nothing flickers.
void PaintBuffered(HWND window, const Scale& scale, FontCache& fonts,
                   const std::function<void(Canvas&)>& draw);

// Points of an elliptic arc, angles in degrees counterclockwise from 3 o'clock.
std::vector<Point> ArcPoints(double cx, double cy, double rx, double ry, double from, double to);

COLORREF ToColorRef(layout::Colour colour);

}  // namespace zepr::win32
