#include "app/window_transcript.h"

#include "core/run_log.h"
#include "core/text.h"

namespace zepr {

std::string EscapeLineBreaks(const std::string& text) {
  return ReplaceAll(ReplaceAll(text, "\r", "\\r"), "\n", "\\n");
}

void WindowTranscript::Shown(const MainWindow& window) {
  shown_ = true;
  print_("header: " + EscapeLineBreaks(window.Header()));
  if (style_ == Style::kHeadless || !window.Label2().empty())
    print_("type: " + EscapeLineBreaks(window.Label2()));
  Changed(window, Element::kStepList1);
  PrintCheckBoxes(window, true);
}

std::string WindowTranscript::Said(const std::string& text) const {
  return EscapeLineBreaks(style_ == Style::kLog ? runlog::Outside(text) : text);
}

// On show, the visible boxes; later, every box whose state changed.
void WindowTranscript::PrintCheckBoxes(const MainWindow& window, bool initial) {
  if (style_ == Style::kLog) return;
  for (int n = 1; n <= 3; ++n) {
    const auto& box = window.CheckBox(n);
    auto& printed = printed_boxes_[n - 1];
    const bool changed = box.caption != printed.caption || box.visible != printed.visible ||
                         box.checked != printed.checked;
    if (!initial && !changed) continue;
    if (!initial || box.visible) {
      print_("check " + std::to_string(n) + " " + (box.checked ? "on" : "off") + " " +
             (box.visible ? "shown" : "hidden") + ": " + box.caption);
    }
    printed = box;
  }
}

void WindowTranscript::PrintList(const MainWindow& window, StepList list) {
  const size_t index = list == StepList::kJvInstallLabel1 ? 0 : 1;
  const std::string name = index == 0 ? "steps" : "databases";
  const auto& lines = window.Lines(list);
  auto& printed = printed_lines_[index];
  bool same_texts = lines.size() >= printed.size();
  for (size_t i = 0; same_texts && i < printed.size(); ++i) {
    same_texts = lines[i].text == printed[i].text;
  }
  if (!same_texts || (printed.empty() && !lines.empty() && index == 0)) {
    std::vector<std::string> texts;
    for (const auto& l : lines) texts.push_back(l.text);
    print_(name + ": " + JoinLines(texts, " | "));
    printed.clear();
    for (const auto& l : lines) printed.push_back({l.text, -1, false});
  }
  for (size_t i = printed.size(); i < lines.size(); ++i) {
    if (index == 1) print_("database + " + lines[i].text);
    printed.push_back({lines[i].text, -1, false});
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].image == printed[i].image && lines[i].bold == printed[i].bold) continue;
    PrintMark(name, i, lines[i], printed[i]);
    printed[i] = lines[i];
  }
}

void WindowTranscript::PrintMark(const std::string& list, size_t line, const StepLine& now,
                                 const StepLine& before) {
  if (style_ == Style::kHeadless) {
    print_("mark " + list + " " + std::to_string(line) + " " + std::to_string(now.image) + " " +
           (now.bold ? "bold" : "plain") + ": " + now.text);
    return;
  }
  // The image says where the step stands; the rest is drawing.
  if (now.image == before.image) return;
  const char* state = now.image == 0   ? "u tijeku"
                      : now.image == 1 ? "završeno"
                      : now.image == 2 ? "neuspješno"
                                       : nullptr;
  if (state == nullptr) return;
  print_((list == "steps" ? "korak " : "stavka ") + now.text + ": " + state);
}

void WindowTranscript::Changed(const MainWindow& window, Element what) {
  if (!shown_) return;
  switch (what) {
    case Element::kHeader:
      print_("header: " + EscapeLineBreaks(window.Header()));
      break;
    case Element::kLabel1:
      if (style_ == Style::kHeadless || !window.Label1().empty())
        print_("status: " + Said(window.Label1()));
      break;
    case Element::kLabel2:
      if (style_ == Style::kHeadless || !window.Label2().empty())
        print_("type: " + EscapeLineBreaks(window.Label2()));
      break;
    case Element::kStepList1:
      PrintList(window, StepList::kJvInstallLabel1);
      break;
    case Element::kStepList2:
      PrintList(window, StepList::kJvInstallLabel2);
      break;
    case Element::kCheckBoxes:
      PrintCheckBoxes(window, false);
      break;
    case Element::kCompletion:
      if (window.CompletionVisible()) print_("done: Instalacija završena.");
      break;
    case Element::kUrl:
      if (window.UrlVisible()) print_("url: " + window.Url());
      break;
    case Element::kPass:
    case Element::kProgress:
    case Element::kStatistics:
    case Element::kPlacement:
      break;
  }
}

void WindowTranscript::Dialog(const std::string& title, const std::string& text) {
  print_("dialog: " + Said(title) + ": " + Said(text));
}

void WindowTranscript::End() { print_("end"); }

}  // namespace zepr
