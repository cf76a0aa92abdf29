#include "app/win32/artwork.h"

#include <algorithm>

namespace zepr::win32 {

using layout::Colour;

void DrawStepIcon(Canvas& canvas, StepIcon icon, int x, int y, int size) {
  const int m = std::max(2, size / 8);  // margin
  const int l = x + m, t = y + m, r = x + size - m, b = y + size - m;
  const int cy = y + size / 2;
  const double stroke = std::max(2, size / 6);
  switch (icon) {
    case StepIcon::kNone:
      return;
    case StepIcon::kActive:
      // Shaft and head of an arrow pointing at the text.
      canvas.Fill({l, cy - size / 8, (r - l) / 2 + 1, size / 4 + 1}, layout::kActiveMark);
      canvas.FillPolygon({{x + size / 2.0 - 1, double(t)},
                          {double(r), double(cy)},
                          {x + size / 2.0 - 1, double(b)}},
                         layout::kActiveMark);
      return;
    case StepIcon::kDone:
      canvas.Polyline(
          {{double(l), double(cy)}, {x + size * 2.0 / 5, b - 1.0}, {double(r), t + 1.0}},
          layout::kDoneMark, stroke);
      return;
    case StepIcon::kFailed:
      canvas.Polyline({{l + 1.0, t + 1.0}, {r - 1.0, b - 1.0}}, layout::kFailedMark, stroke);
      canvas.Polyline({{r - 1.0, t + 1.0}, {l + 1.0, b - 1.0}}, layout::kFailedMark, stroke);
      return;
  }
}

void DrawOkIcon(Canvas& canvas, int x, int y, int size) {
  canvas.FillEllipse(x, y, size, size, layout::kGreen);
  const int m = size / 4;
  canvas.Polyline({{double(x + m), y + size / 2.0},
                   {x + size * 2.0 / 5 + 1, double(y + size - m - 1)},
                   {double(x + size - m), double(y + m + 1)}},
                  layout::kWhite, std::max(2, size / 8));
}

void DrawTick(Canvas& canvas, int x, int y, int size) {
  canvas.Polyline(
      {{x + 2.0, y + size / 2.0}, {x + size * 2.0 / 5, y + size - 3.0}, {x + size - 2.0, y + 2.0}},
      layout::kBlack, 2, false);
}

namespace {

uint8_t Mix(uint8_t a, uint8_t b, int num, int den) {
  return static_cast<uint8_t>(a + (static_cast<int>(b) - a) * num / std::max(1, den));
}

// Two arcs with arrow heads, the usual sign of "bring up to date".
void DrawCirclingArrows(Canvas& canvas, double cx, double cy, double radius, double width) {
  canvas.Polyline(ArcPoints(cx, cy, radius, radius, 30, 160), layout::kWhite, width, false);
  canvas.Polyline(ArcPoints(cx, cy, radius, radius, 210, 340), layout::kWhite, width, false);
  const double head = width * 2;
  // Heads at the arcs' 160 and 340 degree ends, pointing along the turn.
  canvas.FillPolygon({{cx - radius - head, cy - radius / 3},
                      {cx - radius + head, cy - radius / 3},
                      {cx - radius, cy + head / 2}},
                     layout::kWhite);
  canvas.FillPolygon({{cx + radius - head, cy + radius / 3},
                      {cx + radius + head, cy + radius / 3},
                      {cx + radius, cy - head / 2}},
                     layout::kWhite);
}

void DrawDrum(Canvas& canvas, int cx, int top, int w, int h) {
  const int ellipse = std::max(6, w / 4);
  const int l = cx - w / 2;
  canvas.Fill({l, top + ellipse / 2, w, h - ellipse}, layout::kDrumBody);
  canvas.FillEllipse(l, top + h - ellipse, w, ellipse, layout::kDrumBody);
  canvas.FillEllipse(l, top, w, ellipse, layout::kDrumBody);
  for (int band = 1; band <= 2; ++band) {
    const int y = top + (h - ellipse) * band / 3;
    canvas.Polyline(ArcPoints(l + w / 2.0, y + ellipse / 2.0, w / 2.0, ellipse / 2.0, 180, 360),
                    layout::kGreen, 2, false);
  }
  canvas.FillEllipse(l + 2, top + 2, w - 4, ellipse - 4, layout::kDrumTop);
}

}  // namespace

void DrawPicture(Canvas& canvas, const layout::Rect& r) {
  const auto [x, y, w, h] = r;
  canvas.PushClip(r);
  const Colour top = layout::kGreen;
  const Colour bottom = layout::kPictureBottom;
  for (int row = 0; row < h; ++row) {
    canvas.Fill({x, y + row, w, 1}, {Mix(top.r, bottom.r, row, h), Mix(top.g, bottom.g, row, h),
                                     Mix(top.b, bottom.b, row, h)});
  }
  // A few faint diagonal bands for depth.
  for (int i = -h; i < w; i += 28) {
    canvas.Polyline({{double(x + i), double(y + h)}, {x + i + h / 2.0, double(y)}},
                    layout::kPictureBand, 6, false);
  }
  const int cx = x + w / 2;
  DrawCirclingArrows(canvas, cx, y + h * 3 / 10, std::min(w, h) / 4, std::max(4, w / 22));
  DrawDrum(canvas, cx, y + h * 11 / 20, w * 9 / 20, h / 4);
  canvas.Text("UPDATE", {x, y + h - 34, w, 20},
              {{14, true}, layout::kWhite, HAlign::kCentre, VAlign::kMiddle});
  canvas.PopClip();
}

}  // namespace zepr::win32
