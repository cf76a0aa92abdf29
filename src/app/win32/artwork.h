#pragma once

#include "app/layout.h"
#include "app/win32/canvas.h"

namespace zepr::win32 {

// The same pictures as the other toolkit's window, in GDI.
// An arrow, a check mark or a cross, centred in a square of the given size.
void DrawStepIcon(Canvas& canvas, StepIcon icon, int x, int y, int size);
// Image1: a green panel with the circling arrows of an update over a database drum.
void DrawPicture(Canvas& canvas, const layout::Rect& r);
// The check mark on the dialog's button.
void DrawOkIcon(Canvas& canvas, int x, int y, int size);
// The tick inside a checked check box.
void DrawTick(Canvas& canvas, int x, int y, int size);

}  // namespace zepr::win32
