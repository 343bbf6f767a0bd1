// The Qt backend on the offscreen platform: real widget input becomes the
// model's events, model changes reach the widgets without user events, and
// the Qt loop pumps the platform's main-thread queue.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "forms/forms.h"
#include "forms/qt/log_view.h"
#include "forms/qt/qt_backend.h"
#include "platform/thread.h"

using namespace forms;
using forms::qt::WidgetOf;

namespace {

template <class W>
W *As(TControl *control) {
  W *w = qobject_cast<W *>(WidgetOf(control));
  EXPECT_NE(w, nullptr);
  return w;
}

class TQtForm : public TForm {
 public:
  explicit TQtForm(TComponent *owner) : TForm(owner) {
    SetCaption("Probe");
    SetClientWidth(691);
    SetClientHeight(426);
    SetBorderStyle(bsSingle);
    SetBorderIcons(biSystemMenu | biMinimize);
    SetPosition(poScreenCenter);
    group = new TGroupBox(this);
    group->SetParent(this);
    group->SetBounds(5, 5, 154, 161);
    combo = new TComboBox(this);
    combo->SetParent(group);
    combo->SetBounds(60, 41, 83, 21);
    combo->Items().Assign({"1200", "2400", "4800", "9600"});
    combo->SetItemIndex(3);
    check = new TCheckBox(this);
    check->SetParent(group);
    check->SetBounds(6, 20, 69, 17);
    check->SetCaption("HEX Send");
    button = new TButton(this);
    button->SetParent(group);
    button->SetBounds(62, 126, 79, 25);
    button->SetCaption("&Open Com");
    label = new TLabel(this);
    label->SetParent(group);
    label->SetBounds(12, 20, 43, 13);
    label->SetCaption("Com Port");
    edit = new TEdit(this);
    edit->SetParent(this);
    edit->SetBounds(282, 10, 41, 21);
    edit->SetMaxLength(6);
    memo = new TMemo(this);
    memo->SetParent(this);
    memo->SetBounds(164, 40, 527, 100);
    memo->SetScrollBars(ssVertical);
    log = new TMemo(this);
    log->SetParent(this);
    log->SetBounds(164, 150, 527, 200);
    log->SetReadOnly(true);
    log->SetScrollBars(ssVertical);
    bar = new TStatusBar(this);
    bar->SetParent(this);
    bar->SetBounds(0, 401, 691, 25);
    const std::vector<std::pair<int, std::string>> panels = {
        {160, "zelvane.example"}, {120, " Recv:0"}, {120, " Send:0"}, {50, " Korrin"}};
    for (const auto &p : panels) {
      TStatusPanel &panel = bar->Panels().Add();
      panel.SetWidth(p.first);
      panel.SetText(p.second);
    }
    bar->Panels()[0].SetAlignment(taCenter);
    bar->Panels()[0].SetBiDiMode(bdRightToLeft);
  }
  TGroupBox *group;
  TComboBox *combo;
  TCheckBox *check;
  TButton *button;
  TLabel *label;
  TEdit *edit;
  TMemo *memo;
  TMemo *log;
  TStatusBar *bar;
};

class QtFormsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qtui = &forms::qt::UseQt(argc_, argv_);
    qtui->SetAutoCloseBoxes(true);
    Application->SetExeName("/usr/bin/tessavo");
    Application->CreateForm(form);
    form->Show();
  }
  void TearDown() override { Application->DestroyForms(); }

  static int argc_;
  static char **argv_;
  forms::qt::TQtBackend *qtui = nullptr;
  TQtForm *form = nullptr;

 public:
  static void SetArgs(int argc, char **argv) {
    argc_ = argc;
    argv_ = argv;
  }
};
int QtFormsTest::argc_ = 0;
char **QtFormsTest::argv_ = nullptr;

TEST_F(QtFormsTest, ComboActivationRaisesChangeAndCodeSelectionDoesNot) {
  int changes = 0;
  form->combo->OnChange = [&](TObject *) { ++changes; };
  QComboBox *combo = As<QComboBox>(form->combo);
  ASSERT_EQ(combo->count(), 4);
  EXPECT_EQ(combo->currentText(), "9600");

  form->combo->SetItemIndex(1);
  EXPECT_EQ(combo->currentIndex(), 1);
  EXPECT_EQ(changes, 0);

  // A keyboard pick on the closed list is a real activation.
  combo->setFocus();
  QTest::keyClick(combo, Qt::Key_Down);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(form->combo->ItemIndex(), 2);
  EXPECT_EQ(form->combo->Text(), "4800");

  // A handler that moves the selection back is shown as the model has it.
  form->combo->OnChange = [&](TObject *) { form->combo->SetItemIndex(0); };
  QTest::keyClick(combo, Qt::Key_Down);
  EXPECT_EQ(combo->currentIndex(), 0);

  form->combo->Items().Add("19200");
  EXPECT_EQ(combo->count(), 5);
  EXPECT_EQ(combo->itemText(4), "19200");
}

TEST_F(QtFormsTest, CheckBoxClicksToggleTheModelAndCodeChangesReachTheWidget) {
  std::vector<bool> seen;
  form->check->OnClick = [&](TObject *) { seen.push_back(form->check->Checked()); };
  QCheckBox *check = As<QCheckBox>(form->check);
  EXPECT_EQ(check->text(), "HEX Send");
  QTest::mouseClick(check, Qt::LeftButton);
  EXPECT_TRUE(form->check->Checked());
  EXPECT_TRUE(check->isChecked());
  form->check->SetChecked(false);
  EXPECT_FALSE(check->isChecked());
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));  // once each, never twice

  int clicks = 0;
  form->button->OnClick = [&](TObject *) { ++clicks; };
  QPushButton *button = As<QPushButton>(form->button);
  EXPECT_EQ(button->text(), "&Open Com");
  QTest::mouseClick(button, Qt::LeftButton);
  form->button->SetEnabled(false);
  EXPECT_FALSE(button->isEnabled());
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(clicks, 1);
}

TEST_F(QtFormsTest, KeyFilterRunsBeforeARealLineEditOrTextEditInsertsTheKey) {
  std::vector<int> keys;
  auto hexOnly = [&](TObject *, char &key) {
    keys.push_back(static_cast<unsigned char>(key));
    const bool hex = (key >= '0' && key <= '9') || (key >= 'A' && key <= 'F') ||
                     (key >= 'a' && key <= 'f') || key == '\b';
    if (!hex) key = 0;
  };
  form->edit->OnKeyPress = hexOnly;
  int changes = 0;
  form->edit->OnChange = [&](TObject *) { ++changes; };
  QLineEdit *edit = As<QLineEdit>(form->edit);
  edit->setFocus();
  QTest::keyClicks(edit, "1x2");
  QTest::keyClick(edit, Qt::Key_Backspace);
  EXPECT_EQ(edit->text(), "1");
  EXPECT_EQ(form->edit->Text(), "1");
  EXPECT_EQ(changes, 3);
  EXPECT_EQ(keys, (std::vector<int>{'1', 'x', '2', 8}));
  QTest::keyClicks(edit, "2345678");  // six at most
  EXPECT_EQ(form->edit->Text(), "123456");
  form->edit->SetText("77");
  EXPECT_EQ(edit->text(), "77");

  form->memo->OnKeyPress = hexOnly;
  QPlainTextEdit *memo = As<QPlainTextEdit>(form->memo);
  memo->setFocus();
  QTest::keyClicks(memo, "A g");
  QTest::keyClick(memo, Qt::Key_Return);  // 13 is not hex: dropped
  QTest::keyClicks(memo, "b");
  EXPECT_EQ(memo->toPlainText(), "Ab");
  EXPECT_EQ(form->memo->Text(), "Ab");
  form->memo->OnKeyPress = nullptr;
  QTest::keyClick(memo, Qt::Key_Return);
  QTest::keyClicks(memo, "c");
  EXPECT_EQ(form->memo->Text(), "Ab\r\nc");
  form->memo->SetText("AT\r\nOK");
  EXPECT_EQ(memo->toPlainText(), "AT\nOK");
}

TEST_F(QtFormsTest, WidgetsSitExactlyWhereTheModelPutsThem) {
  QWidget *window = WidgetOf(form);
  EXPECT_EQ(window->size(), QSize(691, 426));
  EXPECT_EQ(window->minimumSize(), window->maximumSize());  // cannot be resized
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_EQ(window->windowTitle(), "Probe");
  EXPECT_TRUE(window->isVisible());

  EXPECT_EQ(WidgetOf(form->combo)->geometry(), QRect(60, 41, 83, 21));
  EXPECT_EQ(WidgetOf(form->combo)->parentWidget(), WidgetOf(form->group));
  EXPECT_EQ(WidgetOf(form->button)->geometry(), QRect(62, 126, 79, 25));
  EXPECT_EQ(WidgetOf(form->edit)->geometry(), QRect(282, 10, 41, 21));
  form->button->SetBounds(2, 5, 79, 25);
  EXPECT_EQ(WidgetOf(form->button)->geometry(), QRect(2, 5, 79, 25));
  form->button->SetVisible(false);
  EXPECT_FALSE(WidgetOf(form->button)->isVisibleTo(window));

  // The layout font: "Com Port" fits the 43 pixels it was laid out in, and
  // a label never clips its text.
  QLabel *label = As<QLabel>(form->label);
  EXPECT_LE(QFontMetrics(label->font()).horizontalAdvance("Com Port"), 43);
  form->label->SetCaption("a much longer caption than 43 pixels");
  EXPECT_GE(label->width(), QFontMetrics(label->font()).horizontalAdvance(label->text()));
}

TEST_F(QtFormsTest, StatusPanelsAreLabelsWithExactTexts) {
  QWidget *bar = WidgetOf(form->bar);
  std::vector<QLabel *> panels;
  for (QLabel *l : bar->findChildren<QLabel *>()) panels.push_back(l);
  ASSERT_EQ(panels.size(), 4u);
  std::sort(panels.begin(), panels.end(), [](QLabel *a, QLabel *b) { return a->x() < b->x(); });
  EXPECT_EQ(panels[0]->text(), "zelvane.example");
  EXPECT_TRUE(panels[0]->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(panels[0]->layoutDirection(), Qt::RightToLeft);
  EXPECT_EQ(panels[1]->text(), " Recv:0");
  EXPECT_EQ(panels[1]->x(), 160);
  EXPECT_EQ(panels[2]->x(), 280);
  EXPECT_EQ(panels[3]->x(), 400);
  EXPECT_EQ(panels[3]->x() + panels[3]->width(), 691);
  form->bar->Panels()[1].SetText(" Recv:1024");
  EXPECT_EQ(panels[1]->text(), " Recv:1024");
}

TEST_F(QtFormsTest, MessageBoxesAreModalOwnedByTheMainWindowWithTheirIcon) {
  form->button->OnClick = [](TObject *) { throw platform::Exception("Port failed"); };
  QTest::mouseClick(As<QPushButton>(form->button), Qt::LeftButton);
  Application->MessageBox("Welcome", "The system prompts", MB_ICONINFORMATION);
  Application->MessageBox("Please configure and open serial port", "The system prompts", MB_OK);
  const auto &boxes = qtui->ShownBoxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].Text, "Port failed.");
  EXPECT_EQ(boxes[0].Title, "tessavo");
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Critical);
  EXPECT_EQ(boxes[1].Icon, QMessageBox::Information);
  EXPECT_EQ(boxes[2].Icon, QMessageBox::NoIcon);
  EXPECT_EQ(boxes[2].Title, "The system prompts");
  for (const auto &box : boxes) {
    EXPECT_TRUE(box.Modal);
    EXPECT_EQ(box.Parent, WidgetOf(form));
  }
}

TEST_F(QtFormsTest, LogShowsAppendedBytesWholeAndScrollsToItsEnd) {
  auto *log = As<forms::qt::LogView>(form->log);
  // "é" split across two chunks, a CR LF split across two more, a zero byte.
  form->log->Append("caf\xC3");
  form->log->Append("\xA9\r");
  form->log->Append(std::string("\nOK\0!", 5));
  EXPECT_EQ(log->Text(), QString::fromUtf8("café\nOK\u2400!"));
  for (int i = 0; i < 200; ++i) form->log->Lines().Add("line " + std::to_string(i));
  form->log->ScrollToEnd();
  log->Flush();  // the view takes it in at its next frame
  QScrollBar *scroll = log->verticalScrollBar();
  EXPECT_GT(scroll->maximum(), 0);
  EXPECT_EQ(scroll->value(), scroll->maximum());
  form->log->Clear();
  EXPECT_EQ(log->Text(), "");
}

TEST_F(QtFormsTest, TheQtLoopPumpsThePlatformQueueAndEndsWhenTheMainFormCloses) {
  platform::OsApi &api = Application->Api();
  int dispatched = 0;
  bool onMain = false;
  HWND wnd = api.AllocateHWnd([&](HWND w, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
    if (msg == WM_USER + 3) {
      onMain = platform::IsMainThread();
      if (++dispatched == 2) form->Close();
    }
    return api.DefWindowProcA(w, msg, wp, lp);
  });
  ASSERT_NE(wnd, nullptr);
  std::thread poster([&] {
    api.Sleep(20);
    api.PostMessageA(wnd, WM_USER + 3, 0, 0);
    api.PostMessageA(wnd, WM_USER + 3, 0, 0);
  });
  // Never hang the suite: a loop that misses the messages ends here and
  // the count below tells.
  QTimer::singleShot(60000, [] { Application->Terminate(); });
  Application->Run();
  poster.join();
  EXPECT_EQ(dispatched, 2);
  EXPECT_TRUE(onMain);
  EXPECT_FALSE(WidgetOf(form)->isVisible());
  api.DeallocateHWnd(wnd);
}

TEST_F(QtFormsTest, ClosingTheWindowAsksTheModel) {
  TCloseAction answer = caNone;
  form->OnClose = [&](TObject *, TCloseAction &action) { action = answer; };
  QWidget *window = WidgetOf(form);
  window->close();
  EXPECT_TRUE(window->isVisible());
  answer = caHide;
  window->close();
  EXPECT_FALSE(window->isVisible());
  EXPECT_TRUE(Application->Terminated());
}

TEST_F(QtFormsTest, ScreenshotIsWritten) {
  const char *dir = std::getenv("TESSAVO_SCREENSHOT_DIR");
  const std::string path = std::string(dir != nullptr ? dir : ".") + "/forms_qt_probe.png";
  ASSERT_TRUE(SaveScreenshot(*form, path));
  QImage image(QString::fromStdString(path));
  EXPECT_EQ(image.size(), QSize(691, 426));
}

}  // namespace

int main(int argc, char **argv) {
  QtFormsTest::SetArgs(argc, argv);
  forms::qt::UseQt(argc, argv);
  Application->Initialize();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
