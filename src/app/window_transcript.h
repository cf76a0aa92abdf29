#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "core/main_window.h"

namespace zepr {

// The window's visible changes as stable lines, for the headless output and for the run log's
// copy of what the window showed. The format is the headless output's (see headless_view.h).
class WindowTranscript {
 public:
  enum class Style {
    kHeadless,  // every change, as drawn
    // What the window says, for an operator: no check boxes, a step's state in words ("korak
    // <text>: u tijeku|završeno|neuspješno", "stavka ..." in the second list), no empty status,
    // and the text from outside in status lines and dialogs searched for secrets.
    kLog,
  };
  explicit WindowTranscript(std::function<void(const std::string&)> print,
                            Style style = Style::kHeadless)
      : print_(std::move(print)), style_(style) {}

  // The visible state when the window is shown; nothing is written before.
  void Shown(const MainWindow& window);
  // What changed since.
  void Changed(const MainWindow& window, Element what);
  void Dialog(const std::string& title, const std::string& text);
  void End();

 private:
  void PrintList(const MainWindow& window, StepList list);
  void PrintCheckBoxes(const MainWindow& window, bool initial);
  void PrintMark(const std::string& list, size_t line, const StepLine& now, const StepLine& before);
  // A text that may hold text from outside.
  std::string Said(const std::string& text) const;

  std::function<void(const std::string&)> print_;
  Style style_;
  bool shown_ = false;
  // What was printed last, to print only differences.
  std::array<std::vector<StepLine>, 2> printed_lines_;
  std::array<CheckBoxState, 3> printed_boxes_;
};

// "\r" for every CR, "\n" for every LF.
std::string EscapeLineBreaks(const std::string& text);

}  // namespace zepr
