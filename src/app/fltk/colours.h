#pragma once

#include <FL/Enumerations.H>

#include <cstdint>

#include "app/layout.h"

namespace zepr {

// A colour of the shared layout as the toolkit takes it.
struct Rgb {
  uint8_t r;
  uint8_t g;
  uint8_t b;
  constexpr Rgb(uint8_t red, uint8_t green, uint8_t blue) : r(red), g(green), b(blue) {}
  constexpr Rgb(layout::Colour c) : r(c.r), g(c.g), b(c.b) {}  // NOLINT: implicit on purpose
  Fl_Color fl() const { return fl_rgb_color(r, g, b); }
};

inline constexpr Rgb kGrey = layout::kGrey;
inline constexpr Rgb kGreen = layout::kGreen;
inline constexpr Rgb kWhite = layout::kWhite;
inline constexpr Rgb kBlack = layout::kBlack;
inline constexpr Rgb kLineGrey = layout::kLineGrey;
inline constexpr Rgb kActiveMark = layout::kActiveMark;
inline constexpr Rgb kDoneMark = layout::kDoneMark;
inline constexpr Rgb kFailedMark = layout::kFailedMark;
inline constexpr Rgb kBoxFrame = layout::kBoxFrame;

}  // namespace zepr
