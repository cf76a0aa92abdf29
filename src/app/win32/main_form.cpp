#include "app/win32/main_form.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <filesystem>

#include "app/win32/artwork.h"
#include "app/win32/poruka_dialog.h"
#include "config/password_scramble.h"
#include "platform/win32/wide.h"

namespace zepr::win32 {

namespace {

constexpr wchar_t kClassName[] = L"ZEPRUpdate";
constexpr UINT_PTR kTimer1 = 1;
constexpr UINT_PTR kEditSubclass = 1;
// Borderless: no caption, no frame, and the window manager under Wine adds none either.
constexpr DWORD kStyle = WS_POPUP | WS_CLIPCHILDREN;

constexpr FontStyle kLabelFont{layout::kLabelFontSize, true};
constexpr FontStyle kValueFont{layout::kLabelFontSize, false};

int Width(const Scale& scale) { return scale.Px(layout::kWidth); }
int Height(const Scale& scale) { return scale.Px(layout::kHeight); }

}  // namespace

Win32View::Win32View(Clock& clock) : AppView(clock) {}

std::unique_ptr<Win32View> Win32View::Create(Clock& clock) {
  std::unique_ptr<Win32View> view(new Win32View(clock));
  if (!view->CreateWindows()) return nullptr;
  return view;
}

bool Win32View::CreateWindows() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  static const bool registered = [instance] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Win32View::WindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));  // the program's icon resource
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc) != 0;
  }();
  if (!registered) return false;
  scale_ = Scale(WindowDpi(nullptr));
  window_ =
      CreateWindowExW(0, kClassName, platform::Utf8ToWide(layout::kDesignCaption).c_str(), kStyle,
                      0, 0, Width(scale_), Height(scale_), nullptr, nullptr, instance, this);
  if (!window_) return false;
  for (HWND* edit : {&eURL_, &ePass_}) {
    *edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | ES_AUTOHSCROLL, 0, 0, 0, 0,
                            window_, nullptr, instance, nullptr);
    if (!*edit) return false;
    SetWindowSubclass(*edit, &Win32View::EditProc, kEditSubclass,
                      reinterpret_cast<DWORD_PTR>(this));
  }
  // The window may stand on a monitor of another DPI than the system's.
  ApplyDpi(WindowDpi(window_));
  RefreshAll();
  return true;
}

Win32View::~Win32View() {
  if (!window_) return;
  KillTimer(window_, kTimer1);
  for (HWND edit : {eURL_, ePass_}) {
    if (edit) RemoveWindowSubclass(edit, &Win32View::EditProc, kEditSubclass);
  }
  SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  DestroyWindow(window_);
}

LRESULT CALLBACK Win32View::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    auto* view = static_cast<Win32View*>(create->lpCreateParams);
    view->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(view));
  }
  auto* view = reinterpret_cast<Win32View*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!view) return DefWindowProcW(window, message, wparam, lparam);
  return view->Handle(message, wparam, lparam);
}

LRESULT CALLBACK Win32View::EditProc(HWND edit, UINT message, WPARAM wparam, LPARAM lparam,
                                     UINT_PTR /*id*/, DWORD_PTR view) {
  if (message == WM_LBUTTONDBLCLK) {
    const LRESULT result = DefSubclassProc(edit, message, wparam, lparam);
    reinterpret_cast<Win32View*>(view)->ePassDblClick();
    return result;
  }
  return DefSubclassProc(edit, message, wparam, lparam);
}

LRESULT Win32View::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAINT:
      PaintBuffered(window_, scale_, fonts_, [this](Canvas& canvas) { Paint(canvas); });
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_TIMER:
      if (wparam == kTimer1) {
        // Timer1 switches itself off before the run, so the run never starts twice.
        KillTimer(window_, kTimer1);
        auto fire = std::move(timer_);
        timer_ = nullptr;
        if (fire) fire();
        return 0;
      }
      break;
    case WM_KEYDOWN:
      KeyDown(wparam);
      return 0;
    case WM_SYSKEYDOWN:
      // Modifiers are not looked at; Alt+F4 still closes by the system's default.
      KeyDown(wparam);
      break;
    case WM_CLOSE:
      // Closing asks for the end of the program; the window stays until the run returns.
      RequestEnd();
      return 0;
    case WM_SETCURSOR:
      if (LOWORD(lparam) == HTCLIENT && reinterpret_cast<HWND>(wparam) == window_) {
        POINT pos;
        GetCursorPos(&pos);
        ScreenToClient(window_, &pos);
        const Part part = PartAt(MAKELPARAM(pos.x, pos.y));
        if (part == Part::kHeader || part == Part::kImage1) {
          SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
          return TRUE;
        }
      }
      break;
    case WM_LBUTTONDOWN:
      pressed_ = PartAt(lparam);
      if (pressed_ != Part::kNone) SetCapture(window_);
      return 0;
    case WM_LBUTTONUP: {
      // A click lands on release over the part it began on, as a button's would.
      const Part pressed = pressed_;
      pressed_ = Part::kNone;
      if (GetCapture() == window_) ReleaseCapture();
      if (pressed != Part::kNone && PartAt(lparam) == pressed) Click(pressed);
      return 0;
    }
    case WM_COMMAND:
      if (reinterpret_cast<HWND>(lparam) == ePass_ && HIWORD(wparam) == EN_CHANGE) {
        SetPass(EditText(ePass_));
      }
      return 0;
    case WM_DPICHANGED: {
      ApplyDpi(HIWORD(wparam));
      const auto* suggested = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(window_, nullptr, suggested->left, suggested->top, Width(scale_), Height(scale_),
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(window_, message, wparam, lparam);
}

void Win32View::Dispatch(MSG& msg) {
  if ((msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) && msg.hwnd != window_ &&
      IsChild(window_, msg.hwnd) && KeyDown(msg.wParam)) {
    return;
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

bool Win32View::KeyDown(WPARAM key) {
  if (key == 'P' && GetKeyState(VK_CONTROL) < 0) {
    Kriptajpassword1Click();
    return true;
  }
  if (key == VK_ESCAPE) {
    FormKeyDown(27);
  } else if ((key >= 'A' && key <= 'Z') || (key >= '0' && key <= '9')) {
    FormKeyDown(static_cast<int>(key));
  }
  return false;
}

void Win32View::Kriptajpassword1Click() {
  ShowPass();
  SetFocus(ePass_);
}

void Win32View::ePassDblClick() { SetPass(EditBoxText(ePassDblClickText(EditText(ePass_)))); }

Win32View::Part Win32View::PartAt(LPARAM client_pos) const {
  const int x = scale_.Logical(static_cast<short>(LOWORD(client_pos)));
  const int y = scale_.Logical(static_cast<short>(HIWORD(client_pos)));
  // The shown check boxes lie over the header band.
  for (int n = 1; n <= 3; ++n) {
    if (CheckBox(n).visible && layout::kCheckBox[n - 1].Contains(x, y)) {
      return static_cast<Part>(static_cast<int>(Part::kCheckBox1) + n - 1);
    }
  }
  if (layout::kHeader.Contains(x, y)) return Part::kHeader;
  if (layout::kImage1.Contains(x, y)) return Part::kImage1;
  return Part::kNone;
}

void Win32View::Click(Part part) {
  switch (part) {
    case Part::kHeader:
      pNaslovClick();
      break;
    case Part::kImage1:
      Image1Click();
      break;
    case Part::kCheckBox1:
    case Part::kCheckBox2:
    case Part::kCheckBox3:
      Toggle(static_cast<int>(part) - static_cast<int>(Part::kCheckBox1) + 1);
      break;
    case Part::kNone:
      break;
  }
}

// --- painting --------------------------------------------------------------------------------

void Win32View::Paint(Canvas& canvas) {
  canvas.Fill({0, 0, layout::kWidth, layout::kHeight}, layout::kGrey);
  canvas.Fill(layout::kShape1, layout::kWhite);
  canvas.Fill(layout::kHeader, layout::kWhite);
  canvas.Text(DisplayText(Header()), layout::kHeader,
              {{layout::kHeaderFontSize, false}, layout::kGreen, HAlign::kLeft, VAlign::kMiddle});
  canvas.Fill(layout::kPanel1, layout::kGrey);
  DrawPicture(canvas, layout::kImage1);
  PaintStepList(canvas, layout::kJvInstallLabel1, StepList::kJvInstallLabel1);
  PaintStatusPanel(canvas);
  canvas.Text(DisplayText(Label2()), layout::kLabel2,
              {{layout::kLabel2FontSize, true}, layout::kBlack, HAlign::kRight, VAlign::kTop});
  if (CompletionVisible()) {
    // The text may run past its box to the right, as the original label's did.
    canvas.Text(layout::kCompletionText, layout::kLUspjesno,
                {{layout::kLUspjesnoFontSize, false},
                 layout::kGreen,
                 HAlign::kLeft,
                 VAlign::kTop,
                 false,
                 false});
  }
  for (int n = 1; n <= 3; ++n) PaintCheckBox(canvas, n);
}

void Win32View::PaintStepList(Canvas& canvas, const layout::Rect& box, StepList list) {
  canvas.Fill(box, layout::kWhite);
  canvas.PushClip(box);
  const FontStyle plain{layout::kStepFontSize, false};
  const int pitch =
      std::max(layout::kStepIconSize, canvas.LineHeight(plain)) + layout::kStepLineSpacing;
  const auto& lines = Lines(list);
  const int first = std::max(0, TopLine(list));
  for (int i = first; i < static_cast<int>(lines.size()); ++i) {
    const int top = box.y + layout::StepLineTop(i - first, pitch);
    if (top >= box.y + box.h) break;
    const StepLine& line = lines[static_cast<size_t>(i)];
    DrawStepIcon(canvas, StepIconFor(line.image),
                 box.x + (layout::kStepTextOffset - layout::kStepIconSize) / 2,
                 top + (pitch - layout::kStepLineSpacing - layout::kStepIconSize) / 2,
                 layout::kStepIconSize);
    canvas.Text(
        DisplayText(line.text),
        {box.x + layout::kStepTextOffset, top, box.w - layout::kStepTextOffset,
         pitch - layout::kStepLineSpacing},
        {{layout::kStepFontSize, line.bold}, layout::kBlack, HAlign::kLeft, VAlign::kMiddle});
  }
  canvas.PopClip();
}

void Win32View::PaintStatusPanel(Canvas& canvas) {
  canvas.Fill(layout::kP, layout::kGrey);
  canvas.Fill(layout::kPanel2, layout::kWhite);
  canvas.Text(layout::kStatusCaption, layout::kLabel3,
              {kLabelFont, layout::kBlack, HAlign::kLeft, VAlign::kTop});
  canvas.Text(DisplayText(Label1()), layout::kLabel1,
              {kLabelFont, layout::kBlack, HAlign::kLeft, VAlign::kTop, true});
  for (const layout::Rect& line : {layout::kPanel3, layout::kPanel4, layout::kPanel5}) {
    canvas.Fill(line, layout::kLineGrey);
  }

  // Napredak: white, gradient blocks that end in green.
  const layout::Rect bar = layout::kNapredak;
  canvas.Fill(bar, layout::kWhite);
  canvas.Frame(bar, layout::kLineGrey);
  const int64_t max = ProgressMax();
  const int64_t position = Progress();
  if (max > 0 && position > 0) {
    const double fraction = std::min(1.0, static_cast<double>(position) / static_cast<double>(max));
    const int inner = bar.w - 4;
    const int filled = static_cast<int>(inner * fraction);
    for (int left = 0; left < filled; left += layout::kProgressBlock + layout::kProgressGap) {
      const int width = std::min(layout::kProgressBlock, filled - left);
      canvas.Fill({bar.x + 2 + left, bar.y + 2, width, bar.h - 4},
                  layout::ProgressBlockColour(left * 255 / std::max(1, inner)));
    }
  }

  if (!StatisticsVisible()) return;
  const auto& values = Statistics();
  for (int i = 0; i < 4; ++i) {
    canvas.Text(layout::kStatisticsCaption[i], layout::StatisticsCaption(i),
                {kLabelFont, layout::kBlack, HAlign::kRight, VAlign::kMiddle});
    canvas.Text(values[static_cast<size_t>(i)], layout::StatisticsValue(i),
                {kValueFont, layout::kBlack, HAlign::kRight, VAlign::kMiddle});
  }
}

void Win32View::PaintCheckBox(Canvas& canvas, int number) {
  const CheckBoxState& state = CheckBox(number);
  if (!state.visible) return;
  const layout::Rect box = layout::kCheckBox[number - 1];
  const layout::Rect square = layout::CheckSquare(box);
  canvas.Text(DisplayText(state.caption), {box.x, box.y, square.x - 4 - box.x, box.h},
              {{layout::kCheckBoxFontSize, true},
               layout::kBlack,
               HAlign::kRight,
               VAlign::kMiddle,
               false,
               false});
  canvas.Fill(square, layout::kWhite);
  canvas.Frame(square, layout::kBoxFrame);
  if (state.checked) DrawTick(canvas, square.x + 1, square.y + 1, square.w - 2);
}

void Win32View::Invalidate(const layout::Rect& r) {
  const RECT device = scale_.Device(r);
  InvalidateRect(window_, &device, FALSE);
}

void Win32View::RepaintNow() {
  if (shown_) UpdateWindow(window_);
}

// --- state to window ------------------------------------------------------------------------

std::string Win32View::EditText(HWND edit) const {
  const int length = GetWindowTextLengthW(edit);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(edit, text.data(), length + 1);
  text.resize(static_cast<size_t>(std::max(0, got)));
  return platform::WideToUtf8(text);
}

void Win32View::Changed(Element what) {
  switch (what) {
    case Element::kHeader:
      Invalidate(layout::kHeader);
      break;
    case Element::kLabel1:
      Invalidate(layout::kLabel1);
      // The status is repainted at once, also in the middle of a long step.
      RepaintNow();
      break;
    case Element::kLabel2:
      Invalidate(layout::kLabel2);
      break;
    case Element::kStepList1:
      Invalidate(layout::kJvInstallLabel1);
      break;
    case Element::kStepList2:
      break;  // parked outside the visible area
    case Element::kCheckBoxes:
      // Their captions may reach further left than their boxes.
      Invalidate(layout::kHeader);
      break;
    case Element::kCompletion:
      Invalidate({layout::kLUspjesno.x, layout::kLUspjesno.y, layout::kWidth - layout::kLUspjesno.x,
                  layout::kLUspjesno.h});
      RepaintNow();
      break;
    case Element::kUrl:
      SetWindowTextW(eURL_, platform::Utf8ToWide(Url()).c_str());
      ShowWindow(eURL_, UrlVisible() ? SW_SHOWNA : SW_HIDE);
      break;
    case Element::kPass:
      if (Pass() != EditText(ePass_)) SetWindowTextW(ePass_, platform::Utf8ToWide(Pass()).c_str());
      ShowWindow(ePass_, PassVisible() ? SW_SHOWNA : SW_HIDE);
      break;
    case Element::kProgress:
      Invalidate(layout::kNapredak);
      break;
    case Element::kStatistics:
      Invalidate(layout::kP);
      break;
    case Element::kPlacement:
      if (shown_) ApplyPlacement();
      break;
  }
}

void Win32View::RefreshAll() {
  for (Element e : {Element::kUrl, Element::kPass}) Changed(e);
  InvalidateRect(window_, nullptr, FALSE);
}

void Win32View::ApplyDpi(UINT dpi) {
  if (dpi == scale_.dpi() && shown_) return;
  scale_ = Scale(dpi);
  fonts_.Clear();
  SetWindowPos(window_, nullptr, 0, 0, Width(scale_), Height(scale_),
               SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
  PlaceEdits();
  InvalidateRect(window_, nullptr, FALSE);
}

void Win32View::PlaceEdits() {
  HFONT font = fonts_.Get({layout::kEditFontSize, false}, scale_);
  for (auto [edit, place] : {std::pair{eURL_, layout::kEUrl}, std::pair{ePass_, layout::kEPass}}) {
    const RECT r = scale_.Device(place);
    MoveWindow(edit, r.left, r.top, r.right - r.left, r.bottom - r.top, FALSE);
    SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
}

int Win32View::OuterHeight() const {
  RECT r{};
  GetWindowRect(window_, &r);
  return r.bottom - r.top;
}

void Win32View::ApplyPlacement() {
  RECT r{};
  GetWindowRect(window_, &r);
  const int w = r.right - r.left;
  const int h = r.bottom - r.top;
  const Placement& placement = GetPlacement();
  int x = placement.left;
  int y = placement.top;
  if (placement.centred) {
    x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
    y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  }
  SetWindowPos(window_, nullptr, x, y, 0, 0, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOSIZE);
}

// --- loop, timer, dialogs --------------------------------------------------------------------

void Win32View::Show() {
  RefreshAll();
  ApplyPlacement();
  ShowWindow(window_, SW_SHOW);
  SetForegroundWindow(window_);
  shown_ = true;
  UpdateWindow(window_);
}

void Win32View::StartTimer(uint32_t ms, std::function<void()> fire) {
  timer_ = std::move(fire);
  SetTimer(window_, kTimer1, ms, nullptr);
}

void Win32View::ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop that owns it
      return;
    }
    Dispatch(msg);
  }
}

void Win32View::WaitMessages(uint32_t max_ms) {
  MsgWaitForMultipleObjectsEx(0, nullptr, max_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  ProcessMessages();
}

// Esc during the run only asks for the end: the run goes on inside the timer message and the
// loop ends once that message has been handled.
void Win32View::RunMessageLoop() {
  MSG msg;
  while (!EndRequested()) {
    if (GetMessageW(&msg, nullptr, 0, 0) <= 0) break;
    Dispatch(msg);
  }
}

// A request made outside any message (or by a handler of a nested loop) must still wake the
// outer loop from its wait; one posted message does that without making anything spin.
void Win32View::EndRequestedChanged() { PostMessageW(window_, WM_NULL, 0, 0); }

void Win32View::ShowDialog(const std::string& title, const std::string& text) {
  ShowPorukaDialog(window_, title, text);
}

void Win32View::OpenErrorLog(const std::string& path) {
  const std::wstring file = platform::Utf8ToWide(path);
  const std::wstring folder = std::filesystem::path(file).parent_path().wstring();
  const std::wstring argument = L"\"" + file + L"\"";
  ShellExecuteW(nullptr, L"open", L"notepad.exe", argument.c_str(),
                folder.empty() ? nullptr : folder.c_str(), SW_SHOWNORMAL);
}

}  // namespace zepr::win32
