#include "app/fltk/artwork.h"

#include <FL/fl_draw.H>

#include <algorithm>

#include "app/fltk/colours.h"

namespace zepr {

namespace {

void ThickLine(int x1, int y1, int x2, int y2, int width) {
  fl_line_style(FL_SOLID | FL_CAP_ROUND | FL_JOIN_ROUND, width);
  fl_line(x1, y1, x2, y2);
  fl_line_style(0);
}

}  // namespace

void DrawStepIcon(StepIcon icon, int x, int y, int size) {
  const int m = std::max(2, size / 8);  // margin
  const int l = x + m, t = y + m, r = x + size - m, b = y + size - m;
  const int cy = y + size / 2;
  switch (icon) {
    case StepIcon::kNone:
      return;
    case StepIcon::kActive:
      fl_color(kActiveMark.fl());
      // Shaft and head of an arrow pointing at the text.
      fl_rectf(l, cy - size / 8, (r - l) / 2 + 1, size / 4 + 1);
      fl_polygon(x + size / 2 - 1, t, r, cy, x + size / 2 - 1, b);
      return;
    case StepIcon::kDone:
      fl_color(kDoneMark.fl());
      fl_line_style(FL_SOLID | FL_CAP_ROUND | FL_JOIN_ROUND, std::max(2, size / 6));
      fl_begin_line();
      fl_vertex(l, cy);
      fl_vertex(x + size * 2 / 5, b - 1);
      fl_vertex(r, t + 1);
      fl_end_line();
      fl_line_style(0);
      return;
    case StepIcon::kFailed:
      fl_color(kFailedMark.fl());
      ThickLine(l + 1, t + 1, r - 1, b - 1, std::max(2, size / 6));
      ThickLine(r - 1, t + 1, l + 1, b - 1, std::max(2, size / 6));
      return;
  }
}

void DrawOkIcon(int x, int y, int size) {
  fl_color(kGreen.fl());
  fl_pie(x, y, size, size, 0, 360);
  fl_color(FL_WHITE);
  const int m = size / 4;
  fl_line_style(FL_SOLID | FL_CAP_ROUND | FL_JOIN_ROUND, std::max(2, size / 8));
  fl_begin_line();
  fl_vertex(x + m, y + size / 2);
  fl_vertex(x + size * 2 / 5 + 1, y + size - m - 1);
  fl_vertex(x + size - m, y + m + 1);
  fl_end_line();
  fl_line_style(0);
}

void DrawTick(int x, int y, int size) {
  fl_color(FL_BLACK);
  fl_line_style(FL_SOLID | FL_CAP_SQUARE, 2);
  fl_begin_line();
  fl_vertex(x + 2, y + size / 2);
  fl_vertex(x + size * 2 / 5, y + size - 3);
  fl_vertex(x + size - 2, y + 2);
  fl_end_line();
  fl_line_style(0);
}

namespace {

uint8_t Mix(uint8_t a, uint8_t b, int num, int den) {
  return static_cast<uint8_t>(a + (static_cast<int>(b) - a) * num / std::max(1, den));
}

// Two arcs with arrow heads, the usual sign of "bring up to date".
void DrawCirclingArrows(int cx, int cy, int radius, int width) {
  fl_color(FL_WHITE);
  fl_line_style(FL_SOLID | FL_CAP_FLAT, width);
  fl_arc(cx - radius, cy - radius, 2 * radius, 2 * radius, 30, 160);
  fl_arc(cx - radius, cy - radius, 2 * radius, 2 * radius, 210, 340);
  fl_line_style(0);
  const int head = width * 2;
  // Heads at the arcs' 160 and 340 degree ends, pointing along the turn.
  fl_polygon(cx - radius - head, cy - radius / 3, cx - radius + head, cy - radius / 3, cx - radius,
             cy + head / 2);
  fl_polygon(cx + radius - head, cy + radius / 3, cx + radius + head, cy + radius / 3, cx + radius,
             cy - head / 2);
}

void DrawDrum(int cx, int top, int w, int h) {
  const int ellipse = std::max(6, w / 4);
  const int l = cx - w / 2;
  fl_color(Rgb(layout::kDrumBody).fl());
  fl_rectf(l, top + ellipse / 2, w, h - ellipse);
  fl_pie(l, top + h - ellipse, w, ellipse, 180, 360);
  fl_pie(l, top, w, ellipse, 0, 360);
  fl_color(kGreen.fl());
  for (int band = 1; band <= 2; ++band) {
    const int y = top + (h - ellipse) * band / 3;
    fl_line_style(FL_SOLID, 2);
    fl_arc(l, y, w, ellipse, 180, 360);
    fl_line_style(0);
  }
  fl_color(Rgb(layout::kDrumTop).fl());
  fl_pie(l + 2, top + 2, w - 4, ellipse - 4, 0, 360);
}

}  // namespace

void DrawPicture(int x, int y, int w, int h) {
  fl_push_clip(x, y, w, h);
  const Rgb top = kGreen;
  const Rgb bottom = layout::kPictureBottom;
  for (int row = 0; row < h; ++row) {
    fl_color(Mix(top.r, bottom.r, row, h), Mix(top.g, bottom.g, row, h),
             Mix(top.b, bottom.b, row, h));
    fl_xyline(x, y + row, x + w - 1);
  }
  // A few faint diagonal bands for depth.
  fl_color(Rgb(layout::kPictureBand).fl());
  for (int i = -h; i < w; i += 28) {
    fl_line_style(FL_SOLID, 6);
    fl_line(x + i, y + h, x + i + h / 2, y);
    fl_line_style(0);
  }
  const int cx = x + w / 2;
  DrawCirclingArrows(cx, y + h * 3 / 10, std::min(w, h) / 4, std::max(4, w / 22));
  DrawDrum(cx, y + h * 11 / 20, w * 9 / 20, h / 4);
  fl_color(FL_WHITE);
  fl_font(FL_HELVETICA_BOLD, 14);
  fl_draw("UPDATE", x, y + h - 34, w, 20, FL_ALIGN_CENTER, nullptr, 0);
  fl_pop_clip();
}

}  // namespace zepr
