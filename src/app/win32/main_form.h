#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/app_view.h"
#include "app/layout.h"
#include "app/win32/canvas.h"

namespace zepr::win32 {

// TForm1 on Win32: a borderless window that draws the state of MainWindow at the layout's
// places with GDI, with two edit boxes (eURL, ePass) as child windows, and supplies the message
// loop, Timer1 and the message dialog.
class Win32View : public AppView {
 public:
  // Null when the window cannot be made.
  static std::unique_ptr<Win32View> Create(Clock& clock);
  ~Win32View() override;

  void ProcessMessages() override;
  void WaitMessages(uint32_t max_ms) override;
  void OpenErrorLog(const std::string& path) override;
  bool IsHeadless() const override { return false; }
  int OuterHeight() const override;

  void Show() override;
  void StartTimer(uint32_t ms, std::function<void()> fire) override;
  void RunMessageLoop() override;

  HWND Window() const { return window_; }

 protected:
  void Changed(Element what) override;
  void ShowDialog(const std::string& title, const std::string& text) override;
  void EndRequestedChanged() override;

 private:
  // What a click can land on.
  enum class Part { kNone, kHeader, kImage1, kCheckBox1, kCheckBox2, kCheckBox3 };

  explicit Win32View(Clock& clock);
  bool CreateWindows();
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK EditProc(HWND edit, UINT message, WPARAM wparam, LPARAM lparam,
                                   UINT_PTR id, DWORD_PTR view);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  // One message of any of our loops. Keyboard preview: the window sees every key before its
  // controls do.
  void Dispatch(MSG& msg);
  // FormKeyDown and the Ctrl+P shortcut; true when the key was taken and must go no further.
  bool KeyDown(WPARAM key);
  void Kriptajpassword1Click();
  void ePassDblClick();
  Part PartAt(LPARAM client_pos) const;
  void Click(Part part);

  void Paint(Canvas& canvas);
  void PaintStepList(Canvas& canvas, const layout::Rect& box, StepList list);
  void PaintStatusPanel(Canvas& canvas);
  void PaintCheckBox(Canvas& canvas, int number);
  void Invalidate(const layout::Rect& r);
  void RepaintNow();

  void ApplyPlacement();
  void ApplyDpi(UINT dpi);
  void PlaceEdits();
  void RefreshAll();
  std::string EditText(HWND edit) const;

  HWND window_ = nullptr;
  HWND eURL_ = nullptr;
  HWND ePass_ = nullptr;
  Scale scale_;
  FontCache fonts_;
  std::function<void()> timer_;
  Part pressed_ = Part::kNone;
  bool shown_ = false;
};

}  // namespace zepr::win32
