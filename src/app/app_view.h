#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/main_window.h"

namespace zepr {

// The application's title, also the caption of its default error report.
inline constexpr const char* kApplicationTitle = "ZEPR Nadogradnja aplikacije";

// A main window that can also run the program's event loop: the FLTK window or the
// headless view.
class AppView : public MainWindow {
 public:
  using MainWindow::MainWindow;

  // The window comes up, painted.
  virtual void Show() = 0;
  // Timer1: one shot after ms milliseconds.
  virtual void StartTimer(uint32_t ms, std::function<void()> fire) = 0;
  // Runs until the end is requested outside a handler (headless: until the timer's run
  // returns, since nobody could close a window that is not there).
  virtual void RunMessageLoop() = 0;

  // The application's default error report for an exception that no guard caught.
  void ShowException(const std::string& text) { ShowPoruka(kApplicationTitle, text); }
};

}  // namespace zepr
