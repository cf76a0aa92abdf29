#include "app/headless_view.h"

#include <fstream>
#include <sstream>

#include "core/encoding.h"
#include "core/path_text.h"
#include "core/text.h"

namespace zepr {

HeadlessView::HeadlessView(Clock& clock, std::ostream& out) : AppView(clock), out_(out) {}

void HeadlessView::Print(const std::string& line) {
  out_ << line << '\n';
  out_.flush();
}

void HeadlessView::WaitMessages(uint32_t max_ms) { clock().Sleep(max_ms); }

void HeadlessView::OpenErrorLog(const std::string& path) {
  Print("log: " + path);
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Print("log| " + Cp1250ToUtf8(line));
  }
}

void HeadlessView::Show() { transcript_.Shown(*this); }

void HeadlessView::StartTimer(uint32_t ms, std::function<void()> fire) {
  timer_ms_ = ms;
  timer_ = std::move(fire);
}

void HeadlessView::RunMessageLoop() {
  if (EndRequested() || !timer_) return;
  WaitMessages(timer_ms_);
  auto fire = std::move(timer_);
  fire();
}

void HeadlessView::Changed(Element what) { transcript_.Changed(*this, what); }

void HeadlessView::ShowDialog(const std::string& title, const std::string& text) {
  transcript_.Dialog(title, text);
}

void HeadlessView::EndRequestedChanged() { transcript_.End(); }

}  // namespace zepr
