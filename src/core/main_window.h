#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"

namespace zepr {

// The two step lists of the window.
enum class StepList {
  kJvInstallLabel1,  // the run's steps
  kJvInstallLabel2,  // the databases of a type 7 run, and the SQL runner's scripts
};

struct StepLine {
  std::string text;
  int image = -1;  // 0 active, 1 done, 2 failed, -1 none
  bool bold = false;
};

struct CheckBoxState {
  std::string caption;
  bool visible = false;
  bool checked = false;
};

// Where the window stands on the screen.
struct Placement {
  bool centred = true;
  int left = 0;
  int top = 0;
};

// The separators the statistics are written with. The defaults are those of the C locale,
// whose empty grouping separator the program always wrote as a comma.
struct NumberSeparators {
  std::string thousands = ",";
  std::string decimal = ".";
};

// What changed, so a view repaints only that.
enum class Element {
  kHeader,      // pNaslov
  kLabel1,      // status text
  kLabel2,      // "tip: N"
  kStepList1,   // JvInstallLabel1
  kStepList2,   // JvInstallLabel2
  kCheckBoxes,  // CheckBox1..3
  kCompletion,  // lUspjesno
  kUrl,         // eURL
  kPass,        // ePass
  kProgress,    // Napredak
  kStatistics,  // Label8..Label11 and the visibility of the statistics block
  kPlacement,
};

class MainWindow;

// Follows every change of the window besides its view (the run log keeps what it showed).
class WindowWatcher {
 public:
  virtual ~WindowWatcher() = default;
  virtual void Changed(const MainWindow& window, Element what) = 0;
  virtual void DialogShown(const std::string& title, const std::string& text) = 0;
  virtual void EndRequested() = 0;
};

// Everything the run and the subsystems read or write on the main window. The state lives
// here once; a view (FLTK window, headless printer, test fake) only draws it and supplies
// message processing, waiting and dialogs.
class MainWindow {
 public:
  static constexpr int kWidth = 583;
  static constexpr int kHeight = 366;

  explicit MainWindow(Clock& clock);
  virtual ~MainWindow() = default;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // --- view services -------------------------------------------------------------------
  // Lets pending window messages run (repaint, keys), without blocking.
  virtual void ProcessMessages() = 0;
  // Blocks until a message arrives or max_ms pass, and handles what arrived.
  virtual void WaitMessages(uint32_t max_ms) = 0;
  // Opens the SQL error log for the operator (ShowErrorLog).
  virtual void OpenErrorLog(const std::string& path) = 0;
  // Whether the window is a real one on a display.
  virtual bool IsHeadless() const = 0;

  // The one message routine: modal dialog with the single button "U redu"; always true.
  // A dialog opened after the end of the program was requested returns at once.
  bool ShowPoruka(const std::string& title, const std::string& text);

  // --- header, status, type line --------------------------------------------------------
  void SetHeader(std::string caption);  // pNaslov
  const std::string& Header() const { return header_; }
  // Label1; repainted at once.
  void SetLabel1(std::string text);
  const std::string& Label1() const { return label1_; }
  void SetLabel2(std::string text);
  const std::string& Label2() const { return label2_; }

  // --- step lists -----------------------------------------------------------------------
  void SetLines(StepList list, const std::vector<std::string>& texts);
  void AddLine(StepList list, std::string text);
  const std::vector<StepLine>& Lines(StepList list) const;
  // Both raise UpdateError for a line outside 0 .. count-1.
  void SetLineState(StepList list, int line, int image, bool bold);
  void SetLineStateExclusive(StepList list, int line, int image, bool bold);
  // Step k begins, step k-1 gets the image (see the three cases in the .cpp).
  void UpdateProg(StepList list, int step, int image);
  // First visible line of a list (the database list scrolls).
  void SetTopLine(StepList list, int line);
  int TopLine(StepList list) const;

  // --- operator check boxes (1..3) --------------------------------------------------------
  void SetCheckBox(int number, CheckBoxState state);
  const CheckBoxState& CheckBox(int number) const;
  bool Checked(int number) const { return CheckBox(number).checked; }
  void SetChecked(int number, bool checked);
  void Toggle(int number);

  // --- outcome ----------------------------------------------------------------------------
  void ShowCompletion();  // lUspjesno "Instalacija završena."
  bool CompletionVisible() const { return completion_visible_; }
  void ShowFailedUrl(std::string url);  // eURL made visible with the address
  const std::string& Url() const { return url_; }
  bool UrlVisible() const { return url_visible_; }
  // Image1 click: manual mode for the rest of the process.
  void Image1Click() { image1_tag_ = 1; }
  bool ManualMode() const { return image1_tag_ == 1; }

  // --- progress bar and transfer statistics ----------------------------------------------
  void SetProgressMax(int64_t max);
  int64_t ProgressMax() const { return progress_max_; }
  void SetProgress(int64_t position);
  int64_t Progress() const { return progress_; }
  void SetStatisticsVisible(bool visible);
  bool StatisticsVisible() const { return statistics_visible_; }
  void IdFTP1WorkBegin(int64_t expected);
  void IdFTP1Work(int64_t bytes);
  void IdFTP1WorkEnd();
  // Label8 (elapsed), Label9 (speed), Label10 (total), Label11 (transferred).
  const std::array<std::string, 4>& Statistics() const { return statistics_; }
  // The user's separators, read once at start-up; the next statistics are written with them.
  // An empty one keeps its default.
  void SetNumberSeparators(NumberSeparators separators);

  // --- hidden password tool ----------------------------------------------------------------
  void SetPass(std::string text);
  const std::string& Pass() const { return pass_; }
  void ShowPass();
  bool PassVisible() const { return pass_visible_; }

  // --- operator input ----------------------------------------------------------------------
  // Esc, U, S/L, B; modifiers are not looked at, hidden boxes toggle too.
  void FormKeyDown(int key);
  // Shows the ten command-line parameters.
  void pNaslovClick();
  void SetCommandLine(std::vector<std::string> params) { command_line_ = std::move(params); }

  // --- placement ---------------------------------------------------------------------------
  void PlaceCentred();
  void PlaceAt(int left, int top);
  const Placement& GetPlacement() const { return placement_; }
  virtual int OuterHeight() const { return kHeight; }

  // --- ending ------------------------------------------------------------------------------
  // Asks the program to end; the statements after the request still run.
  void RequestEnd();
  bool EndRequested() const { return end_requested_; }

  Clock& clock() { return clock_; }
  // One watcher at most; nullptr for none.
  void SetWatcher(WindowWatcher* watcher) { watcher_ = watcher; }

 protected:
  // Called after every change of state; views repaint what changed.
  virtual void Changed(Element /*what*/) {}
  // The modal dialog itself; the view frames the text.
  virtual void ShowDialog(const std::string& title, const std::string& text) = 0;
  // The end was requested (views without an event loop may note it).
  virtual void EndRequestedChanged() {}

 private:
  // Tells the view and the watcher.
  void Notify(Element what);
  std::vector<StepLine>& MutableLines(StepList list);
  void CheckLine(StepList list, int line) const;

  Clock& clock_;
  WindowWatcher* watcher_ = nullptr;
  std::string header_ = " >Naslov forme";
  std::string label1_;
  std::string label2_;
  std::array<std::vector<StepLine>, 2> lines_;
  std::array<int, 2> top_line_{0, 0};
  std::array<CheckBoxState, 3> check_boxes_;
  bool completion_visible_ = false;
  std::string url_;
  bool url_visible_ = false;
  int image1_tag_ = 0;
  int64_t progress_max_ = 100;
  int64_t progress_ = 0;
  bool statistics_visible_ = true;
  std::array<std::string, 4> statistics_;
  NumberSeparators separators_;
  int64_t transfer_start_ms_ = 0;
  std::string pass_;
  bool pass_visible_ = false;
  std::vector<std::string> command_line_;
  Placement placement_;
  bool end_requested_ = false;
};

// The design-time lines of the step list (type 1 and undefined types keep them).
std::vector<std::string> DesignTimeSteps();

// Numeric picture formats of the statistics, "0.00" and "#,##0.00", with the given separators
// (by default comma grouping and point decimals); groups of three digits.
std::string FormatFixed2(double value, const NumberSeparators& separators = {});
std::string FormatGrouped2(double value, const NumberSeparators& separators = {});
// Elapsed time as the long time format H:mm:ss.
std::string FormatElapsed(int64_t ms);

}  // namespace zepr
