#pragma once

#include <FL/Enumerations.H>

#include <cstdint>

namespace zepr {

struct Rgb {
  uint8_t r;
  uint8_t g;
  uint8_t b;
  Fl_Color fl() const { return fl_rgb_color(r, g, b); }
};

// The window's light grey and the green of headers, completion text and progress.
inline constexpr Rgb kGrey{221, 221, 221};
inline constexpr Rgb kGreen{51, 167, 129};
inline constexpr Rgb kWhite{255, 255, 255};
inline constexpr Rgb kBlack{0, 0, 0};
// Thin separators on the grey panel.
inline constexpr Rgb kLineGrey{190, 190, 190};
// Step marks: three colours that cannot be mistaken for one another or for text.
inline constexpr Rgb kActiveMark{232, 140, 20};
inline constexpr Rgb kDoneMark{40, 160, 60};
inline constexpr Rgb kFailedMark{210, 35, 35};

}  // namespace zepr
