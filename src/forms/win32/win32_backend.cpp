#include "forms/win32/win32_backend.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "forms/win32/log_view.h"
#include "forms/win32/png.h"

namespace forms::win32 {

namespace {

const char kPeerProp[] = "TessavoPeer";
const char kFormClass[] = "TessavoForm";
const char kPanelClass[] = "TessavoPanel";
// Control ids start past IDOK..IDHELP, which the dialog manager sends for
// Enter and Escape.
int nextControlId = 1000;

class Win32Peer;

Win32Peer *PeerOfWindow(HWND hwnd) {
  return hwnd != nullptr ? static_cast<Win32Peer *>(GetPropA(hwnd, kPeerProp)) : nullptr;
}

// Runs a real user action on the model as the outermost event.
void User(const std::function<void()> &action) { Application->UserInput(action); }

TWin32Backend &Backend() { return static_cast<TWin32Backend &>(Application->Backend()); }

HFONT FontOf(TControl &control) {
  TForm *form = control.ParentForm();
  return Backend().FontFor(form != nullptr ? form->Font() : TFont{});
}

// 0x00BBGGRR, or a system colour.
COLORREF ToColorRef(TColor color) {
  if ((color & 0xFF000000u) == 0xFF000000u) return GetSysColor(static_cast<int>(color & 0xFFu));
  return static_cast<COLORREF>(color & 0x00FFFFFFu);
}

HICON IconFromPicture(const TPicture &picture, int size) {
  if (picture.Empty()) return nullptr;
  const int w = picture.Width();
  const int h = picture.Height();
  BITMAPV5HEADER bi = {};
  bi.bV5Size = sizeof bi;
  bi.bV5Width = w;
  bi.bV5Height = -h;  // rows from the top, as the picture holds them
  bi.bV5Planes = 1;
  bi.bV5BitCount = 32;
  bi.bV5Compression = BI_BITFIELDS;
  bi.bV5RedMask = 0x00FF0000;
  bi.bV5GreenMask = 0x0000FF00;
  bi.bV5BlueMask = 0x000000FF;
  bi.bV5AlphaMask = 0xFF000000;
  void *bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP color = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO *>(&bi), DIB_RGB_COLORS,
                                   &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (color == nullptr) return nullptr;
  // 0xAARRGGBB words are B, G, R, A in memory: the DIB's own order.
  std::memcpy(bits, picture.Pixels().data(), picture.Pixels().size() * sizeof(std::uint32_t));
  std::vector<BYTE> maskBits(static_cast<std::size_t>(((w + 15) / 16) * 2 * h), 0);
  HBITMAP mask = CreateBitmap(w, h, 1, 1, maskBits.data());
  ICONINFO info = {};
  info.fIcon = TRUE;
  info.hbmMask = mask;
  info.hbmColor = color;
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(mask);
  DeleteObject(color);
  if (icon != nullptr && size > 0 && size != w) {
    HICON scaled = static_cast<HICON>(CopyImage(icon, IMAGE_ICON, size, size, 0));
    if (scaled != nullptr) {
      DestroyIcon(icon);
      icon = scaled;
    }
  }
  return icon;
}

// ---- peers ----------------------------------------------------------------------

class Win32Peer : public TControlPeer {
 public:
  explicit Win32Peer(TControl &control) : control_(control) {}
  ~Win32Peer() override {
    if (hwnd_ == nullptr) return;
    HWND hwnd = hwnd_;
    hwnd_ = nullptr;
    RemovePropA(hwnd, kPeerProp);
    if (oldProc_ != nullptr) {
      SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(oldProc_));
    }
    if (IsWindow(hwnd)) DestroyWindow(hwnd);
  }

  HWND Hwnd() const { return hwnd_; }
  TControl &Control() const { return control_; }

  void Changed(TChange what) override {
    if (hwnd_ == nullptr) return;
    switch (what) {
      case TChange::Bounds:
        ApplyBounds();
        break;
      case TChange::Visible:
        ApplyVisible();
        break;
      case TChange::Enabled:
        EnableWindow(hwnd_, control_.Enabled() ? TRUE : FALSE);
        break;
      case TChange::TabOrder:
        if (auto *self = dynamic_cast<TWinControl *>(&control_)) OrderChildren(*self);
        if (control_.Parent() != nullptr) OrderChildren(*control_.Parent());
        break;
      case TChange::Font:
        ApplyFontTree(control_);
        Apply(what);
        break;
      default:
        Apply(what);
        break;
    }
  }

  // Pushes the whole model state to the fresh window.
  void ApplyAll() {
    SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(control_)), FALSE);
    for (TChange what :
         {TChange::Items, TChange::ItemIndex, TChange::Text, TChange::Checked, TChange::ReadOnly,
          TChange::MaxLength, TChange::Panels, TChange::Picture, TChange::Other}) {
      Apply(what);
    }
    ApplyBounds();
    EnableWindow(hwnd_, control_.Enabled() ? TRUE : FALSE);
    if (control_.Parent() != nullptr) ApplyVisible();
  }

  // WM_COMMAND notifications from the control's own window.
  virtual void Command(WORD code) { (void)code; }

  // The procedure of a subclassed standard control.
  virtual LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcA(oldProc_, hwnd_, msg, wParam, lParam);
  }

 protected:
  virtual void Apply(TChange what) { (void)what; }
  virtual void ApplyBounds() {
    SetWindowPos(hwnd_, nullptr, control_.Left(), control_.Top(), control_.Width(),
                 control_.Height(), SWP_NOZORDER | SWP_NOACTIVATE);
  }
  virtual void ApplyVisible() { ShowWindow(hwnd_, control_.Visible() ? SW_SHOWNA : SW_HIDE); }

  HWND ParentHwnd() const {
    Win32Peer *parent = control_.Parent() != nullptr
                            ? dynamic_cast<Win32Peer *>(control_.Parent()->Peer())
                            : nullptr;
    return parent != nullptr ? parent->Hwnd() : nullptr;
  }

  // A child window of the parent's window, tied to this peer and
  // subclassed.
  HWND CreateChild(DWORD exStyle, const char *cls, DWORD style) {
    const int id = nextControlId++;
    HWND hwnd = CreateWindowExA(
        exStyle, cls, "", WS_CHILD | WS_CLIPSIBLINGS | style, control_.Left(), control_.Top(),
        control_.Width(), control_.Height(), ParentHwnd(),
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
    Attach(hwnd);
    Subclass();
    return hwnd;
  }

  void Attach(HWND hwnd) {
    hwnd_ = hwnd;
    if (hwnd_ != nullptr) SetPropA(hwnd_, kPeerProp, this);
  }

  // Routes the window's messages through WndProc (once).
  void Subclass() {
    if (hwnd_ == nullptr || oldProc_ != nullptr) return;
    oldProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassProc)));
  }

  static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Win32Peer *peer = PeerOfWindow(hwnd);
    if (peer == nullptr || peer->oldProc_ == nullptr)
      return DefWindowProcA(hwnd, msg, wParam, lParam);
    switch (msg) {
      case WM_CLOSE:
        // A control or panel never closes: a multi-line edit driven by the
        // dialog manager posts WM_CLOSE to its parent on Esc, and
        // DefWindowProc would destroy the parent with all it holds.
        return 0;
      case WM_NCDESTROY: {
        // Destroyed from outside (its parent went): the peer lets go of
        // the handle rather than act on a dead one.
        const WNDPROC old = peer->oldProc_;
        peer->oldProc_ = nullptr;
        peer->hwnd_ = nullptr;
        RemovePropA(hwnd, kPeerProp);
        return CallWindowProcA(old, hwnd, msg, wParam, lParam);
      }
      default:
        return peer->WndProc(msg, wParam, lParam);
    }
  }

  static void ApplyFontTree(TControl &control) {
    auto *peer = dynamic_cast<Win32Peer *>(control.Peer());
    if (peer != nullptr && peer->hwnd_ != nullptr) {
      SendMessageA(peer->hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(control)), TRUE);
    }
    if (auto *w = dynamic_cast<TWinControl *>(&control)) {
      for (int i = 0; i < w->ControlCount(); ++i) ApplyFontTree(*w->Controls(i));
    }
  }

  // The dialog manager moves focus in z-order: within each parent, the
  // windowed children follow their TabOrder.
  static void OrderChildren(TWinControl &parent) {
    std::vector<TWinControl *> children;
    for (int i = 0; i < parent.ControlCount(); ++i) {
      if (auto *w = dynamic_cast<TWinControl *>(parent.Controls(i))) children.push_back(w);
    }
    std::stable_sort(children.begin(), children.end(),
                     [](TWinControl *a, TWinControl *b) { return a->TabOrder() < b->TabOrder(); });
    HWND after = HWND_TOP;
    for (TWinControl *child : children) {
      auto *peer = dynamic_cast<Win32Peer *>(child->Peer());
      if (peer == nullptr || peer->hwnd_ == nullptr) continue;
      SetWindowPos(peer->hwnd_, after, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
      after = peer->hwnd_;
    }
  }

  TControl &control_;
  HWND hwnd_ = nullptr;
  WNDPROC oldProc_ = nullptr;
};

// Messages every container handles the same way: notifications go to the
// peer of the control that sent them.
bool ContainerMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT &result) {
  switch (msg) {
    case WM_COMMAND:
      if (lParam != 0) {
        if (Win32Peer *peer = PeerOfWindow(reinterpret_cast<HWND>(lParam))) {
          peer->Command(HIWORD(wParam));
        }
      }
      // Enter and Escape with no button to press arrive with no window.
      result = 0;
      return true;
    default:
      return false;
  }
}

// ---- form -----------------------------------------------------------------------

class FormPeer : public Win32Peer {
 public:
  explicit FormPeer(TForm &form) : Win32Peer(form), form_(form) {
    RegisterClasses();
    const DWORD style = Style();
    RECT rc = {0, 0, form.ClientWidth(), form.ClientHeight()};
    AdjustWindowRectEx(&rc, style, FALSE, ExStyle());
    HWND hwnd = CreateWindowExA(ExStyle(), kFormClass, "", style, CW_USEDEFAULT, CW_USEDEFAULT,
                                rc.right - rc.left, rc.bottom - rc.top, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    Attach(hwnd);
    ApplyIcon();
  }

  ~FormPeer() override {
    if (bigIcon_ != nullptr) DestroyIcon(bigIcon_);
    if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
    if (brush_ != nullptr) DeleteObject(brush_);
  }

  static LRESULT CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto *peer = dynamic_cast<FormPeer *>(PeerOfWindow(hwnd));
    if (peer == nullptr) return DefWindowProcA(hwnd, msg, wParam, lParam);
    LRESULT result = 0;
    if (msg == WM_COMMAND && lParam == 0 &&
        (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
      // Enter and Esc from the dialog manager, with no button of that id:
      // the form's default and cancel buttons take them.
      TForm *form = &peer->form_;
      const char key = LOWORD(wParam) == IDOK ? 13 : 27;
      User([form, key] { form->UserDialogKey(key); });
      return 0;
    }
    if (ContainerMessage(msg, wParam, lParam, result)) return result;
    switch (msg) {
      case WM_CLOSE: {
        // The model decides: OnClose runs and the form hides itself when
        // it agrees; the window itself stays until the form goes.
        TForm *form = &peer->form_;
        User([form] { form->UserClose(); });
        return 0;
      }
      case WM_ERASEBKGND: {
        RECT rc;
        GetClientRect(hwnd, &rc);
        FillRect(reinterpret_cast<HDC>(wParam), &rc, peer->Brush());
        return 1;
      }
      case WM_ACTIVATE:
        // Focus comes back to the control that had it, as in a dialog.
        if (LOWORD(wParam) == WA_INACTIVE) {
          HWND focus = GetFocus();
          if (focus != nullptr && IsChild(hwnd, focus)) peer->lastFocus_ = focus;
        } else {
          peer->RestoreFocus();
        }
        return 0;
      case WM_SETFOCUS:
        peer->RestoreFocus();
        return 0;
      case WM_NEXTDLGCTL: {
        HWND target = LOWORD(lParam) != 0
                          ? reinterpret_cast<HWND>(wParam)
                          : GetNextDlgTabItem(hwnd, GetFocus(), wParam != 0 ? TRUE : FALSE);
        if (target != nullptr) {
          SetFocus(target);
          // An edit box reached by Tab selects its text, as in a dialog.
          if (SendMessageA(target, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) {
            SendMessageA(target, EM_SETSEL, 0, -1);
          }
        }
        return 0;
      }
      default:
        break;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }

  static void RegisterClasses() {
    static const bool done = [] {
      WNDCLASSEXA cls = {};
      cls.cbSize = sizeof cls;
      cls.lpfnWndProc = &FormProc;
      cls.hInstance = GetModuleHandleA(nullptr);
      cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
      cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
      cls.lpszClassName = kFormClass;
      RegisterClassExA(&cls);
      return true;
    }();
    (void)done;
  }

 protected:
  void Apply(TChange what) override {
    switch (what) {
      case TChange::Text:
        SetWindowTextA(hwnd_, form_.Caption().c_str());
        break;
      case TChange::Other:
        ApplyFrame();
        break;
      default:
        break;
    }
  }

  void ApplyBounds() override {
    RECT rc = {0, 0, form_.ClientWidth(), form_.ClientHeight()};
    AdjustWindowRectEx(&rc, Style(), FALSE, ExStyle());
    SetWindowPos(hwnd_, nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void ApplyVisible() override {
    if (form_.Visible()) {
      PlaceOnScreen();
      ShowWindow(hwnd_, SW_SHOW);
      SetForegroundWindow(hwnd_);
      RestoreFocus();
    } else {
      ShowWindow(hwnd_, SW_HIDE);
    }
  }

 private:
  DWORD Style() const {
    DWORD style = WS_CLIPCHILDREN | WS_CAPTION;
    const TBorderIcons icons = form_.BorderIcons();
    const bool sizeable = form_.BorderStyle() == bsSizeable || form_.BorderStyle() == bsSizeToolWin;
    if (sizeable) style |= WS_THICKFRAME;
    if (form_.BorderStyle() == bsNone) style = WS_POPUP | WS_CLIPCHILDREN;
    if (icons & biSystemMenu) {
      style |= WS_SYSMENU;
      if (icons & biMinimize) style |= WS_MINIMIZEBOX;
      if ((icons & biMaximize) && sizeable) style |= WS_MAXIMIZEBOX;
    }
    return style;
  }

  DWORD ExStyle() const {
    DWORD ex = WS_EX_CONTROLPARENT;
    if (form_.BorderStyle() == bsDialog) ex |= WS_EX_DLGMODALFRAME;
    if (form_.BorderStyle() == bsToolWindow || form_.BorderStyle() == bsSizeToolWin) {
      ex |= WS_EX_TOOLWINDOW;
    }
    return ex;
  }

  void ApplyFrame() {
    SetWindowLongPtrA(hwnd_, GWL_STYLE,
                      static_cast<LONG_PTR>(Style() | (IsWindowVisible(hwnd_) ? WS_VISIBLE : 0)));
    SetWindowLongPtrA(hwnd_, GWL_EXSTYLE, static_cast<LONG_PTR>(ExStyle()));
    ApplyBounds();
    SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    if (brush_ != nullptr) DeleteObject(brush_);
    brush_ = nullptr;
    InvalidateRect(hwnd_, nullptr, TRUE);
  }

  HBRUSH Brush() {
    if (form_.Color() == clBtnFace) return GetSysColorBrush(COLOR_BTNFACE);
    if (brush_ == nullptr) brush_ = CreateSolidBrush(ToColorRef(form_.Color()));
    return brush_;
  }

  // The program's own icon (resource 1) when it has one, else the
  // application's picture.
  void ApplyIcon() {
    HINSTANCE module = GetModuleHandleA(nullptr);
    const int big = GetSystemMetrics(SM_CXICON);
    const int small = GetSystemMetrics(SM_CXSMICON);
    bigIcon_ = static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(1), IMAGE_ICON, big, big, 0));
    smallIcon_ =
        static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(1), IMAGE_ICON, small, small, 0));
    if (bigIcon_ == nullptr) bigIcon_ = IconFromPicture(Application->Icon(), big);
    if (smallIcon_ == nullptr) smallIcon_ = IconFromPicture(Application->Icon(), small);
    if (bigIcon_ != nullptr) {
      SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    }
    if (smallIcon_ != nullptr) {
      SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
    }
  }

  void PlaceOnScreen() {
    RECT rc;
    GetWindowRect(hwnd_, &rc);
    const int w = rc.right - rc.left;
    const int h = rc.bottom - rc.top;
    int x = form_.Left();
    int y = form_.Top();
    switch (form_.Position()) {
      case poDesktopCenter:
        x = GetSystemMetrics(SM_XVIRTUALSCREEN) + (GetSystemMetrics(SM_CXVIRTUALSCREEN) - w) / 2;
        y = GetSystemMetrics(SM_YVIRTUALSCREEN) + (GetSystemMetrics(SM_CYVIRTUALSCREEN) - h) / 2;
        break;
      case poScreenCenter:
      case poMainFormCenter:
        x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
        y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
        break;
      case poDefault:
        return;
      default:
        break;
    }
    SetWindowPos(hwnd_, nullptr, std::max(0, x), std::max(0, y), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void RestoreFocus() {
    if (lastFocus_ != nullptr && IsWindow(lastFocus_) && IsWindowVisible(lastFocus_) &&
        IsWindowEnabled(lastFocus_) && IsChild(hwnd_, lastFocus_)) {
      SetFocus(lastFocus_);
      return;
    }
    HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE);
    if (first != nullptr) SetFocus(first);
  }

  TForm &form_;
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  HBRUSH brush_ = nullptr;
  HWND lastFocus_ = nullptr;
};

// ---- containers -----------------------------------------------------------------

class PanelPeer : public Win32Peer {
 public:
  explicit PanelPeer(TWinControl &control)
      : Win32Peer(control), panel_(dynamic_cast<TPanel *>(&control)) {
    RegisterClasses();
    CreateChild(WS_EX_CONTROLPARENT, kPanelClass, WS_CLIPCHILDREN);
  }

  static LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (ContainerMessage(msg, wParam, lParam, result)) return result;
    if (msg == WM_ERASEBKGND) return 1;
    if (msg == WM_PAINT) {
      auto *peer = dynamic_cast<PanelPeer *>(PeerOfWindow(hwnd));
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      FillRect(dc, &rc, GetSysColorBrush(COLOR_BTNFACE));
      if (peer != nullptr && peer->panel_ != nullptr) {
        switch (peer->panel_->BevelOuter()) {
          case bvLowered:
            DrawEdge(dc, &rc, BDR_SUNKENOUTER, BF_RECT);
            break;
          case bvRaised:
            DrawEdge(dc, &rc, BDR_RAISEDINNER, BF_RECT);
            break;
          default:
            break;
        }
      }
      EndPaint(hwnd, &ps);
      return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }

  static void RegisterClasses() {
    static const bool done = [] {
      WNDCLASSA cls = {};
      cls.lpfnWndProc = &PanelProc;
      cls.hInstance = GetModuleHandleA(nullptr);
      cls.hCursor = LoadCursor(nullptr, IDC_ARROW);
      cls.lpszClassName = kPanelClass;
      RegisterClassA(&cls);
      return true;
    }();
    (void)done;
  }

 protected:
  void Apply(TChange what) override {
    if (what == TChange::Other) InvalidateRect(hwnd_, nullptr, TRUE);
  }

 private:
  TPanel *panel_;
};

// A standard group box (BUTTON, BS_GROUPBOX) that holds its controls as
// child windows: it passes their notifications on and paints the face
// colour behind them.
class GroupBoxPeer : public Win32Peer {
 public:
  explicit GroupBoxPeer(TGroupBox &box) : Win32Peer(box) {
    CreateChild(WS_EX_CONTROLPARENT, "BUTTON", BS_GROUPBOX);
    Subclass();
  }

  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
    LRESULT result = 0;
    if (ContainerMessage(msg, wParam, lParam, result)) return result;
    if (msg == WM_ERASEBKGND) {
      RECT rc;
      GetClientRect(hwnd_, &rc);
      FillRect(reinterpret_cast<HDC>(wParam), &rc, GetSysColorBrush(COLOR_BTNFACE));
      return 1;
    }
    if (msg == WM_CTLCOLORSTATIC || msg == WM_CTLCOLORBTN) {
      return DefWindowProcA(hwnd_, msg, wParam, lParam);
    }
    return Win32Peer::WndProc(msg, wParam, lParam);
  }

 protected:
  void Apply(TChange what) override {
    if (what == TChange::Text) SetWindowTextA(hwnd_, control_.Caption().c_str());
  }
};

// ---- label and image --------------------------------------------------------------

class LabelPeer : public Win32Peer {
 public:
  explicit LabelPeer(TLabel &label) : Win32Peer(label), label_(label) {
    CreateChild(0, "STATIC", SS_LEFT);
  }

 protected:
  void Apply(TChange what) override {
    if (what == TChange::Text) {
      SetWindowTextA(hwnd_, label_.Caption().c_str());
      ApplyBounds();
    }
  }

  // A label that sizes itself is never narrower than its text, so a font a
  // little wider than the layout's still shows every letter.
  void ApplyBounds() override {
    int width = label_.Width();
    if (label_.AutoSize()) {
      HDC dc = GetDC(hwnd_);
      HGDIOBJ old = SelectObject(dc, FontOf(label_));
      SIZE size = {};
      GetTextExtentPoint32A(dc, label_.Caption().c_str(), static_cast<int>(label_.Caption().size()),
                            &size);
      SelectObject(dc, old);
      ReleaseDC(hwnd_, dc);
      width = std::max<int>(width, size.cx);
    }
    SetWindowPos(hwnd_, nullptr, label_.Left(), label_.Top(), width, label_.Height(),
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }

 private:
  TLabel &label_;
};

class ImagePeer : public Win32Peer {
 public:
  explicit ImagePeer(TImage &image) : Win32Peer(image), image_(image) {
    CreateChild(0, "STATIC", SS_ICON | SS_REALSIZEIMAGE);
  }
  ~ImagePeer() override {
    if (icon_ != nullptr) DestroyIcon(icon_);
  }

 protected:
  void Apply(TChange what) override {
    if (what != TChange::Picture) return;
    HICON icon = IconFromPicture(image_.Picture(), 0);
    SendMessageA(hwnd_, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
    if (icon_ != nullptr) DestroyIcon(icon_);
    icon_ = icon;
    ApplyBounds();
  }

 private:
  TImage &image_;
  HICON icon_ = nullptr;
};

// ---- buttons ----------------------------------------------------------------------

class ButtonPeer : public Win32Peer {
 public:
  explicit ButtonPeer(TButton &button) : Win32Peer(button), button_(button) {
    CreateChild(0, "BUTTON",
                (button.Default() ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) |
                    (button.TabStop() ? WS_TABSTOP : 0));
  }

  void Command(WORD code) override {
    if (code != BN_CLICKED) return;
    TButton *button = &button_;
    User([button] { button->UserClick(); });
  }

 protected:
  void Apply(TChange what) override {
    if (what == TChange::Text) SetWindowTextA(hwnd_, button_.Caption().c_str());
  }

 private:
  TButton &button_;
};

// The box does not tick itself (BS_CHECKBOX): a click asks the model, and
// the box shows whatever state the model then has.
class CheckBoxPeer : public Win32Peer {
 public:
  explicit CheckBoxPeer(TCheckBox &box) : Win32Peer(box), box_(box) {
    CreateChild(0, "BUTTON", BS_CHECKBOX | (box.TabStop() ? WS_TABSTOP : 0));
  }

  void Command(WORD code) override {
    if (code != BN_CLICKED) return;
    TCheckBox *box = &box_;
    User([box] { box->UserClick(); });
    if (hwnd_ != nullptr) Apply(TChange::Checked);
  }

 protected:
  void Apply(TChange what) override {
    if (what == TChange::Text) {
      SetWindowTextA(hwnd_, box_.Caption().c_str());
    } else if (what == TChange::Checked) {
      SendMessageA(hwnd_, BM_SETCHECK, box_.Checked() ? BST_CHECKED : BST_UNCHECKED, 0);
    }
  }

 private:
  TCheckBox &box_;
};

// ---- drop-down list ---------------------------------------------------------------

class ComboBoxPeer : public Win32Peer {
 public:
  explicit ComboBoxPeer(TComboBox &combo) : Win32Peer(combo), combo_(combo) {
    CreateChild(0, "COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL | (combo.TabStop() ? WS_TABSTOP : 0));
  }

  // CBN_SELCHANGE is the user's pick; CB_SETCURSEL from code sends none.
  void Command(WORD code) override {
    if (code != CBN_SELCHANGE) return;
    const int index = static_cast<int>(SendMessageA(hwnd_, CB_GETCURSEL, 0, 0));
    TComboBox *combo = &combo_;
    User([combo, index] { combo->UserSelect(index); });
    if (hwnd_ != nullptr &&
        static_cast<int>(SendMessageA(hwnd_, CB_GETCURSEL, 0, 0)) != combo_.ItemIndex()) {
      SendMessageA(hwnd_, CB_SETCURSEL, static_cast<WPARAM>(combo_.ItemIndex()), 0);
    }
  }

 protected:
  void Apply(TChange what) override {
    if (what == TChange::Items) {
      SendMessageA(hwnd_, CB_RESETCONTENT, 0, 0);
      const int n = combo_.Items().Count();
      for (int i = 0; i < n; ++i) {
        const std::string item = combo_.Items().Get(i);
        SendMessageA(hwnd_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
      }
      SendMessageA(hwnd_, CB_SETCURSEL, static_cast<WPARAM>(combo_.ItemIndex()), 0);
    } else if (what == TChange::ItemIndex) {
      SendMessageA(hwnd_, CB_SETCURSEL, static_cast<WPARAM>(combo_.ItemIndex()), 0);
    }
  }

  // The height given is the closed box; the window's height also holds the
  // dropped-down list (eight items).
  void ApplyBounds() override {
    const int itemHeight = 13;
    SetWindowPos(hwnd_, nullptr, combo_.Left(), combo_.Top(), combo_.Width(),
                 combo_.Height() + 8 * itemHeight + 2, SWP_NOZORDER | SWP_NOACTIVATE);
  }

 private:
  TComboBox &combo_;
};

// ---- text boxes -------------------------------------------------------------------

// An EDIT control, subclassed so every typed character passes the model's
// key filter first (WM_CHAR, as the runtime's own key event sees it).
class EditPeer : public Win32Peer {
 public:
  EditPeer(TCustomEdit &edit, DWORD style) : Win32Peer(edit), edit_(edit) {
    CreateChild(WS_EX_CLIENTEDGE, "EDIT", style | (edit.TabStop() ? WS_TABSTOP : 0));
    Subclass();
  }

  void Command(WORD code) override {
    if (code != EN_CHANGE || pushing_) return;
    const std::string text = WindowText();
    DWORD start = 0;
    DWORD end = 0;
    SendMessageA(hwnd_, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    TCustomEdit *edit = &edit_;
    User([edit, text, end] { edit->UserEdited(text, end); });
  }

  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == WM_CHAR) return OnChar(static_cast<unsigned char>(wParam & 0xFF), lParam);
    // The key that makes a multi-line edit in a dialog post WM_CLOSE to its
    // parent; its character (27) still reaches the key filter.
    if (msg == WM_KEYDOWN && wParam == VK_ESCAPE && MultiLine()) return 0;
    if (msg == WM_SETTEXT && !pushing_) {
      // Text from outside (automation, another program): a multi-line edit
      // sends no EN_CHANGE for it, so the model hears of it here.
      const LRESULT result = Win32Peer::WndProc(msg, wParam, lParam);
      if (hwnd_ != nullptr) Command(EN_CHANGE);
      return result;
    }
    if (msg == WM_GETDLGCODE && MultiLine()) {
      // Tab moves on, as in a memo that does not want tabs.
      LRESULT code = Win32Peer::WndProc(msg, wParam, lParam);
      const MSG *m = reinterpret_cast<const MSG *>(lParam);
      if (m != nullptr && m->message == WM_KEYDOWN && m->wParam == VK_TAB) {
        code &= ~static_cast<LRESULT>(DLGC_WANTTAB | DLGC_WANTALLKEYS | DLGC_WANTMESSAGE);
      }
      return code & ~static_cast<LRESULT>(DLGC_WANTTAB);
    }
    return Win32Peer::WndProc(msg, wParam, lParam);
  }

 protected:
  void Apply(TChange what) override {
    switch (what) {
      case TChange::Text:
        if (WindowText() != edit_.Text()) {
          pushing_ = true;
          SetWindowTextA(hwnd_, edit_.Text().c_str());
          pushing_ = false;
          const auto end = static_cast<WPARAM>(edit_.Text().size());
          SendMessageA(hwnd_, EM_SETSEL, end, static_cast<LPARAM>(end));
        }
        break;
      case TChange::ReadOnly:
        SendMessageA(hwnd_, EM_SETREADONLY, edit_.ReadOnly() ? TRUE : FALSE, 0);
        break;
      case TChange::MaxLength:
        SendMessageA(hwnd_, EM_SETLIMITTEXT, static_cast<WPARAM>(edit_.MaxLength()), 0);
        break;
      default:
        break;
    }
  }

  std::string WindowText() const {
    const int n = GetWindowTextLengthA(hwnd_);
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    const int got = GetWindowTextA(hwnd_, text.data(), n + 1);
    text.resize(static_cast<std::size_t>(std::max(0, got)));
    return text;
  }

  bool MultiLine() const { return (GetWindowLongPtrA(hwnd_, GWL_STYLE) & ES_MULTILINE) != 0; }

  bool pushing_ = false;

 private:
  // One byte of an ANSI character. Both bytes of a double-byte character
  // pass the filter before either reaches the control.
  LRESULT OnChar(unsigned char byte, LPARAM lParam) {
    std::string typed;
    if (lead_ != 0) {
      typed = {static_cast<char>(lead_), static_cast<char>(byte)};
      lead_ = 0;
    } else if (IsDBCSLeadByte(byte)) {
      lead_ = byte;
      return 0;
    } else {
      typed.assign(1, static_cast<char>(byte));
    }
    std::string passed;
    if (!edit_.FilterTypedCharacter(typed, passed) || hwnd_ == nullptr) return 0;
    for (char b : passed) {
      CallWindowProcA(oldProc_, hwnd_, WM_CHAR, static_cast<unsigned char>(b), lParam);
    }
    return 0;
  }

  TCustomEdit &edit_;
  unsigned char lead_ = 0;
};

class MemoPeer : public EditPeer {
 public:
  explicit MemoPeer(TMemo &memo) : EditPeer(memo, Style(memo)) {}

  void TextAppended(std::string_view added) override {
    if (hwnd_ == nullptr || added.empty()) return;
    const int n = GetWindowTextLengthA(hwnd_);
    pushing_ = true;
    SendMessageA(hwnd_, EM_SETSEL, static_cast<WPARAM>(n), static_cast<LPARAM>(n));
    const std::string text(added);
    SendMessageA(hwnd_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    pushing_ = false;
  }

  void ScrollToEnd() override {
    if (hwnd_ != nullptr) SendMessageA(hwnd_, WM_VSCROLL, SB_BOTTOM, 0);
  }

 private:
  static DWORD Style(const TMemo &memo) {
    DWORD style = ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN;
    const TScrollStyle s = memo.ScrollBars();
    if (s == ssVertical || s == ssBoth) style |= WS_VSCROLL;
    if (!memo.WordWrap()) {
      style |= ES_AUTOHSCROLL;
      if (s == ssHorizontal || s == ssBoth) style |= WS_HSCROLL;
    }
    return style;
  }
};

// A memo that is read-only when its window is made is the log: the log
// view, showing the memo's own text, which appends in time proportional to
// what is added.
class LogPeer : public Win32Peer {
 public:
  explicit LogPeer(TMemo &memo) : Win32Peer(memo) {
    HWND hwnd =
        CreateLogView(ParentHwnd(), memo.Left(), memo.Top(), memo.Width(), memo.Height(),
                      WS_CLIPSIBLINGS | (memo.TabStop() ? WS_TABSTOP : 0), WS_EX_CLIENTEDGE);
    SetWindowLongPtrA(hwnd, GWLP_ID, nextControlId++);
    Attach(hwnd);
    Subclass();
    TMemo *model = &memo;
    // Text put in from outside replaces the memo's, as a user's edit would.
    LogViewAttach(hwnd, &memo, [model](const std::string &text) {
      User([model, text] { model->SetText(text); });
    });
  }

  void TextAppended(std::string_view added) override {
    (void)added;  // already in the memo's text, which the view reads
    if (hwnd_ != nullptr) LogViewTextAppended(hwnd_);
  }

  void ScrollToEnd() override {
    if (hwnd_ != nullptr) SendMessageA(hwnd_, WM_VSCROLL, SB_BOTTOM, 0);
  }

 protected:
  void Apply(TChange what) override {
    if (what == TChange::Text || what == TChange::Stamps) LogViewTextChanged(hwnd_);
  }
};

// ---- status bar -------------------------------------------------------------------

class StatusBarPeer : public Win32Peer {
 public:
  explicit StatusBarPeer(TStatusBar &bar) : Win32Peer(bar), bar_(bar) {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    CreateChild(0, STATUSCLASSNAMEA, CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER);
  }

 protected:
  void Apply(TChange what) override {
    if (what != TChange::Panels) return;
    const TStatusPanels &panels = bar_.Panels();
    const int n = panels.Count();
    if (n == 0) {
      SendMessageA(hwnd_, SB_SIMPLE, TRUE, 0);
      shown_.clear();
      return;
    }
    SendMessageA(hwnd_, SB_SIMPLE, FALSE, 0);
    // Right edges; the last panel reaches the end of the bar.
    std::vector<int> edges(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      edges[static_cast<std::size_t>(i)] = i == n - 1 ? -1 : bar_.PanelLeft(i) + panels[i].Width();
    }
    if (edges != edges_) {
      SendMessageA(hwnd_, SB_SETPARTS, static_cast<WPARAM>(n),
                   reinterpret_cast<LPARAM>(edges.data()));
      edges_ = edges;
      shown_.clear();
    }
    shown_.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      const TStatusPanel &p = panels[i];
      // A tab before the text centres it, two right-align it.
      std::string text = p.Text();
      if (p.Alignment() == taCenter) text = "\t" + text;
      if (p.Alignment() == taRightJustify) text = "\t\t" + text;
      WPARAM part = static_cast<WPARAM>(i);
      if (p.BiDiMode() == bdRightToLeft) part |= SBT_RTLREADING;
      const std::string key = text + (p.BiDiMode() == bdRightToLeft ? "\x01" : "");
      if (shown_[static_cast<std::size_t>(i)] == key) continue;
      SendMessageA(hwnd_, SB_SETTEXTA, part, reinterpret_cast<LPARAM>(text.c_str()));
      shown_[static_cast<std::size_t>(i)] = key;
    }
  }

  void ApplyBounds() override {
    Win32Peer::ApplyBounds();
    edges_.clear();
    Apply(TChange::Panels);
  }

 private:
  TStatusBar &bar_;
  std::vector<int> edges_;
  std::vector<std::string> shown_;
};

std::unique_ptr<Win32Peer> MakePeer(TControl &control) {
  if (auto *c = dynamic_cast<TForm *>(&control)) return std::make_unique<FormPeer>(*c);
  if (auto *c = dynamic_cast<TStatusBar *>(&control)) return std::make_unique<StatusBarPeer>(*c);
  if (auto *c = dynamic_cast<TMemo *>(&control)) {
    if (c->ReadOnly()) return std::make_unique<LogPeer>(*c);
    return std::make_unique<MemoPeer>(*c);
  }
  if (auto *c = dynamic_cast<TEdit *>(&control)) {
    return std::make_unique<EditPeer>(*c, ES_AUTOHSCROLL);
  }
  if (auto *c = dynamic_cast<TComboBox *>(&control)) return std::make_unique<ComboBoxPeer>(*c);
  if (auto *c = dynamic_cast<TCheckBox *>(&control)) return std::make_unique<CheckBoxPeer>(*c);
  if (auto *c = dynamic_cast<TButton *>(&control)) return std::make_unique<ButtonPeer>(*c);
  if (auto *c = dynamic_cast<TGroupBox *>(&control)) return std::make_unique<GroupBoxPeer>(*c);
  if (auto *c = dynamic_cast<TWinControl *>(&control)) return std::make_unique<PanelPeer>(*c);
  if (auto *c = dynamic_cast<TLabel *>(&control)) return std::make_unique<LabelPeer>(*c);
  if (auto *c = dynamic_cast<TImage *>(&control)) return std::make_unique<ImagePeer>(*c);
  return nullptr;
}

bool IsOurForm(HWND hwnd) {
  char name[32] = {};
  return hwnd != nullptr && GetClassNameA(hwnd, name, sizeof name) > 0 &&
         std::strcmp(name, kFormClass) == 0;
}

// A system dialog, such as a message box.
bool IsDialog(HWND hwnd) {
  char name[32] = {};
  return hwnd != nullptr && GetClassNameA(hwnd, name, sizeof name) > 0 &&
         std::strcmp(name, "#32770") == 0;
}

}  // namespace

// ---- backend ----------------------------------------------------------------------

TWin32Backend::TWin32Backend() = default;

TWin32Backend::~TWin32Backend() {
  for (auto &entry : fonts_) DeleteObject(entry.second);
}

HFONT TWin32Backend::FontFor(const TFont &font) {
  const auto key = std::make_pair(font.Name, font.Height);
  auto it = fonts_.find(key);
  if (it != fonts_.end()) return it->second;
  HFONT f = CreateFontA(font.Height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH | FF_DONTCARE, font.Name.c_str());
  if (f == nullptr) f = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  fonts_[key] = f;
  return f;
}

std::unique_ptr<TControlPeer> TWin32Backend::CreatePeer(TControl &control) {
  std::unique_ptr<Win32Peer> peer = MakePeer(control);
  if (peer == nullptr || peer->Hwnd() == nullptr) return nullptr;
  peer->ApplyAll();
  return peer;
}

int TWin32Backend::MessageBox(TForm *owner, const std::string &text, const std::string &caption,
                              unsigned flags) {
  HWND ownerWnd = nullptr;
  if (owner != nullptr && owner->HandleAllocated()) {
    auto *peer = dynamic_cast<Win32Peer *>(owner->Peer());
    if (peer != nullptr && IsWindowVisible(peer->Hwnd())) ownerWnd = peer->Hwnd();
  }
  return ::MessageBoxA(ownerWnd, text.c_str(), caption.c_str(), flags);
}

bool TWin32Backend::PreTranslateMessage(MSG &msg) {
  if (msg.message < WM_KEYFIRST || msg.message > WM_KEYLAST || msg.hwnd == nullptr) return false;
  HWND root = GetAncestor(msg.hwnd, GA_ROOT);
  // A dialog's own loop hands its keys to the dialog manager; a handler that
  // pumps messages under a modal box (an automatic send's pause) must too, or
  // the box's Esc and Enter are lost.
  if (!IsOurForm(root) && !IsDialog(root)) return false;
  return IsDialogMessageA(root, &msg) != FALSE;
}

void TWin32Backend::ProcessEvents() {
  MSG msg;
  // Bounded: a window that never validates would repaint for ever.
  for (int i = 0;
       i < 256 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE | PM_QS_INPUT | PM_QS_PAINT); ++i) {
    Application->UserInput([this, &msg] {
      if (PreTranslateMessage(msg)) return;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    });
  }
}

void TWin32Backend::Run() {
  MSG msg;
  while (!Application->Terminated()) {
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) {  // WM_QUIT
      Application->Terminate();
      break;
    }
    if (got < 0) break;
    Application->UserInput([this, &msg] {
      if (PreTranslateMessage(msg)) return;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    });
  }
}

bool TWin32Backend::ChooseSaveFile(TForm *owner, const std::string &title, std::string &path) {
  char file[MAX_PATH] = {};
  OPENFILENAMEA ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner != nullptr ? HandleOf(owner) : nullptr;
  ofn.lpstrFilter = "Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";
  ofn.lpstrFile = file;
  ofn.nMaxFile = sizeof file;
  ofn.lpstrTitle = title.c_str();
  ofn.lpstrDefExt = "txt";
  // The dialog asks before an existing file is replaced.
  ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
  if (!GetSaveFileNameA(&ofn)) return false;
  path = file;
  return true;
}

bool TWin32Backend::SaveScreenshot(TForm &form, const std::string &path) {
  HWND hwnd = HandleOf(&form);
  if (hwnd == nullptr) return false;
  RedrawWindow(hwnd, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  RECT rc;
  GetWindowRect(hwnd, &rc);
  const int w = rc.right - rc.left;
  const int h = rc.bottom - rc.top;
  if (w <= 0 || h <= 0) return false;
  HDC source = GetWindowDC(hwnd);
  HDC dc = CreateCompatibleDC(source);
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void *bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (bitmap != nullptr) {
    HGDIOBJ old = SelectObject(dc, bitmap);
    // What the window and its children have drawn, frame included.
    BitBlt(dc, 0, 0, w, h, source, 0, 0, SRCCOPY);
    GdiFlush();
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    std::memcpy(pixels.data(), bits, pixels.size() * sizeof(std::uint32_t));
    SelectObject(dc, old);
    DeleteObject(bitmap);
    ok = WritePng(path, w, h, pixels);
  }
  DeleteDC(dc);
  ReleaseDC(hwnd, source);
  return ok;
}

TWin32Backend &UseWin32() {
  auto backend = std::make_unique<TWin32Backend>();
  TWin32Backend &ref = *backend;
  Application->SetBackend(std::move(backend));
  return ref;
}

HWND HandleOf(TControl *control) {
  if (control == nullptr) return nullptr;
  control->HandleNeeded();
  auto *peer = dynamic_cast<Win32Peer *>(control->Peer());
  return peer != nullptr ? peer->Hwnd() : nullptr;
}

TControl *ControlOf(HWND hwnd) {
  Win32Peer *peer = PeerOfWindow(hwnd);
  return peer != nullptr ? &peer->Control() : nullptr;
}

}  // namespace forms::win32

namespace forms {

void UseNativeBackend(int &argc, char **argv) {
  (void)argc;
  (void)argv;
  win32::UseWin32();
}

}  // namespace forms
