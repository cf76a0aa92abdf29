#pragma once

#include <functional>
#include <string>

class Fl_Window;

namespace zepr {

// Layout of the message dialog (TFrmPoruka).
inline constexpr int kPorukaWidth = 497;
inline constexpr int kPorukaTitleHeight = 39;
inline constexpr int kPorukaSpacerHeight = 5;
inline constexpr int kPorukaButtonLeft = 117;
inline constexpr int kPorukaButtonTop = 6;
inline constexpr int kPorukaButtonWidth = 277;
inline constexpr int kPorukaButtonHeight = 29;
// Room for the title band, the spacer and the button panel below the text.
inline constexpr int kPorukaExtraHeight = 130;
// The text wraps a little inside the dialog's width.
inline constexpr int kPorukaTextWidth = kPorukaWidth - 16;

// The label's text: two line breaks above and two below the message, in the toolkit's form.
std::string PorukaLabelText(const std::string& text);

// Height of the label's text wrapped at a width, as the toolkit measures it.
using TextHeightFn = std::function<int(const std::string& text, int width)>;

// Dialog height: the label's height for the framed text plus the fixed part.
int PorukaHeight(const std::string& text, const TextHeightFn& measure);

// Shows the dialog modally, centred over owner (or the screen), until the button, Esc or the
// close box closes it.
void ShowPorukaDialog(Fl_Window* owner, const std::string& title, const std::string& text);

}  // namespace zepr
