#include "app/win32/canvas.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "platform/win32/wide.h"

namespace zepr::win32 {

int Scale::Px(double logical) const { return static_cast<int>(std::lround(logical * dpi_ / 96.0)); }

RECT Scale::Device(const layout::Rect& r) const {
  return {Px(r.x), Px(r.y), Px(r.x + r.w), Px(r.y + r.h)};
}

UINT WindowDpi(HWND window) {
  // Windows 10 1607 and later; looked up so the program still starts on older systems.
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto get_dpi = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (get_dpi && window) {
    const UINT dpi = get_dpi(window);
    if (dpi != 0) return dpi;
  }
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

COLORREF ToColorRef(layout::Colour colour) { return RGB(colour.r, colour.g, colour.b); }

namespace {

int CALLBACK NoteFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool HasFace(const wchar_t* face) {
  HDC screen = GetDC(nullptr);
  if (!screen) return false;
  LOGFONTW query{};
  query.lfCharSet = DEFAULT_CHARSET;
  wcsncpy(query.lfFaceName, face, LF_FACESIZE - 1);
  bool found = false;
  EnumFontFamiliesExW(screen, &query, NoteFace, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, screen);
  return found;
}

}  // namespace

const wchar_t* FontFace() {
  static const wchar_t* face = HasFace(L"Segoe UI") ? L"Segoe UI" : L"Tahoma";
  return face;
}

HFONT FontCache::Get(FontStyle style, const Scale& scale) {
  if (scale.dpi() != dpi_) {
    Clear();
    dpi_ = scale.dpi();
  }
  auto found = fonts_.find(style);
  if (found != fonts_.end()) return found->second;
  LOGFONTW font{};
  font.lfHeight = -scale.Px(style.size);  // negative: the em height, as the layout gives it
  font.lfWeight = style.bold ? FW_BOLD : FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfQuality = ANTIALIASED_QUALITY;
  wcsncpy(font.lfFaceName, FontFace(), LF_FACESIZE - 1);
  HFONT handle = CreateFontIndirectW(&font);
  fonts_.emplace(style, handle);
  return handle;
}

void FontCache::Clear() {
  for (auto& [style, font] : fonts_) {
    if (font) DeleteObject(font);
  }
  fonts_.clear();
}

Canvas::Canvas(HDC dc, const Scale& scale, FontCache& fonts)
    : dc_(dc), scale_(scale), fonts_(fonts), saved_(SaveDC(dc)) {
  SetBkMode(dc_, TRANSPARENT);
  SetTextAlign(dc_, TA_LEFT | TA_TOP | TA_NOUPDATECP);
}

Canvas::~Canvas() { RestoreDC(dc_, saved_); }

void Canvas::Fill(const layout::Rect& r, layout::Colour colour) {
  const RECT device = scale_.Device(r);
  SetDCBrushColor(dc_, ToColorRef(colour));
  FillRect(dc_, &device, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

void Canvas::Frame(const layout::Rect& r, layout::Colour colour) {
  Fill({r.x, r.y, r.w, 1}, colour);
  Fill({r.x, r.y + r.h - 1, r.w, 1}, colour);
  Fill({r.x, r.y, 1, r.h}, colour);
  Fill({r.x + r.w - 1, r.y, 1, r.h}, colour);
}

void Canvas::FillPolygon(const std::vector<Point>& points, layout::Colour colour) {
  std::vector<POINT> device;
  device.reserve(points.size());
  for (const Point& p : points) device.push_back({scale_.Px(p.x), scale_.Px(p.y)});
  SetDCBrushColor(dc_, ToColorRef(colour));
  HGDIOBJ old_brush = SelectObject(dc_, GetStockObject(DC_BRUSH));
  HGDIOBJ old_pen = SelectObject(dc_, GetStockObject(NULL_PEN));
  Polygon(dc_, device.data(), static_cast<int>(device.size()));
  SelectObject(dc_, old_pen);
  SelectObject(dc_, old_brush);
}

void Canvas::FillEllipse(double x, double y, double w, double h, layout::Colour colour) {
  SetDCBrushColor(dc_, ToColorRef(colour));
  HGDIOBJ old_brush = SelectObject(dc_, GetStockObject(DC_BRUSH));
  HGDIOBJ old_pen = SelectObject(dc_, GetStockObject(NULL_PEN));
  // A null pen leaves the right and bottom edge out; one more device pixel covers them.
  Ellipse(dc_, scale_.Px(x), scale_.Px(y), scale_.Px(x + w) + 1, scale_.Px(y + h) + 1);
  SelectObject(dc_, old_pen);
  SelectObject(dc_, old_brush);
}

void Canvas::Polyline(const std::vector<Point>& points, layout::Colour colour, double width,
                      bool round) {
  if (points.size() < 2) return;
  std::vector<POINT> device;
  device.reserve(points.size());
  for (const Point& p : points) device.push_back({scale_.Px(p.x), scale_.Px(p.y)});
  LOGBRUSH brush{BS_SOLID, ToColorRef(colour), 0};
  const DWORD ends = round ? (PS_ENDCAP_ROUND | PS_JOIN_ROUND) : (PS_ENDCAP_FLAT | PS_JOIN_MITER);
  HPEN pen = ExtCreatePen(PS_GEOMETRIC | PS_SOLID | ends,
                          static_cast<DWORD>(std::max(1, scale_.Px(width))), &brush, 0, nullptr);
  HGDIOBJ old_pen = SelectObject(dc_, pen);
  ::Polyline(dc_, device.data(), static_cast<int>(device.size()));
  SelectObject(dc_, old_pen);
  DeleteObject(pen);
}

double Canvas::TextWidth(std::string_view utf8, FontStyle font) {
  if (utf8.empty()) return 0;
  const std::wstring wide = platform::Utf8ToWide(utf8);
  HGDIOBJ old = SelectObject(dc_, fonts_.Get(font, scale_));
  SIZE size{};
  GetTextExtentPoint32W(dc_, wide.data(), static_cast<int>(wide.size()), &size);
  SelectObject(dc_, old);
  return size.cx * 96.0 / scale_.dpi();
}

int Canvas::LineHeight(FontStyle font) {
  HGDIOBJ old = SelectObject(dc_, fonts_.Get(font, scale_));
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc_, &metrics);
  SelectObject(dc_, old);
  return static_cast<int>(std::ceil(metrics.tmHeight * 96.0 / scale_.dpi()));
}

std::string Canvas::Wrapped(std::string_view utf8, int width, FontStyle font) {
  return WrapText(utf8, width,
                  [this, font](std::string_view piece) { return TextWidth(piece, font); });
}

void Canvas::Text(std::string_view utf8, const layout::Rect& box, const TextStyle& style) {
  const std::string wrapped = style.wrap ? Wrapped(utf8, box.w, style.font) : std::string(utf8);
  std::vector<std::wstring> lines(1);
  for (wchar_t c : platform::Utf8ToWide(wrapped)) {
    if (c == L'\n') {
      lines.emplace_back();
    } else {
      lines.back() += c;
    }
  }
  if (style.clip) PushClip(box);
  HGDIOBJ old = SelectObject(dc_, fonts_.Get(style.font, scale_));
  SetTextColor(dc_, ToColorRef(style.colour));
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc_, &metrics);
  const RECT device = scale_.Device(box);
  const int line_height = metrics.tmHeight;
  const int total = line_height * static_cast<int>(lines.size());
  int y =
      style.v == VAlign::kTop ? device.top : device.top + (device.bottom - device.top - total) / 2;
  for (const std::wstring& line : lines) {
    SIZE size{};
    GetTextExtentPoint32W(dc_, line.data(), static_cast<int>(line.size()), &size);
    int x = device.left;
    if (style.h == HAlign::kRight) x = device.right - size.cx;
    if (style.h == HAlign::kCentre) x = device.left + (device.right - device.left - size.cx) / 2;
    if (!line.empty())
      ExtTextOutW(dc_, x, y, 0, nullptr, line.data(), static_cast<UINT>(line.size()), nullptr);
    y += line_height;
  }
  SelectObject(dc_, old);
  if (style.clip) PopClip();
}

void Canvas::PushClip(const layout::Rect& r) {
  clips_.push_back(SaveDC(dc_));
  const RECT device = scale_.Device(r);
  IntersectClipRect(dc_, device.left, device.top, device.right, device.bottom);
}

void Canvas::PopClip() {
  if (clips_.empty()) return;
  RestoreDC(dc_, clips_.back());
  clips_.pop_back();
}

void PaintBuffered(HWND window, const Scale& scale, FontCache& fonts,
                   const std::function<void(Canvas&)>& draw) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT client{};
  GetClientRect(window, &client);
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
  if (memory && bitmap) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    {
      Canvas canvas(memory, scale, fonts);
      draw(canvas);
    }
    const RECT& r = paint.rcPaint;
    BitBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, memory, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);
  } else {
    Canvas canvas(dc, scale, fonts);
    draw(canvas);
  }
  if (bitmap) DeleteObject(bitmap);
  if (memory) DeleteDC(memory);
  EndPaint(window, &paint);
}

std::vector<Point> ArcPoints(double cx, double cy, double rx, double ry, double from, double to) {
  const int steps = std::max(4, static_cast<int>(std::abs(to - from) / 4));
  std::vector<Point> points;
  points.reserve(static_cast<size_t>(steps) + 1);
  for (int i = 0; i <= steps; ++i) {
    const double a = (from + (to - from) * i / steps) * std::numbers::pi / 180.0;
    points.push_back({cx + rx * std::cos(a), cy - ry * std::sin(a)});
  }
  return points;
}

}  // namespace zepr::win32
