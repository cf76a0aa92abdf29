#include "app/layout.h"

#include <algorithm>

namespace zepr {

namespace layout {

Colour ProgressBlockColour(int t) {
  const auto mix = [t](uint8_t from, uint8_t to) {
    return static_cast<uint8_t>(from + (static_cast<int>(to) - from) * t / 255);
  };
  return {mix(190, kGreen.r), mix(230, kGreen.g), mix(215, kGreen.b)};
}

}  // namespace layout

StepIcon StepIconFor(int image) {
  switch (image) {
    case 0:
      return StepIcon::kActive;
    case 1:
      return StepIcon::kDone;
    case 2:
      return StepIcon::kFailed;
    default:
      return StepIcon::kNone;
  }
}

std::string DisplayText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

namespace {

bool ContinuesCharacter(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Length of the longest start of word, cut between characters, that fits the width; at least
// one character. Prefix widths grow with their length, so the search doubles its step until a
// start is too wide and then halves the gap.
size_t FittingStart(std::string_view word, int width, const TextWidthFn& text_width) {
  auto next = [&](size_t at) {
    do ++at;
    while (at < word.size() && ContinuesCharacter(word[at]));
    return at;
  };
  auto fits = [&](size_t length) {
    return static_cast<int>(text_width(word.substr(0, length))) <= width;
  };
  size_t good = next(0);  // always taken
  size_t step = 1;
  size_t bad = word.size() + 1;
  while (good < word.size()) {
    size_t probe = good;
    for (size_t i = 0; i < step && probe < word.size(); ++i) probe = next(probe);
    if (!fits(probe)) {
      bad = probe;
      break;
    }
    good = probe;
    step *= 2;
  }
  // Between good (fits) and bad (too wide): characters one by one from a halved gap.
  while (bad <= word.size()) {
    size_t count = 0;
    for (size_t at = good; at < bad; at = next(at)) ++count;
    if (count <= 1) break;
    size_t probe = good;
    for (size_t i = 0; i < count / 2; ++i) probe = next(probe);
    if (fits(probe)) {
      good = probe;
    } else {
      bad = probe;
    }
  }
  return good;
}

// One line of the text (no LF) wrapped. A blank run followed by a word is measured as one
// piece, and the line breaks before the piece that makes it too wide; the blanks at a break
// go. This is the toolkit's own rule, so ordinary text wraps exactly as before.
void WrapLine(std::string_view line, int width, const TextWidthFn& text_width, std::string& out) {
  std::string current;
  double current_width = 0;
  bool has_word = false;
  size_t at = 0;
  while (at < line.size()) {
    size_t word_start = line.find_first_not_of(' ', at);
    if (word_start == std::string_view::npos) {
      current += line.substr(at);  // trailing blanks stay, as the toolkit keeps them
      break;
    }
    size_t word_end = line.find(' ', word_start);
    if (word_end == std::string_view::npos) word_end = line.size();
    std::string_view piece = line.substr(at, word_end - at);
    double piece_width = text_width(piece);
    if (has_word && static_cast<int>(current_width + piece_width) > width) {
      out += current;
      out += '\n';
      current.clear();
      current_width = 0;
      piece = line.substr(word_start, word_end - word_start);
      piece_width = text_width(piece);
    }
    // A word too wide even alone on its line is cut; its last part goes on like a word.
    while (static_cast<int>(piece_width) > width && piece.size() > 1) {
      const size_t cut = FittingStart(piece, width, text_width);
      if (cut >= piece.size()) break;
      out += piece.substr(0, cut);
      out += '\n';
      piece.remove_prefix(cut);
      piece_width = text_width(piece);
    }
    current += piece;
    current_width += piece_width;
    has_word = true;
    at = word_end;
  }
  out += current;
}

}  // namespace

std::string WrapText(std::string_view text, int width, const TextWidthFn& text_width) {
  std::string out;
  out.reserve(text.size() + 16);
  size_t start = 0;
  while (true) {
    const size_t end = text.find('\n', start);
    WrapLine(
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start),
        width, text_width, out);
    if (end == std::string_view::npos) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

std::string PorukaLabelText(const std::string& text) { return DisplayText("\r\r" + text + "\r\r"); }

int PorukaHeight(const std::string& text, const TextHeightFn& measure) {
  return measure(PorukaLabelText(text), kPorukaTextWidth) + kPorukaExtraHeight;
}

std::string EditBoxText(std::string text) {
  const size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  return text;
}

}  // namespace zepr
