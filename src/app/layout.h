#pragma once

// The look of the main window and of the message dialog, shared by every toolkit that draws
// them: places, colours, font sizes, fixed texts, and the text rules of their labels.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace zepr {

namespace layout {

struct Colour {
  uint8_t r;
  uint8_t g;
  uint8_t b;
};

// The window's light grey and the green of headers, completion text and progress.
inline constexpr Colour kGrey{221, 221, 221};
inline constexpr Colour kGreen{51, 167, 129};
inline constexpr Colour kWhite{255, 255, 255};
inline constexpr Colour kBlack{0, 0, 0};
// Thin separators on the grey panel.
inline constexpr Colour kLineGrey{190, 190, 190};
// Step marks: three colours that cannot be mistaken for one another or for text.
inline constexpr Colour kActiveMark{232, 140, 20};
inline constexpr Colour kDoneMark{40, 160, 60};
inline constexpr Colour kFailedMark{210, 35, 35};
// The frame of a check box's square and a pressed button.
inline constexpr Colour kBoxFrame{110, 110, 110};
inline constexpr Colour kPressed{235, 235, 235};
// Image1: the green fades to this at the bottom, crossed by lighter bands; the drum.
inline constexpr Colour kPictureBottom{18, 84, 66};
inline constexpr Colour kPictureBand{70, 180, 145};
inline constexpr Colour kDrumBody{235, 245, 240};
inline constexpr Colour kDrumTop{200, 230, 215};

// The progress bar's block colour at t (0 at the left end of the bar, 255 at the right).
Colour ProgressBlockColour(int t);

struct Rect {
  int x;
  int y;
  int w;
  int h;
  constexpr bool Contains(int px, int py) const {
    return px >= x && px < x + w && py >= y && py < y + h;
  }
};

inline constexpr const char* kDesignCaption = "ZEPR nadogradnja aplikacije";
inline constexpr int kWidth = 583;
inline constexpr int kHeight = 366;

// Window parts, client coordinates. Font sizes are pixel heights of the em box.
inline constexpr Rect kHeader{0, 0, kWidth, 49};  // pNaslov
inline constexpr int kHeaderFontSize = 25;
inline constexpr Rect kPanel1{0, 49, kWidth, 2};
inline constexpr Rect kShape1{0, 51, kWidth, kHeight - 51};
inline constexpr Rect kImage1{9, 60, 170, 300};
inline constexpr Rect kJvInstallLabel1{183, 60, 386, 80};
// The status panel p and what it holds.
inline constexpr Rect kP{183, 153, 387, 156};
inline constexpr Rect kPanel2{kP.x, kP.y, kP.w, 40};  // the white status band
inline constexpr int kRowH = 16;
inline constexpr Rect kLabel3{kP.x + 4, kP.y + 4, 56, kRowH};
inline constexpr Rect kLabel1{kP.x + 62, kP.y + 1, 322, 39};
inline constexpr Rect kPanel3{kP.x, kP.y + 40, kP.w, 1};
inline constexpr Rect kNapredak{kP.x, kP.y + 46, kP.w, 18};
inline constexpr Rect kPanel4{kP.x, kP.y + 69, kP.w, 1};
inline constexpr Rect kPanel5{kP.x, kP.y + 148, kP.w, 1};
// Statistics rows, from the top of p, in the model's order Label8..Label11: elapsed time,
// speed, total, transferred. Captions on the left, values on the right, both right-aligned.
inline constexpr int kStatisticsRowTop[4] = {78, 126, 94, 110};
inline constexpr const char* kStatisticsCaption[4] = {
    "Ukupno vrijeme :", "Brzina prijenosa :", "Ukupno za prenijeti :", "Preneseno :"};
inline constexpr int kCaptionX = kP.x + 5;
inline constexpr int kCaptionW = 170;
inline constexpr int kValueX = kP.x + 180;
inline constexpr int kValueW = 140;
inline constexpr Rect StatisticsCaption(int i) {
  return {kCaptionX, kP.y + kStatisticsRowTop[i], kCaptionW, kRowH};
}
inline constexpr Rect StatisticsValue(int i) {
  return {kValueX, kP.y + kStatisticsRowTop[i], kValueW, kRowH};
}
// The database list is parked outside the visible area.
inline constexpr Rect kJvInstallLabel2{kP.x + 1000, kP.y, 386, 5000};
inline constexpr Rect kLabel2{184, 310, 387, 38};
inline constexpr int kLabel2FontSize = 13;
inline constexpr Rect kLUspjesno{268, 318, 227, 28};
inline constexpr int kLUspjesnoFontSize = 25;
inline constexpr Rect kCheckBox[3] = {{500, 31, 75, 17}, {453, 17, 122, 17}, {458, 3, 117, 17}};
inline constexpr Rect kEUrl{179, 14, 254, 24};
inline constexpr Rect kEPass{9, 334, 170, 22};
inline constexpr int kEditFontSize = 12;
// Labels, captions and values; captions and Label1 bold.
inline constexpr int kLabelFontSize = 11;

inline constexpr const char* kStatusCaption = "Status :";
inline constexpr const char* kProgressCaption = "Napredak";
inline constexpr const char* kCompletionText = "Instalacija završena.";

// Step lists: a mark in the first kTextOffset pixels of a line, the text after it.
inline constexpr int kStepIconSize = 16;
inline constexpr int kStepTextOffset = 28;
inline constexpr int kStepLineSpacing = 3;
inline constexpr int kStepFontSize = 13;
// A step line's top relative to its list, for a line pitch (font height + spacing).
constexpr int StepLineTop(int line, int pitch) { return 2 + line * pitch; }

// Check boxes: the square at the right end, the caption to its left.
inline constexpr int kCheckBoxSize = 13;
inline constexpr int kCheckBoxFontSize = 11;
constexpr Rect CheckSquare(const Rect& box) {
  return {box.x + box.w - kCheckBoxSize - 1, box.y + (box.h - kCheckBoxSize) / 2, kCheckBoxSize,
          kCheckBoxSize};
}

// Progress bar blocks.
inline constexpr int kProgressBlock = 8;
inline constexpr int kProgressGap = 2;

// The message dialog's caption and its button.
inline constexpr const char* kPorukaCaption = "Update";
inline constexpr const char* kPorukaButtonText = "U redu";
inline constexpr int kPorukaFontSize = 11;  // bold
inline constexpr int kPorukaButtonFontSize = 12;
inline constexpr int kPorukaButtonIconSize = 18;

}  // namespace layout

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

// The pictures of the step images: 0 the step in progress, 1 done, 2 failed.
enum class StepIcon { kNone, kActive, kDone, kFailed };

// Any index other than 0, 1, 2 shows no picture (the list's default is -1).
StepIcon StepIconFor(int image);

// The system breaks lines with a lone CR; the toolkits with LF. CR LF counts as one break.
std::string DisplayText(std::string_view text);

// Width of a piece of text, in pixels.
using TextWidthFn = std::function<double(std::string_view text)>;

// Breaks the lines of text (LF) so that each fits the width: at blanks, as the toolkit wraps
// words, and inside a word too wide for a line of its own (a URL, a path), which starts a new
// line and is cut after its last character that still fits. Breaks never split a UTF-8
// character; a line keeps at least one character however narrow the width.
std::string WrapText(std::string_view text, int width, const TextWidthFn& text_width);

// The label's text: two line breaks above and two below the message, in the toolkit's form.
std::string PorukaLabelText(const std::string& text);

// Height of the label's text wrapped at a width, as the toolkit measures it.
using TextHeightFn = std::function<int(const std::string& text, int width)>;

// Dialog height: the label's height for the framed text plus the fixed part.
int PorukaHeight(const std::string& text, const TextHeightFn& measure);

// The text an edit box holds after a text is put into it: it ends at the first zero byte.
std::string EditBoxText(std::string text);

}  // namespace zepr
