#include "app/headless_view.h"

#include <fstream>
#include <sstream>

#include "core/encoding.h"
#include "core/path_text.h"
#include "core/text.h"

namespace zepr {

std::string EscapeLineBreaks(const std::string& text) {
  return ReplaceAll(ReplaceAll(text, "\r", "\\r"), "\n", "\\n");
}

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

void HeadlessView::Show() {
  shown_ = true;
  Print("header: " + EscapeLineBreaks(Header()));
  Print("type: " + EscapeLineBreaks(Label2()));
  Changed(Element::kStepList1);
  PrintCheckBoxes(true);
}

// On show, the visible boxes; later, every box whose state changed.
void HeadlessView::PrintCheckBoxes(bool initial) {
  for (int n = 1; n <= 3; ++n) {
    const auto& box = CheckBox(n);
    auto& printed = printed_boxes_[n - 1];
    const bool changed = box.caption != printed.caption || box.visible != printed.visible ||
                         box.checked != printed.checked;
    if (!initial && !changed) continue;
    if (!initial || box.visible) {
      Print("check " + std::to_string(n) + " " + (box.checked ? "on" : "off") + " " +
            (box.visible ? "shown" : "hidden") + ": " + box.caption);
    }
    printed = box;
  }
}

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

void HeadlessView::PrintList(StepList list) {
  const size_t index = list == StepList::kJvInstallLabel1 ? 0 : 1;
  const std::string name = index == 0 ? "steps" : "databases";
  const auto& lines = Lines(list);
  auto& printed = printed_lines_[index];
  bool same_texts = lines.size() >= printed.size();
  for (size_t i = 0; same_texts && i < printed.size(); ++i) {
    same_texts = lines[i].text == printed[i].text;
  }
  if (!same_texts || (printed.empty() && !lines.empty() && index == 0)) {
    std::vector<std::string> texts;
    for (const auto& l : lines) texts.push_back(l.text);
    Print(name + ": " + JoinLines(texts, " | "));
    printed.clear();
    for (const auto& l : lines) printed.push_back({l.text, -1, false});
  }
  for (size_t i = printed.size(); i < lines.size(); ++i) {
    if (index == 1) Print("database + " + lines[i].text);
    printed.push_back({lines[i].text, -1, false});
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].image == printed[i].image && lines[i].bold == printed[i].bold) continue;
    Print("mark " + name + " " + std::to_string(i) + " " + std::to_string(lines[i].image) + " " +
          (lines[i].bold ? "bold" : "plain") + ": " + lines[i].text);
    printed[i] = lines[i];
  }
}

void HeadlessView::Changed(Element what) {
  if (!shown_) return;
  switch (what) {
    case Element::kHeader:
      Print("header: " + EscapeLineBreaks(Header()));
      break;
    case Element::kLabel1:
      Print("status: " + EscapeLineBreaks(Label1()));
      break;
    case Element::kLabel2:
      Print("type: " + EscapeLineBreaks(Label2()));
      break;
    case Element::kStepList1:
      PrintList(StepList::kJvInstallLabel1);
      break;
    case Element::kStepList2:
      PrintList(StepList::kJvInstallLabel2);
      break;
    case Element::kCheckBoxes:
      PrintCheckBoxes(false);
      break;
    case Element::kCompletion:
      if (CompletionVisible()) Print("done: Instalacija završena.");
      break;
    case Element::kUrl:
      if (UrlVisible()) Print("url: " + Url());
      break;
    case Element::kPass:
    case Element::kProgress:
    case Element::kStatistics:
    case Element::kPlacement:
      break;
  }
}

void HeadlessView::ShowDialog(const std::string& title, const std::string& text) {
  Print("dialog: " + EscapeLineBreaks(title) + ": " + EscapeLineBreaks(text));
}

void HeadlessView::EndRequestedChanged() { Print("end"); }

}  // namespace zepr
