#include "app/win32/poruka_dialog.h"

#include <algorithm>

#include "app/layout.h"
#include "app/win32/artwork.h"
#include "app/win32/canvas.h"
#include "platform/win32/wide.h"

namespace zepr::win32 {

namespace {

constexpr wchar_t kClassName[] = L"ZEPRUpdatePoruka";
constexpr FontStyle kTextFont{layout::kPorukaFontSize, true};
constexpr FontStyle kButtonFont{layout::kPorukaButtonFontSize, true};

struct Dialog {
  Scale scale;
  FontCache fonts;
  std::string title;
  std::string label;  // framed text, LF line breaks
  int label_height = 0;
  bool hot = false;
  bool pressed = false;
  bool done = false;

  int Height() const { return label_height + kPorukaExtraHeight; }
  layout::Rect Button() const {
    const int panel_top = kPorukaTitleHeight + label_height + kPorukaSpacerHeight;
    return {kPorukaButtonLeft, panel_top + kPorukaButtonTop, kPorukaButtonWidth,
            kPorukaButtonHeight};
  }
  bool InButton(LPARAM pos) const {
    return Button().Contains(scale.Logical(static_cast<short>(LOWORD(pos))),
                             scale.Logical(static_cast<short>(HIWORD(pos))));
  }
  void Paint(Canvas& canvas) const;
};

// Height of the framed text wrapped at the label's width, in layout pixels.
int MeasureLabel(const std::string& label, const Scale& scale) {
  FontCache fonts;
  HDC dc = CreateCompatibleDC(nullptr);
  Canvas canvas(dc, scale, fonts);
  const std::string wrapped = canvas.Wrapped(label, kPorukaTextWidth, kTextFont);
  const int lines = 1 + static_cast<int>(std::count(wrapped.begin(), wrapped.end(), '\n'));
  const int height = lines * canvas.LineHeight(kTextFont);
  DeleteDC(dc);
  return height;
}

void Dialog::Paint(Canvas& canvas) const {
  const int w = kPorukaWidth;
  canvas.Fill({0, 0, w, kPorukaTitleHeight}, layout::kWhite);
  canvas.Text(">" + title, {0, 0, w, kPorukaTitleHeight},
              {{layout::kHeaderFontSize, false}, layout::kGreen, HAlign::kLeft, VAlign::kMiddle});
  const layout::Rect label_box{0, kPorukaTitleHeight, w, label_height};
  canvas.Fill(label_box, layout::kGrey);
  // The text wraps at the width its height was measured for.
  const int margin = (kPorukaWidth - kPorukaTextWidth) / 2;
  canvas.Text(label, {margin, label_box.y, kPorukaTextWidth, label_height},
              {kTextFont, layout::kBlack, HAlign::kCentre, VAlign::kMiddle, true});
  canvas.Fill({0, kPorukaTitleHeight + label_height, w, kPorukaSpacerHeight}, layout::kWhite);
  const int panel_top = kPorukaTitleHeight + label_height + kPorukaSpacerHeight;
  canvas.Fill({0, panel_top, w, Height() - panel_top}, layout::kGrey);

  // The one button, white with a green caption while the pointer is over it.
  const layout::Rect button = Button();
  canvas.Fill(button, pressed && hot ? layout::kPressed : layout::kWhite);
  canvas.Frame(button, layout::kLineGrey);
  const int icon = layout::kPorukaButtonIconSize;
  const int text_w = static_cast<int>(canvas.TextWidth(layout::kPorukaButtonText, kButtonFont));
  const int left = button.x + (button.w - icon - 6 - text_w) / 2;
  DrawOkIcon(canvas, left, button.y + (button.h - icon) / 2, icon);
  canvas.Text(layout::kPorukaButtonText, {left + icon + 6, button.y, text_w + 2, button.h},
              {kButtonFont, hot ? layout::kGreen : layout::kBlack, HAlign::kLeft, VAlign::kMiddle});
}

Dialog* DialogOf(HWND window) {
  return reinterpret_cast<Dialog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

LRESULT CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  Dialog* dialog = DialogOf(window);
  if (!dialog) return DefWindowProcW(window, message, wparam, lparam);
  switch (message) {
    case WM_PAINT:
      PaintBuffered(window, dialog->scale, dialog->fonts,
                    [dialog](Canvas& canvas) { dialog->Paint(canvas); });
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_KEYDOWN:
      if (wparam == VK_ESCAPE || wparam == VK_RETURN || wparam == VK_SPACE) dialog->done = true;
      return 0;
    case WM_CLOSE:
      dialog->done = true;
      return 0;
    case WM_MOUSEMOVE: {
      const bool hot = dialog->InButton(lparam);
      if (hot != dialog->hot) {
        dialog->hot = hot;
        InvalidateRect(window, nullptr, FALSE);
      }
      TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, window, 0};
      TrackMouseEvent(&track);
      return 0;
    }
    case WM_MOUSELEAVE:
      if (dialog->hot) {
        dialog->hot = false;
        InvalidateRect(window, nullptr, FALSE);
      }
      return 0;
    case WM_LBUTTONDOWN:
      if (dialog->InButton(lparam)) {
        dialog->pressed = true;
        SetCapture(window);
        InvalidateRect(window, nullptr, FALSE);
      }
      return 0;
    case WM_LBUTTONUP:
      // A click lands on release inside the button, as a button's would.
      if (dialog->pressed) {
        dialog->pressed = false;
        ReleaseCapture();
        if (dialog->InButton(lparam)) dialog->done = true;
        InvalidateRect(window, nullptr, FALSE);
      }
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

void RegisterDialogClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DialogProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc) != 0;
  }();
  (void)registered;
}

constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME;

}  // namespace

void ShowPorukaDialog(HWND owner, const std::string& title, const std::string& text) {
  RegisterDialogClass();
  Dialog dialog{Scale(WindowDpi(owner))};
  dialog.title = title;
  dialog.label = PorukaLabelText(text);
  dialog.label_height = PorukaHeight(text, [&](const std::string& label,
                                               int) { return MeasureLabel(label, dialog.scale); }) -
                        kPorukaExtraHeight;

  RECT frame{0, 0, dialog.scale.Px(kPorukaWidth), dialog.scale.Px(dialog.Height())};
  AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  const int w = frame.right - frame.left;
  const int h = frame.bottom - frame.top;
  RECT over{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (owner && IsWindowVisible(owner)) GetWindowRect(owner, &over);
  // A text taller than the screen keeps its title band on the screen.
  const int x = over.left + (over.right - over.left - w) / 2;
  const int y = std::max(0, static_cast<int>(over.top + (over.bottom - over.top - h) / 2));

  HWND window =
      CreateWindowExW(kExStyle, kClassName, platform::Utf8ToWide(layout::kPorukaCaption).c_str(),
                      kStyle, x, y, w, h, owner, nullptr, GetModuleHandleW(nullptr), &dialog);
  if (!window) return;
  const bool owner_was_enabled = owner && IsWindowEnabled(owner);
  if (owner_was_enabled) EnableWindow(owner, FALSE);
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  SetFocus(window);
  UpdateWindow(window);
  MSG msg;
  while (!dialog.done) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));  // for the outer loop
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  // The owner is enabled first so that it, not another program, becomes active again.
  if (owner_was_enabled) EnableWindow(owner, TRUE);
  DestroyWindow(window);
}

}  // namespace zepr::win32
