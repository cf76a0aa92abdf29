#pragma once

#include "app/layout.h"

namespace zepr {

// These draw into the current FLTK surface.
// An arrow, a check mark or a cross, centred in a square of the given size.
void DrawStepIcon(StepIcon icon, int x, int y, int size);
// Image1: a green panel with the circling arrows of an update over a database drum.
void DrawPicture(int x, int y, int w, int h);
// The check mark on the dialog's button.
void DrawOkIcon(int x, int y, int size);
// The tick inside a checked check box.
void DrawTick(int x, int y, int size);

}  // namespace zepr
