#pragma once

#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/app_view.h"
#include "app/fltk/desktop_open.h"
#include "app/fltk/widgets.h"
#include "app/layout.h"

namespace zepr {

// TForm1: the borderless main window and its components at their design places.
class MainForm : public Fl_Double_Window {
 public:
  MainForm();

  Fl_Box Shape1;
  HeaderBand pNaslov;
  Fl_Box Panel1;
  PictureBox Image1;
  StepListBox JvInstallLabel1;
  Fl_Box p;
  Fl_Box Panel2;
  TextLabel Label3;
  TextLabel Label1;
  Fl_Box Panel3;
  ProgressBar Napredak;
  Fl_Box Panel4;
  // Captions and values of the statistics block, in the order Label8..Label11 of the model.
  TextLabel Label4;
  TextLabel Label8;
  TextLabel Label5;
  TextLabel Label9;
  TextLabel Label6;
  TextLabel Label10;
  TextLabel Label7;
  TextLabel Label11;
  Fl_Box Panel5;
  StepListBox JvInstallLabel2;
  TextLabel Label2;
  TextLabel lUspjesno;
  OptionBox CheckBox1;
  OptionBox CheckBox2;
  OptionBox CheckBox3;
  EditBox eURL;
  EditBox ePass;
};

// The FLTK view of the main window: draws the state of MainWindow and supplies the event
// loop, the timer and the message dialog.
class FltkView : public AppView {
 public:
  explicit FltkView(Clock& clock);
  ~FltkView() override;

  void ProcessMessages() override;
  void WaitMessages(uint32_t max_ms) override;
  void OpenErrorLog(const std::string& path) override;
  bool IsHeadless() const override { return false; }
  int OuterHeight() const override { return form_->h(); }

  void Show() override;
  void StartTimer(uint32_t ms, std::function<void()> fire) override;
  void RunMessageLoop() override;

  MainForm& Form() { return *form_; }

 protected:
  void Changed(Element what) override;
  void ShowDialog(const std::string& title, const std::string& text) override;
  void EndRequestedChanged() override;

 private:
  static int DispatchEvent(int event, Fl_Window* window);
  static void TimerFired(void* data);
  static void WakeLoop(void* data);
  // Keyboard preview: the window sees every key before its controls do. True when the key
  // was taken (Ctrl+P) and must not reach the control.
  bool PreviewKey();
  void Kriptajpassword1Click();
  void ePassDblClick();
  void ApplyPlacement();
  void RefreshAll();
  void RefreshStatistics();
  void RefreshCheckBoxes();

  std::unique_ptr<MainForm> form_;
  std::function<void()> timer_;
  bool in_timer_ = false;
  DetachedChildren children_;
};

}  // namespace zepr
