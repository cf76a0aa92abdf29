#include "core/main_window.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "core/errors.h"
#include "core/text.h"

namespace zepr {

MainWindow::MainWindow(Clock& clock) : clock_(clock) {
  lines_[0] = {};
  for (const auto& text : DesignTimeSteps()) lines_[0].push_back({text, -1, false});
  check_boxes_[0] = {"update (U)", false, false};
  check_boxes_[1] = {"obrisati skriptu (B)", false, true};
  check_boxes_[2] = {"izvršiti skriptu (S)", false, true};
}

std::vector<std::string> DesignTimeSteps() {
  return {"Spajam se na server...", "Prikupljam podatke za update...", "Skidam podatke...",
          "Instaliram skinute datoteke..."};
}

bool MainWindow::ShowPoruka(const std::string& title, const std::string& text) {
  if (end_requested_) return true;
  if (watcher_) watcher_->DialogShown(title, text);
  ShowDialog(title, text);
  return true;
}

void MainWindow::Notify(Element what) {
  Changed(what);
  if (watcher_) watcher_->Changed(*this, what);
}

void MainWindow::SetHeader(std::string caption) {
  header_ = std::move(caption);
  Notify(Element::kHeader);
}

void MainWindow::SetLabel1(std::string text) {
  label1_ = std::move(text);
  Notify(Element::kLabel1);
}

void MainWindow::SetLabel2(std::string text) {
  label2_ = std::move(text);
  Notify(Element::kLabel2);
}

std::vector<StepLine>& MainWindow::MutableLines(StepList list) {
  return lines_[list == StepList::kJvInstallLabel1 ? 0 : 1];
}

const std::vector<StepLine>& MainWindow::Lines(StepList list) const {
  return lines_[list == StepList::kJvInstallLabel1 ? 0 : 1];
}

static Element ListElement(StepList list) {
  return list == StepList::kJvInstallLabel1 ? Element::kStepList1 : Element::kStepList2;
}

void MainWindow::SetLines(StepList list, const std::vector<std::string>& texts) {
  auto& lines = MutableLines(list);
  lines.clear();
  for (const auto& t : texts) lines.push_back({t, -1, false});
  top_line_[list == StepList::kJvInstallLabel1 ? 0 : 1] = 0;
  Notify(ListElement(list));
}

void MainWindow::AddLine(StepList list, std::string text) {
  MutableLines(list).push_back({std::move(text), -1, false});
  Notify(ListElement(list));
}

void MainWindow::CheckLine(StepList list, int line) const {
  const auto& lines = Lines(list);
  if (line < 0 || line >= static_cast<int>(lines.size())) {
    throw UpdateError("List index out of bounds (" + std::to_string(line) + ")");
  }
}

void MainWindow::SetLineState(StepList list, int line, int image, bool bold) {
  CheckLine(list, line);
  auto& l = MutableLines(list)[line];
  l.image = image;
  l.bold = bold;
  Notify(ListElement(list));
}

void MainWindow::SetLineStateExclusive(StepList list, int line, int image, bool bold) {
  CheckLine(list, line);
  for (auto& l : MutableLines(list)) {
    l.image = -1;
    l.bold = false;
  }
  SetLineState(list, line, image, bold);
}

// Step 0 marks only the first line; step k marks line k active and k-1 with the image;
// a step past the end marks the last two lines with the image and leaves none bold.
void MainWindow::UpdateProg(StepList list, int step, int image) {
  const int count = static_cast<int>(Lines(list).size());
  if (step == 0) {
    SetLineStateExclusive(list, 0, 0, true);
  } else if (step < count) {
    SetLineState(list, step, 0, true);
    SetLineState(list, step - 1, image, false);
  } else {
    SetLineState(list, step - 1, image, false);
    SetLineState(list, step - 2, image, false);
  }
}

void MainWindow::SetTopLine(StepList list, int line) {
  top_line_[list == StepList::kJvInstallLabel1 ? 0 : 1] = line;
  Notify(ListElement(list));
}

int MainWindow::TopLine(StepList list) const {
  return top_line_[list == StepList::kJvInstallLabel1 ? 0 : 1];
}

void MainWindow::SetCheckBox(int number, CheckBoxState state) {
  check_boxes_.at(number - 1) = std::move(state);
  Notify(Element::kCheckBoxes);
}

const CheckBoxState& MainWindow::CheckBox(int number) const { return check_boxes_.at(number - 1); }

void MainWindow::SetChecked(int number, bool checked) {
  check_boxes_.at(number - 1).checked = checked;
  Notify(Element::kCheckBoxes);
}

void MainWindow::Toggle(int number) { SetChecked(number, !Checked(number)); }

void MainWindow::ShowCompletion() {
  completion_visible_ = true;
  Notify(Element::kCompletion);
}

void MainWindow::ShowFailedUrl(std::string url) {
  url_ = std::move(url);
  url_visible_ = true;
  Notify(Element::kUrl);
}

void MainWindow::SetProgressMax(int64_t max) {
  progress_max_ = max;
  Notify(Element::kProgress);
}

void MainWindow::SetProgress(int64_t position) {
  progress_ = position;
  Notify(Element::kProgress);
}

void MainWindow::SetStatisticsVisible(bool visible) {
  statistics_visible_ = visible;
  Notify(Element::kStatistics);
}

void MainWindow::SetNumberSeparators(NumberSeparators separators) {
  const NumberSeparators defaults;
  if (separators.thousands.empty()) separators.thousands = defaults.thousands;
  if (separators.decimal.empty()) separators.decimal = defaults.decimal;
  separators_ = std::move(separators);
}

void MainWindow::IdFTP1WorkBegin(int64_t /*expected*/) {
  transfer_start_ms_ = clock_.NowMs();
  statistics_ = {};
  Notify(Element::kStatistics);
}

void MainWindow::IdFTP1Work(int64_t bytes) {
  // Only the time-of-day part of the elapsed time counts, as a date-time difference would.
  const int64_t elapsed_ms = (clock_.NowMs() - transfer_start_ms_) % 86'400'000;
  const double seconds = static_cast<double>(elapsed_ms) / 1000.0;
  if (seconds > 0) {
    statistics_[1] = FormatFixed2(bytes / 1024.0 / seconds, separators_) + " Kb/s";
  }
  statistics_[2] = FormatGrouped2(progress_max_ / 1024.0, separators_) + " Kb";
  statistics_[0] = FormatElapsed(elapsed_ms);
  statistics_[3] = FormatGrouped2(bytes / 1024.0, separators_) + " Kb";
  Notify(Element::kStatistics);
  SetProgress(bytes);
  ProcessMessages();
}

void MainWindow::IdFTP1WorkEnd() {
  statistics_ = {};
  Notify(Element::kStatistics);
}

void MainWindow::SetPass(std::string text) {
  pass_ = std::move(text);
  Notify(Element::kPass);
}

void MainWindow::ShowPass() {
  pass_visible_ = true;
  Notify(Element::kPass);
}

void MainWindow::FormKeyDown(int key) {
  switch (key) {
    case 27:
      RequestEnd();
      break;
    case 'U':
    case 'u':
      Toggle(1);
      break;
    case 'S':
    case 's':
    case 'L':
    case 'l':
      Toggle(3);
      break;
    case 'B':
    case 'b':
      Toggle(2);
      break;
    default:
      break;
  }
}

void MainWindow::pNaslovClick() {
  std::string text;
  for (size_t n = 1; n <= 10; ++n) {
    text += "Param" + std::to_string(n) + ": ";
    if (n <= command_line_.size()) text += command_line_[n - 1];
    text += '\r';
  }
  // The dialog shows "&&" as one ampersand, as the original label did; ours shows text
  // literally, so "7890+" becomes a single "&".
  text = ReplaceAll(text, "7890+", "&");
  text = ReplaceAll(text, "7891+", ",");
  text = ReplaceAll(text, "7892+", "\"");
  text = ReplaceAll(text, "7893+", "%");
  ShowPoruka("Parametri", text);
}

void MainWindow::PlaceCentred() {
  placement_ = {true, 0, 0};
  Notify(Element::kPlacement);
}

void MainWindow::PlaceAt(int left, int top) {
  placement_ = {false, left, top};
  Notify(Element::kPlacement);
}

void MainWindow::RequestEnd() {
  if (end_requested_) return;
  end_requested_ = true;
  if (watcher_) watcher_->EndRequested();
  EndRequestedChanged();
}

namespace {

// Digits, point and sign of the value rounded to two decimals, whatever the process locale.
std::string Fixed2Digits(double value) {
  char buf[400];  // room for the largest double in fixed notation
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
  return std::string(buf, result.ptr);
}

}  // namespace

std::string FormatFixed2(double value, const NumberSeparators& separators) {
  std::string fixed = Fixed2Digits(value);
  const size_t point = fixed.find('.');
  if (point == std::string::npos) return fixed;  // inf, nan
  return fixed.replace(point, 1, separators.decimal);
}

std::string FormatGrouped2(double value, const NumberSeparators& separators) {
  const std::string fixed = Fixed2Digits(std::fabs(value));
  const size_t point = fixed.find('.');
  if (point == std::string::npos) return fixed;
  const std::string_view int_part(fixed.data(), point);
  std::string grouped;
  const size_t n = int_part.size();
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) grouped += separators.thousands;
    grouped += int_part[i];
  }
  const bool negative = value < 0 && fixed != "0.00";
  return (negative ? "-" : "") + grouped + separators.decimal + fixed.substr(point + 1);
}

std::string FormatElapsed(int64_t ms) {
  const int64_t total = ms / 1000;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                static_cast<long long>(total / 60 % 60), static_cast<long long>(total % 60));
  return buf;
}

}  // namespace zepr
