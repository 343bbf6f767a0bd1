// The Win32 backend with real controls: what only it can get wrong. The
// model's own rules are tested headless; here the events come from the
// standard controls themselves (BM_CLICK, CBN_SELCHANGE, WM_CHAR, EN_CHANGE)
// and the controls show what code put in the model without raising events.
#include <gtest/gtest.h>

// clang-format off
#include <windows.h>  // before the headers that build on it
#include <commctrl.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "forms/forms.h"
#include "forms/headless.h"
#include "forms/log_commands.h"
#include "forms/win32/log_view.h"
#include "forms/win32/win32_backend.h"
#include "platform/thread.h"

namespace {

using namespace forms;
using forms::win32::HandleOf;

template <class T>
T *Place(TForm *form, TWinControl *parent, int left, int top, int width, int height, int tab = -1) {
  T *control = new T(form);
  control->SetParent(parent);
  control->SetBounds(left, top, width, height);
  if constexpr (std::is_base_of_v<TWinControl, T>) {
    if (tab >= 0) control->SetTabOrder(tab);
  }
  return control;
}

// A small window with one control of every kind, nested like the real one.
class TTestForm : public TForm {
 public:
  explicit TTestForm(TComponent *owner) : TForm(owner) {
    SetCaption("Backend test");
    SetBounds(10, 10, 420, 300);
    SetBorderStyle(bsSingle);
    SetBorderIcons(biSystemMenu | biMinimize);
    SetPosition(poDesktopCenter);
    SetFont(TFont{"MS Sans Serif", -11});

    panel = Place<TPanel>(this, this, 0, 0, 160, 275, 0);
    panel->SetBevelOuter(bvNone);
    group = Place<TGroupBox>(this, panel, 5, 5, 150, 160, 0);
    label = Place<TLabel>(this, group, 8, 20, 40, 13);
    label->SetCaption("Label");
    open = Place<TButton>(this, group, 60, 120, 79, 25, 2);
    open->SetCaption("&Open Com");
    check = Place<TCheckBox>(this, group, 6, 90, 69, 17, 1);
    check->SetCaption("HEX Send");
    combo = Place<TComboBox>(this, group, 60, 13, 83, 21, 0);
    combo->Items().Assign({"Choose", "AT", "AT+NAME?"});
    combo->SetItemIndex(0);
    image = Place<TImage>(this, panel, 60, 200, 32, 32);
    image->SetPicture(TPicture(16, 16, std::vector<std::uint32_t>(256, 0xFF1F5FA8u)));

    right = Place<TPanel>(this, this, 160, 0, 260, 275, 1);
    right->SetBevelOuter(bvNone);
    log = Place<TMemo>(this, right, 0, 0, 260, 150, 0);
    log->SetReadOnly(true);
    log->SetScrollBars(ssVertical);
    send = Place<TMemo>(this, right, 0, 150, 260, 60, 1);
    send->SetScrollBars(ssVertical);
    edit = Place<TEdit>(this, right, 10, 220, 60, 21, 2);
    edit->SetMaxLength(6);
    edit->SetText("1000");
    go = Place<TButton>(this, right, 100, 220, 79, 25, 3);
    go->SetCaption("&Send");

    bar = Place<TStatusBar>(this, this, 0, 275, 420, 25);
    for (int w : {160, 120, 120, 50}) bar->Panels().Add().SetWidth(w);
    bar->Panels()[1].SetText(" Recv:0");
    bar->Panels()[2].SetText(" Send:0");
  }

  TPanel *panel, *right;
  TGroupBox *group;
  TLabel *label;
  TButton *open, *go;
  TCheckBox *check;
  TComboBox *combo;
  TImage *image;
  TMemo *log, *send;
  TEdit *edit;
  TStatusBar *bar;
};

class Win32BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application->Initialize();
    backend_ = &win32::UseWin32();
    TTestForm *f = nullptr;
    Application->CreateForm(f);
    form_ = f;
    form_->Show();
    Pump();
  }
  void TearDown() override { Application->DestroyForms(); }

  static void Pump() { Application->ProcessMessages(); }

  static std::string Text(HWND hwnd) {
    const int n = GetWindowTextLengthA(hwnd);
    std::string s(static_cast<std::size_t>(n) + 1, '\0');
    s.resize(static_cast<std::size_t>(GetWindowTextA(hwnd, s.data(), n + 1)));
    return s;
  }

  // What a user's pick in the list does: select, then tell the parent.
  static void UserPick(HWND combo, int index) {
    SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageA(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
  }

  static void Type(HWND hwnd, const std::string &chars) {
    for (unsigned char c : chars) SendMessageA(hwnd, WM_CHAR, c, 1);
  }

  win32::TWin32Backend *backend_ = nullptr;
  TTestForm *form_ = nullptr;
};

TEST_F(Win32BackendTest, WindowIsFixedSingleBorderCentredWithTheLayoutFont) {
  HWND hwnd = HandleOf(form_);
  ASSERT_NE(hwnd, nullptr);
  EXPECT_TRUE(IsWindowVisible(hwnd));
  EXPECT_EQ(Text(hwnd), "Backend test");
  const LONG_PTR style = GetWindowLongPtrA(hwnd, GWL_STYLE);
  EXPECT_NE(style & WS_CAPTION, 0);
  EXPECT_NE(style & WS_SYSMENU, 0);
  EXPECT_NE(style & WS_MINIMIZEBOX, 0);
  EXPECT_EQ(style & WS_MAXIMIZEBOX, 0);
  EXPECT_EQ(style & WS_THICKFRAME, 0);
  RECT client;
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right, 420);
  EXPECT_EQ(client.bottom, 300);
  RECT outer;
  GetWindowRect(hwnd, &outer);
  const int cx = GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN) / 2;
  const int cy = GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN) / 2;
  EXPECT_LE(std::abs((outer.left + outer.right) / 2 - cx), 1);
  EXPECT_LE(std::abs((outer.top + outer.bottom) / 2 - cy), 1);
  EXPECT_EQ(static_cast<COLORREF>(GetClassLongPtrA(hwnd, GCLP_HBRBACKGROUND)), COLOR_BTNFACE + 1u);

  // Every control takes the form's font.
  for (TControl *c : std::initializer_list<TControl *>{form_->open, form_->combo, form_->edit,
                                                       form_->label, form_->bar, form_->log}) {
    HFONT font = reinterpret_cast<HFONT>(SendMessageA(HandleOf(c), WM_GETFONT, 0, 0));
    LOGFONTA lf = {};
    ASSERT_TRUE(GetObjectA(font, sizeof lf, &lf)) << c->Name();
    EXPECT_STREQ(lf.lfFaceName, "MS Sans Serif");
    EXPECT_EQ(lf.lfHeight, -11);
  }
}

TEST_F(Win32BackendTest, ControlsAreTheStandardOnesAtTheirPlaces) {
  char cls[64];
  auto classOf = [&](TControl *c) {
    GetClassNameA(HandleOf(c), cls, sizeof cls);
    return std::string(cls);
  };
  EXPECT_EQ(classOf(form_->open), "Button");
  EXPECT_EQ(GetWindowLongPtrA(HandleOf(form_->open), GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON);
  EXPECT_EQ(GetWindowLongPtrA(HandleOf(form_->check), GWL_STYLE) & BS_TYPEMASK, BS_CHECKBOX);
  EXPECT_EQ(GetWindowLongPtrA(HandleOf(form_->group), GWL_STYLE) & BS_TYPEMASK, BS_GROUPBOX);
  EXPECT_EQ(classOf(form_->combo), "ComboBox");
  EXPECT_EQ(GetWindowLongPtrA(HandleOf(form_->combo), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
  EXPECT_EQ(classOf(form_->edit), "Edit");
  EXPECT_EQ(classOf(form_->send), "Edit");
  EXPECT_NE(GetWindowLongPtrA(HandleOf(form_->send), GWL_STYLE) & ES_MULTILINE, 0);
  EXPECT_EQ(classOf(form_->label), "Static");
  EXPECT_EQ(GetWindowLongPtrA(HandleOf(form_->image), GWL_STYLE) & SS_TYPEMASK, SS_ICON);
  EXPECT_NE(SendMessageA(HandleOf(form_->image), STM_GETICON, 0, 0), 0);
  EXPECT_EQ(classOf(form_->bar), STATUSCLASSNAMEA);
  EXPECT_EQ(classOf(form_->log), win32::LogViewClassName());

  // Child windows nest as the controls do, at the model's positions.
  EXPECT_EQ(GetParent(HandleOf(form_->open)), HandleOf(form_->group));
  EXPECT_EQ(GetParent(HandleOf(form_->group)), HandleOf(form_->panel));
  RECT rc;
  GetWindowRect(HandleOf(form_->open), &rc);
  MapWindowPoints(nullptr, HandleOf(form_->group), reinterpret_cast<POINT *>(&rc), 2);
  EXPECT_EQ(rc.left, 60);
  EXPECT_EQ(rc.top, 120);
  EXPECT_EQ(rc.right - rc.left, 79);
  EXPECT_EQ(rc.bottom - rc.top, 25);

  // Four status panels ending at 160, 280, 400 and the bar's end.
  HWND bar = HandleOf(form_->bar);
  int edges[8] = {};
  ASSERT_EQ(SendMessageA(bar, SB_GETPARTS, 8, reinterpret_cast<LPARAM>(edges)), 4);
  EXPECT_EQ(edges[0], 160);
  EXPECT_EQ(edges[1], 280);
  EXPECT_EQ(edges[2], 400);
  EXPECT_EQ(edges[3], -1);
  char text[64] = {};
  SendMessageA(bar, SB_GETTEXTA, 1, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, " Recv:0");
  form_->bar->Panels()[2].SetText(" Send:12");
  SendMessageA(bar, SB_GETTEXTA, 2, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, " Send:12");
}

TEST_F(Win32BackendTest, ButtonClicksComeFromTheControl) {
  int clicks = 0;
  form_->open->OnClick = [&](TObject *sender) {
    EXPECT_EQ(sender, form_->open);
    ++clicks;
  };
  HWND button = HandleOf(form_->open);
  SendMessageA(button, BM_CLICK, 0, 0);
  EXPECT_EQ(clicks, 1);
  // A posted click (how another program clicks) arrives through the queue.
  PostMessageA(button, BM_CLICK, 0, 0);
  Pump();
  EXPECT_EQ(clicks, 2);

  // Captions set by code reach the control, "&" and all.
  form_->open->SetCaption("&Close Com");
  EXPECT_EQ(Text(button), "&Close Com");
  form_->open->SetEnabled(false);
  EXPECT_FALSE(IsWindowEnabled(button));
  // A handler that fails reaches the application's box, and the loop goes on.
  std::vector<std::string> shown;
  form_->open->SetEnabled(true);
  form_->open->OnClick = [](TObject *) { throw std::runtime_error("broken handler"); };
  std::thread closer;
  std::atomic<bool> found{false};
  closer = std::thread([&] {
    for (int i = 0; i < 1000 && !found; ++i) {
      HWND box = FindWindowA("#32770", nullptr);
      if (box != nullptr && IsWindowVisible(box)) {
        char t[256] = {};
        GetWindowTextA(GetDlgItem(box, 0xFFFF), t, sizeof t);
        shown.push_back(t);
        found = true;
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        return;
      }
      Sleep(10);
    }
  });
  SendMessageA(button, BM_CLICK, 0, 0);
  closer.join();
  ASSERT_TRUE(found);
  EXPECT_EQ(shown.at(0), "broken handler.");
}

TEST_F(Win32BackendTest, CheckBoxFollowsTheModelWhoeverClicks) {
  std::vector<bool> seen;
  form_->check->OnClick = [&](TObject *) { seen.push_back(form_->check->Checked()); };
  HWND box = HandleOf(form_->check);
  // A click on the control: one event, box and model ticked alike.
  SendMessageA(box, BM_CLICK, 0, 0);
  EXPECT_TRUE(form_->check->Checked());
  EXPECT_EQ(SendMessageA(box, BM_GETCHECK, 0, 0), BST_CHECKED);
  // Ticked by code: the model's one event, the control shows it, and the
  // backend adds no click of its own.
  form_->check->SetChecked(false);
  EXPECT_EQ(SendMessageA(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));

  // A handler that unticks the box again (a refused tick): the control
  // ends unticked, as the model does.
  form_->check->OnClick = [&](TObject *) {
    seen.push_back(form_->check->Checked());
    if (form_->check->Checked()) form_->check->SetChecked(false);
  };
  seen.clear();
  SendMessageA(box, BM_CLICK, 0, 0);
  EXPECT_FALSE(form_->check->Checked());
  EXPECT_EQ(SendMessageA(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

TEST_F(Win32BackendTest, ListRaisesOnChangeOnlyForTheUsersPick) {
  int changes = 0;
  form_->combo->OnChange = [&](TObject *) { ++changes; };
  HWND combo = HandleOf(form_->combo);
  EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 3);
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 0);

  form_->combo->SetItemIndex(2);  // by code: shown, no event
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 2);
  EXPECT_EQ(changes, 0);

  UserPick(combo, 1);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(form_->combo->ItemIndex(), 1);
  EXPECT_EQ(form_->combo->Text(), "AT");

  // The control's own keyboard handling picks too (arrow down on the closed
  // list selects the next item and notifies).
  SendMessageA(combo, WM_KEYDOWN, VK_DOWN, 0);
  Pump();
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(form_->combo->ItemIndex(), 2);

  // New items by code replace the shown list.
  form_->combo->Items().Assign({"COM5", "COM7"});
  form_->combo->SetItemIndex(1);
  EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 2);
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 1);
  EXPECT_EQ(changes, 2);
}

TEST_F(Win32BackendTest, TypedCharactersPassTheKeyFilter) {
  HWND edit = HandleOf(form_->edit);
  std::vector<std::string> changes;
  form_->edit->OnChange = [&](TObject *) { changes.push_back(form_->edit->Text()); };
  // Digits only, and 'b' is typed as '7': the filter may also replace a key.
  form_->edit->OnKeyPress = [](TObject *, char &key) {
    if (key == 'b') key = '7';
    if (key != 8 && (key < '0' || key > '9')) key = 0;
  };
  form_->edit->SetText("");
  changes.clear();
  EXPECT_EQ(SendMessageA(edit, EM_GETLIMITTEXT, 0, 0), 6);

  Type(edit, "1x2b");
  EXPECT_EQ(Text(edit), "127");
  EXPECT_EQ(form_->edit->Text(), "127");
  EXPECT_EQ(changes, (std::vector<std::string>{"1", "12", "127"}));
  Type(edit, "\b");
  EXPECT_EQ(form_->edit->Text(), "12");

  // Text set by code: shown, one OnChange (the model's), none from the
  // control's own change notification.
  changes.clear();
  form_->edit->SetText("500");
  EXPECT_EQ(Text(edit), "500");
  EXPECT_EQ(changes, (std::vector<std::string>{"500"}));

  // Text the control got some other way (a paste, automation) reaches the
  // model as the user's edit.
  changes.clear();
  SetWindowTextA(edit, "42");
  EXPECT_EQ(form_->edit->Text(), "42");
  EXPECT_EQ(changes, (std::vector<std::string>{"42"}));
}

TEST_F(Win32BackendTest, MemoTakesEnterAsLineBreakAndLeavesTabToTheDialog) {
  HWND send = HandleOf(form_->send);
  form_->send->SetText("AT");
  SendMessageA(send, EM_SETSEL, 2, 2);
  Type(send, "\rB");
  EXPECT_EQ(form_->send->Text(), "AT\r\nB");
  MSG tab = {send, WM_KEYDOWN, VK_TAB, 0, 0, {0, 0}};
  const LRESULT code = SendMessageA(send, WM_GETDLGCODE, VK_TAB, reinterpret_cast<LPARAM>(&tab));
  EXPECT_EQ(code & (DLGC_WANTTAB | DLGC_WANTALLKEYS), 0);
  MSG enter = {send, WM_KEYDOWN, VK_RETURN, 0, 0, {0, 0}};
  EXPECT_NE(SendMessageA(send, WM_GETDLGCODE, VK_RETURN, reinterpret_cast<LPARAM>(&enter)) &
                DLGC_WANTALLKEYS,
            0);

  // Focus moves through the window in the model's tab order.
  std::vector<HWND> order;
  HWND first = GetNextDlgTabItem(HandleOf(form_), nullptr, FALSE);
  for (HWND h = first; h != nullptr && order.size() < 12;) {
    order.push_back(h);
    h = GetNextDlgTabItem(HandleOf(form_), h, FALSE);
    if (h == first) break;
  }
  const std::vector<HWND> expected = {
      HandleOf(form_->combo), HandleOf(form_->check), HandleOf(form_->open), HandleOf(form_->log),
      HandleOf(form_->send),  HandleOf(form_->edit),  HandleOf(form_->go)};
  EXPECT_EQ(order, expected);
}

// Esc in every box, as the loop hands keys to the dialog manager, and a
// WM_CLOSE sent to each control and panel (what a multi-line edit in dialog
// mode posts to its parent on Esc): every window stays, the form stays open,
// and the memo's key filter sees Esc as the character 27.
TEST_F(Win32BackendTest, EscAndStrayClosesLeaveEveryWindowStanding) {
  int closes = 0;
  form_->OnClose = [&](TObject *, TCloseAction &) { ++closes; };
  std::vector<char> memoKeys;
  form_->send->OnKeyPress = [&](TObject *, char &key) { memoKeys.push_back(key); };
  for (TControl *box : std::initializer_list<TControl *>{form_->send, form_->edit, form_->log}) {
    HWND h = HandleOf(box);
    SetFocus(h);
    PostMessageA(h, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageA(h, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001u));
    for (int i = 0; i < 3; ++i) Pump();
  }
  std::vector<TControl *> all;
  std::function<void(TWinControl &)> collect = [&](TWinControl &parent) {
    for (int i = 0; i < parent.ControlCount(); ++i) {
      all.push_back(parent.Controls(i));
      if (auto *w = dynamic_cast<TWinControl *>(parent.Controls(i))) collect(*w);
    }
  };
  collect(*form_);
  for (TControl *c : all) SendMessageA(HandleOf(c), WM_CLOSE, 0, 0);
  Pump();
  for (TControl *c : all) {
    HWND h = HandleOf(c);
    EXPECT_TRUE(IsWindow(h) && IsWindowVisible(h))
        << typeid(*c).name() << " at " << c->Left() << "," << c->Top();
  }
  EXPECT_EQ(closes, 0);
  EXPECT_TRUE(IsWindowVisible(HandleOf(form_)));
  EXPECT_EQ(memoKeys, std::vector<char>{27});
}

TEST_F(Win32BackendTest, AcceleratorsClickTheirButtons) {
  int opens = 0;
  int sends = 0;
  form_->open->OnClick = [&](TObject *) { ++opens; };
  form_->go->OnClick = [&](TObject *) { ++sends; };
  auto alt = [&](char key) {
    MSG msg = {HandleOf(form_->edit), WM_SYSCHAR, static_cast<WPARAM>(key), 1 << 29, 0, {0, 0}};
    return backend_->PreTranslateMessage(msg);
  };
  EXPECT_TRUE(alt('o'));
  EXPECT_EQ(opens, 1);
  EXPECT_TRUE(alt('S'));
  EXPECT_EQ(sends, 1);
  // The accelerator follows the caption.
  form_->open->SetCaption("&Close Com");
  alt('c');
  EXPECT_EQ(opens, 2);
  alt('o');
  EXPECT_EQ(opens, 2);
}

TEST_F(Win32BackendTest, TextRoundTripsThroughTheAnsiCodePage) {
  // The two full-width question marks as the code page renders them, and a
  // character above 127.
  auto ansi = [](const wchar_t *w) {
    char out[64] = {};
    WideCharToMultiByte(CP_ACP, 0, w, -1, out, sizeof out, nullptr, nullptr);
    return std::string(out);
  };
  const std::string pio = ansi(L"AT+PIO\xFF1F");
  const std::string name = ansi(L"AT+NAME\xFF1F");
  const std::string accent = ansi(L"caf\x00E9");
  form_->combo->Items().Assign({"AT+NAME?", pio, name, accent});
  HWND combo = HandleOf(form_->combo);
  for (int i = 0; i < 4; ++i) {
    char item[64] = {};
    SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
    EXPECT_EQ(std::string(item), form_->combo->Items().Get(i)) << i;
  }
  // The wide-character view sees the code page's characters.
  wchar_t wide[64] = {};
  SendMessageW(combo, CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(wide));
  wchar_t expected[64] = {};
  MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, expected, 64);
  EXPECT_STREQ(wide, expected);

  // A pick hands the model the item's bytes.
  UserPick(combo, 2);
  EXPECT_EQ(form_->combo->Text(), name);

  HWND send = HandleOf(form_->send);
  form_->send->SetText(accent + "\r\n" + pio);
  EXPECT_EQ(Text(send), accent + "\r\n" + pio);
  SetWindowTextW(send, L"caf\x00E9!");
  EXPECT_EQ(form_->send->Text(), accent + "!");
}

TEST_F(Win32BackendTest, LogAnswersGetTextWithItsWholeTextAndScrollsToItsEnd) {
  HWND log = HandleOf(form_->log);
  form_->log->Append("OK");
  form_->log->Lines().Add("Send Error!");
  std::string bytes("A\0B", 3);
  form_->log->Append(bytes);
  const std::string whole = form_->log->Text();
  ASSERT_EQ(SendMessageA(log, WM_GETTEXTLENGTH, 0, 0), static_cast<LRESULT>(whole.size()));
  std::vector<char> buffer(whole.size() + 1, 'x');
  const LRESULT got =
      SendMessageA(log, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
  ASSERT_EQ(got, static_cast<LRESULT>(whole.size()));
  EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(got)), whole);
  EXPECT_EQ(buffer.back(), '\0');
  // A short buffer gets the start, ended by a zero.
  char small[4] = {};
  EXPECT_EQ(SendMessageA(log, WM_GETTEXT, sizeof small, reinterpret_cast<LPARAM>(small)), 3);
  EXPECT_STREQ(small, "OK\r");
  // Through the wide-character call as well (how readers of other programs
  // ask).
  wchar_t wide[8] = {};
  SendMessageW(log, WM_GETTEXT, 8, reinterpret_cast<LPARAM>(wide));
  EXPECT_EQ(std::wstring(wide, 2), L"OK");

  // Line breaks: CR LF, a lone CR and a lone LF each end a row.
  form_->log->Clear();
  EXPECT_EQ(SendMessageA(log, WM_GETTEXTLENGTH, 0, 0), 0);
  form_->log->Append("a\r\nb\rc\nd");
  EXPECT_EQ(win32::LogViewRowCount(log), 4u);
  form_->log->Append("\r");
  form_->log->Append("\n");  // the CR LF split over two appends is one break
  EXPECT_EQ(win32::LogViewRowCount(log), 5u);

  // Many rows: the end is shown after ScrollToEnd, and SB_TOP / SB_BOTTOM
  // from outside move the view.
  for (int i = 0; i < 200; ++i) form_->log->Append("line " + std::to_string(i) + "\r\n");
  form_->log->ScrollToEnd();
  const std::size_t rows = win32::LogViewRowCount(log);
  const std::size_t visible = win32::LogViewVisibleRows(log);
  ASSERT_GT(rows, visible);
  EXPECT_EQ(win32::LogViewTopRow(log), rows - visible);
  Pump();  // the scroll bar catches up once the queue is quiet
  SCROLLINFO si = {};
  si.cbSize = sizeof si;
  si.fMask = SIF_ALL;
  GetScrollInfo(log, SB_VERT, &si);
  EXPECT_EQ(si.nPos, static_cast<int>(rows - visible));
  EXPECT_EQ(si.nMax, static_cast<int>(rows - 1));
  SendMessageA(log, WM_VSCROLL, SB_TOP, 0);
  EXPECT_EQ(win32::LogViewTopRow(log), 0u);
  SendMessageA(log, WM_VSCROLL, SB_BOTTOM, 0);
  EXPECT_EQ(win32::LogViewTopRow(log), rows - visible);
}

TEST_F(Win32BackendTest, LogAnswersTheReadOnlyEditQueriesAsAnEditBoxWould) {
  HWND log = HandleOf(form_->log);
  TMemo *memo = form_->log;
  memo->Append("AT\r\nOK\r\n+NAME:HC-05\r\n");
  auto line = [log](int index) {
    char buffer[128] = {};
    *reinterpret_cast<WORD *>(buffer) = sizeof buffer;
    const LRESULT n =
        SendMessageA(log, EM_GETLINE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer));
    return std::string(buffer, static_cast<std::size_t>(n));
  };
  // Three lines and the empty one after the last break, as in an edit box.
  EXPECT_EQ(SendMessageA(log, EM_GETLINECOUNT, 0, 0), 4);
  const LRESULT starts[] = {0, 4, 8, 21};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(SendMessageA(log, EM_LINEINDEX, i, 0), starts[i]) << i;
  EXPECT_EQ(SendMessageA(log, EM_LINEINDEX, 4, 0), -1);
  EXPECT_EQ(SendMessageA(log, EM_LINELENGTH, 0, 0), 2);
  EXPECT_EQ(SendMessageA(log, EM_LINELENGTH, 9, 0), 11);
  EXPECT_EQ(SendMessageA(log, EM_LINELENGTH, 21, 0), 0);
  EXPECT_EQ(SendMessageA(log, EM_LINEFROMCHAR, 3, 0), 0);  // the LF of the first break
  EXPECT_EQ(SendMessageA(log, EM_LINEFROMCHAR, 5, 0), 1);
  EXPECT_EQ(SendMessageA(log, EM_LINEFROMCHAR, 21, 0), 3);
  EXPECT_EQ(line(2), "+NAME:HC-05");  // no zero added
  EXPECT_EQ(line(3), "");
  EXPECT_EQ(line(7), "");

  // Selection in bytes of the text; the caret goes to the second position.
  DWORD from = 99, to = 99;
  SendMessageA(log, EM_SETSEL, 6, 4);
  EXPECT_EQ(
      SendMessageA(log, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to)),
      MAKELONG(4, 6));
  EXPECT_EQ(from, 4u);
  EXPECT_EQ(to, 6u);
  EXPECT_EQ(SendMessageA(log, EM_LINEFROMCHAR, static_cast<WPARAM>(-1), 0), 1);
  EXPECT_EQ(SendMessageA(log, EM_LINEINDEX, static_cast<WPARAM>(-1), 0), 4);  // the caret's line
  // The unselected characters on the selected lines: none here.
  EXPECT_EQ(SendMessageA(log, EM_LINELENGTH, static_cast<WPARAM>(-1), 0), 0);
  SendMessageA(log, EM_SETSEL, 0, -1);  // everything
  SendMessageA(log, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
  EXPECT_EQ(from, 0u);
  EXPECT_EQ(to, 21u);
  SendMessageA(log, EM_SETSEL, static_cast<WPARAM>(-1), 0);  // deselects, the caret stays
  SendMessageA(log, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
  EXPECT_EQ(from, 21u);
  EXPECT_EQ(to, 21u);
  SendMessageA(log, EM_SETSEL, 9, 500);  // clipped to the text
  SendMessageA(log, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
  EXPECT_EQ(to, 21u);

  // A long line wraps: its rows are lines, as in an edit box with word wrap.
  std::string longLine;
  for (int i = 0; i < 40; ++i) longLine += "word" + std::to_string(i) + " ";
  memo->Append(longLine);
  const LRESULT count = SendMessageA(log, EM_GETLINECOUNT, 0, 0);
  ASSERT_GT(count, 5);
  std::string joined;
  for (int i = 3; i < count; ++i) {
    const LRESULT start = SendMessageA(log, EM_LINEINDEX, i, 0);
    EXPECT_EQ(SendMessageA(log, EM_LINEFROMCHAR, static_cast<WPARAM>(start), 0), i);
    EXPECT_EQ(SendMessageA(log, EM_LINELENGTH, static_cast<WPARAM>(start), 0),
              static_cast<LRESULT>(line(i).size()));
    joined += line(i);
  }
  EXPECT_EQ(joined, longLine);

  // Shown timestamps are part of the text and of its positions.
  memo->SetShowTimestamps(true);
  const LRESULT length = SendMessageA(log, WM_GETTEXTLENGTH, 0, 0);
  EXPECT_EQ(length, static_cast<LRESULT>(memo->TextLength() + 4 * LogStamps::kLength));
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  SendMessageA(log, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  EXPECT_EQ(text.substr(LogStamps::kLength, 4), "AT\r\n");
  EXPECT_EQ(text[0], '[');
  EXPECT_EQ(text.substr(13, 2), "] ");
  EXPECT_EQ(SendMessageA(log, EM_LINEINDEX, 1, 0), static_cast<LRESULT>(LogStamps::kLength + 4));
  EXPECT_EQ(line(1), text.substr(LogStamps::kLength + 4, LogStamps::kLength) + "OK");

  // Find selects the match in the bytes the queries count.
  TLogCommands &commands = memo->Commands();
  TLogFindForm &find = commands.FindForm();
  find.Show();
  find.edtFind->SetText("hc-05");
  // Enter in the text box is Find Next, through the dialog manager; Esc
  // closes the window.
  const auto key = [&](WPARAM vk) {
    SetFocus(HandleOf(find.edtFind));
    PostMessageA(HandleOf(find.edtFind), WM_KEYDOWN, vk, 1);
    Pump();
  };
  key(VK_RETURN);
  SendMessageA(log, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
  EXPECT_EQ(text.substr(from, to - from), "HC-05");
  Pump();
  if (const char *dir = std::getenv("TESSAVO_SCREENSHOT_DIR")) {
    EXPECT_TRUE(SaveScreenshot(find, std::string(dir) + "/log-find-win32.png"));
  }
  key(VK_ESCAPE);
  EXPECT_FALSE(IsWindowVisible(HandleOf(&find)));
}

TEST_F(Win32BackendTest, ASaveThatCannotReplaceTheFileLeavesItAsItWas) {
  // Boxes are recorded, not shown.
  THeadlessBackend &ui = UseHeadless();
  TMemo *memo = form_->log;
  memo->Append(std::string("new\0bytes\r\n", 11));
  char dir[MAX_PATH] = {};
  GetTempPathA(sizeof dir, dir);
  const std::string path = std::string(dir) + "tessavo-locked.log";
  HANDLE old = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(old, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(old, "old", 3, &written, nullptr);
  // Held open by another program, with no sharing: it cannot be replaced.
  memo->Commands().SetBoxTitle("The system prompts");
  ASSERT_TRUE(memo->Commands().SaveTo(path));
  memo->Commands().WaitForSave();
  CloseHandle(old);
  EXPECT_NE(memo->Commands().SaveError().find(path), std::string::npos);
  ASSERT_EQ(ui.MessageBoxes().size(), 1u);
  EXPECT_EQ(ui.MessageBoxes()[0].Caption, "The system prompts");
  std::string kept(16, '\0');
  HANDLE check = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD got = 0;
  ReadFile(check, kept.data(), static_cast<DWORD>(kept.size()), &got, nullptr);
  CloseHandle(check);
  EXPECT_EQ(kept.substr(0, got), "old");
  // The new file beside it is gone.
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((std::string(dir) + "~tessavo-locked.log*").c_str(), &found);
  EXPECT_EQ(search, INVALID_HANDLE_VALUE);
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  // Once the other program lets go, the save goes through, bytes exact.
  ASSERT_TRUE(memo->Commands().SaveTo(path));
  memo->Commands().WaitForSave();
  EXPECT_EQ(memo->Commands().SaveError(), "");
  check = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  ReadFile(check, kept.data(), static_cast<DWORD>(kept.size()), &got, nullptr);
  CloseHandle(check);
  EXPECT_EQ(kept.substr(0, got), std::string("new\0bytes\r\n", 11));
  DeleteFileA(path.c_str());
}

TEST_F(Win32BackendTest, LogWrapsTheSameWhateverTheAppendSizes) {
  // A long text with long words, spaces and tabs, appended in uneven pieces,
  // lays out into the same rows as when it is set at once: appending only
  // redoes the last row.
  std::string text;
  for (int i = 0; i < 300; ++i) {
    text += (i % 7 == 0) ? "\t" : " ";
    text +=
        std::string(static_cast<std::size_t>(1 + (i * 37) % 23), static_cast<char>('a' + i % 26));
    if (i % 50 == 49) text += "\r\n";
  }
  text += std::string(500, 'Z');  // one word wider than the view
  HWND log = HandleOf(form_->log);
  form_->log->SetText(text);
  const std::size_t whole = win32::LogViewRowCount(log);
  EXPECT_GT(whole, 40u);

  form_->log->Clear();
  std::size_t at = 0;
  for (int step = 1; at < text.size(); step = step * 7 % 61 + 1) {
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(step), text.size() - at);
    form_->log->Append(std::string_view(text).substr(at, n));
    at += n;
  }
  EXPECT_EQ(win32::LogViewRowCount(log), whole);
  EXPECT_EQ(SendMessageA(log, WM_GETTEXTLENGTH, 0, 0), static_cast<LRESULT>(text.size()));
}

// A worker that asks the main thread to run something while the loop runs.
class TAsker : public platform::TThread {
 public:
  explicit TAsker(std::function<void()> fn) : TThread(false), fn_(std::move(fn)) {}
  ~TAsker() override { ReleaseThread(); }

 protected:
  void Execute() override { Synchronize(fn_); }

 private:
  std::function<void()> fn_;
};

TEST_F(Win32BackendTest, MessageBoxIsModalOwnedByTheWindowWithTitleTextAndIcon) {
  struct Seen {
    std::string title, text;
    HWND owner = nullptr;
    bool ownerEnabled = true;
    bool iconShown = false;
  } seen;
  std::atomic<bool> found{false};
  HWND form = HandleOf(form_);
  std::thread reader([&] {
    for (int i = 0; i < 1000 && !found; ++i) {
      HWND box = FindWindowA("#32770", "The system prompts");
      if (box != nullptr && IsWindowVisible(box)) {
        char t[256] = {};
        GetWindowTextA(box, t, sizeof t);
        seen.title = t;
        GetWindowTextA(GetDlgItem(box, 0xFFFF), t, sizeof t);
        seen.text = t;
        seen.owner = GetWindow(box, GW_OWNER);
        seen.ownerEnabled = IsWindowEnabled(form) != FALSE;
        for (HWND c = GetWindow(box, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
          GetClassNameA(c, t, sizeof t);
          if (std::strcmp(t, "Static") == 0 &&
              (GetWindowLongPtrA(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && IsWindowVisible(c)) {
            seen.iconShown = true;
          }
        }
        found = true;
        PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        return;
      }
      Sleep(10);
    }
  });
  const int answer = Application->MessageBox("The port does not exist or occupied",
                                             "The system prompts", MB_ICONINFORMATION);
  reader.join();
  ASSERT_TRUE(found);
  EXPECT_EQ(answer, IDOK);
  EXPECT_EQ(seen.title, "The system prompts");
  EXPECT_EQ(seen.text, "The port does not exist or occupied");
  EXPECT_EQ(seen.owner, form);
  EXPECT_FALSE(seen.ownerEnabled);
  EXPECT_TRUE(seen.iconShown);
  EXPECT_TRUE(IsWindowEnabled(form));
}

TEST_F(Win32BackendTest, EscReachesAMessageBoxAlsoWhenAHandlerUnderItPumps) {
  // An automatic send runs inside the box's own loop and pumps messages
  // (its pause after sending): the user's Esc is taken from the queue there,
  // and must still reach the box's dialog manager.
  std::atomic<bool> boxUp{false};
  std::atomic<bool> stillUp{false};
  std::thread watcher([&] {
    HWND box = nullptr;
    for (int i = 0; i < 500 && box == nullptr; ++i) {
      box = FindWindowA("#32770", "The system prompts");
      if (box != nullptr && !IsWindowVisible(box)) box = nullptr;
      if (box == nullptr) Sleep(10);
    }
    if (box == nullptr) return;
    boxUp = true;
    TAsker pumpUnderTheBox([] {
      PostMessageA(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
      PostMessageA(GetFocus(), WM_KEYUP, VK_ESCAPE, 0xC0010001);
      Application->ProcessMessages();
    });
    for (int i = 0; i < 200 && IsWindow(box); ++i) Sleep(10);
    if (IsWindow(box)) {
      stillUp = true;
      PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    }
  });
  const int answer = Application->MessageBox("Upgrade", "The system prompts", MB_ICONINFORMATION);
  watcher.join();
  ASSERT_TRUE(boxUp);
  EXPECT_FALSE(stillUp) << "Esc was lost";
  // Esc closes an OK box: Windows answers IDOK, Wine IDCANCEL.
  EXPECT_TRUE(answer == IDOK || answer == IDCANCEL) << answer;
}

TEST_F(Win32BackendTest, LoopRunsSynchronizeRequestsAndEndsWhenTheWindowCloses) {
  HWND form = HandleOf(form_);
  bool ranOnMain = false;
  int closes = 0;
  bool requestDone = false;
  form_->OnClose = [&](TObject *, TCloseAction &) {
    ++closes;
    EXPECT_TRUE(requestDone);  // the close waited for the request
  };
  TAsker asker([&] {
    ranOnMain = platform::IsMainThread();
    // Closing the window is what the user's close box does; twice, and
    // let in by a pump inside the request.
    PostMessageA(form, WM_CLOSE, 0, 0);
    PostMessageA(form, WM_CLOSE, 0, 0);
    Application->ProcessMessages();
    requestDone = true;
  });
  Application->Run();
  EXPECT_TRUE(ranOnMain);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(Application->Terminated());
  EXPECT_FALSE(IsWindowVisible(form));

  if (const char *dir = std::getenv("TESSAVO_SCREENSHOT_DIR")) {
    form_->Show();
    const std::string path = std::string(dir) + "/forms_win32_test.png";
    ASSERT_TRUE(SaveScreenshot(*form_, path));
    FILE *f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    unsigned char head[8] = {};
    EXPECT_EQ(std::fread(head, 1, 8, f), 8u);
    std::fclose(f);
    EXPECT_EQ(head[1], 'P');
  }
}

}  // namespace
