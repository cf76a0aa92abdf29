#pragma once

#include <string>
#include <vector>

#include "core/clock.h"
#include "core/main_window.h"

namespace zepr::testing {

// A window for unit tests: time is virtual (waiting advances the clock), dialogs are
// recorded and answered at once, and every status text is kept in order.
class FakeWindow : public MainWindow {
 public:
  struct Dialog {
    std::string title;
    std::string text;
  };

  explicit FakeWindow(VirtualClock& clock) : MainWindow(clock), virtual_clock_(clock) {}

  void ProcessMessages() override { ++processed_; }
  void WaitMessages(uint32_t max_ms) override {
    ++processed_;
    virtual_clock_.Advance(max_ms);
  }
  void OpenErrorLog(const std::string& path) override { opened_logs.push_back(path); }
  bool IsHeadless() const override { return true; }

  std::vector<Dialog> dialogs;
  std::vector<std::string> statuses;
  std::vector<std::string> opened_logs;
  int processed() const { return processed_; }

 protected:
  void ShowDialog(const std::string& title, const std::string& text) override {
    dialogs.push_back({title, text});
  }
  void Changed(Element what) override {
    if (what == Element::kLabel1) statuses.push_back(Label1());
  }

 private:
  VirtualClock& virtual_clock_;
  int processed_ = 0;
};

}  // namespace zepr::testing
