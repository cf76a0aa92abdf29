#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "app/app_view.h"
#include "app/window_transcript.h"

namespace zepr {

// The view used when no display can be opened. Every visible change becomes one line on the
// output, UTF-8, in this stable format (a CR inside a text is written as the two characters
// "\r"):
//   header: <header text>          type: <Label2>
//   steps: <line> | <line> ...      the step list was filled (databases: for the second list)
//   mark steps <n> <image> <bold|plain>: <text>   a line's image or style changed
//   database + <text>               a line was added to the database list
//   check <n> <on|off> <shown|hidden>: <caption>
//   status: <Label1>
//   dialog: <title>: <text>         answered at once, as if "U redu" were pressed
//   done: Instalacija završena.
//   url: <eURL>
//   log: <path>, then "log| <line>" for each line of the error log
//   end                             the end of the program was requested
class HeadlessView : public AppView {
 public:
  HeadlessView(Clock& clock, std::ostream& out);

  void ProcessMessages() override {}
  void WaitMessages(uint32_t max_ms) override;
  void OpenErrorLog(const std::string& path) override;
  bool IsHeadless() const override { return true; }

  void Show() override;
  void StartTimer(uint32_t ms, std::function<void()> fire) override;
  void RunMessageLoop() override;

 protected:
  void Changed(Element what) override;
  void ShowDialog(const std::string& title, const std::string& text) override;
  void EndRequestedChanged() override;

 private:
  void Print(const std::string& line);

  std::ostream& out_;
  WindowTranscript transcript_{[this](const std::string& line) { Print(line); }};
  uint32_t timer_ms_ = 0;
  std::function<void()> timer_;
};

}  // namespace zepr
