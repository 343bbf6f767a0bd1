// The real window on Qt's offscreen platform: the widgets stand where the
// layout puts them with every text readable, user picks and clicks reach the
// handlers, and a screenshot is written for people to look at.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QImage>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "app/main_form.h"
#include "app/send_thread.h"
#include "fake_registry.h"
#include "forms/log_commands.h"
#include "forms/qt/log_view.h"
#include "forms/qt/qt_backend.h"
#include "line_probe.h"
#include "platform/forwarding_api.h"
#include "platform/thread.h"
#include "test_port.h"

namespace app {
namespace {

using forms::qt::WidgetOf;

const char kMissingPort[] = "/nonexistent/tessavo-tty0";

std::string Text(QWidget *w) {
  if (auto *label = qobject_cast<QLabel *>(w)) return forms::qt::FromQt(label->text());
  if (auto *button = qobject_cast<QAbstractButton *>(w)) return forms::qt::FromQt(button->text());
  if (auto *edit = qobject_cast<QLineEdit *>(w)) return forms::qt::FromQt(edit->text());
  if (auto *combo = qobject_cast<QComboBox *>(w)) return forms::qt::FromQt(combo->currentText());
  return std::string();
}

class QtWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TestPort::Available()) {
      port_ = std::make_unique<TestPort>();
      data_.values.push_back({"good", kRegSz, port_->DevicePath()});
    }
    data_.values.push_back({"missing", kRegSz, kMissingPort});
    TfrmMain::SetPortSource(DevicePathSource(data_.Factory()));
    forms::Application->CreateForm(frmMain);
    frmMain->Show();
    forms::Application->ProcessMessages();
    backend().ClearShownBoxes();
  }
  void TearDown() override {
    forms::Application->DestroyForms();
    TfrmMain::SetPortSource(DefaultPortSource());
    port_.reset();
  }
  static forms::qt::TQtBackend &backend() {
    return static_cast<forms::qt::TQtBackend &>(forms::Application->Backend());
  }
  TfrmMain &w() { return *frmMain; }

  FakeRegistryData data_;
  std::unique_ptr<TestPort> port_;
};

TEST_F(QtWindowTest, TheWindowIsFixedCentredAndTitled) {
  QWidget *window = WidgetOf(&w());
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isWindow());
  EXPECT_EQ(window->windowTitle(), QStringLiteral("TessavoV1.5"));
  EXPECT_EQ(window->size(), QSize(691, 426));
  EXPECT_EQ(window->minimumSize(), QSize(691, 426));
  EXPECT_EQ(window->maximumSize(), QSize(691, 426));
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(window->windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(window->windowIcon().isNull());
}

TEST_F(QtWindowTest, EveryControlStandsWhereTheLayoutPutsIt) {
  struct Place {
    forms::TControl *control;
    forms::TControl *parent;
    QRect bounds;
    std::string text;  // checked when not empty
  };
  const Place places[] = {
      {w().pnlLeft, &w(), {0, 0, 164, 401}, ""},
      {w().pnlRight, &w(), {164, 0, 527, 401}, ""},
      {w().sbTitle, &w(), {0, 401, 691, 25}, ""},
      {w().gbComSetup, w().pnlLeft, {5, 5, 154, 161}, ""},
      {w().gbCommand, w().pnlLeft, {5, 166, 154, 67}, ""},
      {w().gbAutoSend, w().pnlLeft, {5, 233, 154, 80}, ""},
      {w().imgLogo, w().pnlLeft, {64, 326, 32, 32}, ""},
      {w().cbCom, w().gbComSetup, {60, 13, 83, 21}, ""},
      {w().btnOpenClose, w().gbComSetup, {62, 126, 79, 25}, "&Open Com"},
      {w().cbBaudRate, w().gbComSetup, {60, 41, 83, 21}, "9600"},
      {w().cbParity, w().gbComSetup, {60, 69, 83, 21}, "None"},
      {w().cbStop, w().gbComSetup, {60, 97, 83, 21}, "1"},
      {w().cb40AT, w().gbCommand, {60, 12, 83, 21}, "Choose"},
      {w().cb20AT, w().gbCommand, {60, 39, 83, 21}, "Choose"},
      {w().cbHEXSend, w().gbAutoSend, {6, 20, 69, 17}, "HEX Send"},
      {w().cbHexDisplay, w().gbAutoSend, {6, 50, 67, 17}, "HEX Disp"},
      {w().btnClearSend, w().gbAutoSend, {75, 13, 70, 25}, "Clear Send"},
      {w().btnClearRecv, w().gbAutoSend, {75, 45, 70, 25}, "Clear Recv"},
      {w().memLog, w().pnlRight, {0, 0, 527, 311}, ""},
      {w().memSend, w().pnlRight, {0, 311, 527, 57}, ""},
      {w().pnlBottom, w().pnlRight, {0, 368, 527, 33}, ""},
      {w().btnUpdate, w().pnlBottom, {2, 5, 79, 25}, "Upgrade"},
      {w().btnClearCount, w().pnlBottom, {95, 5, 79, 25}, "Reset counter"},
      {w().edtAutoSend, w().pnlBottom, {282, 10, 41, 21}, "1000"},
      {w().cbAutoSend, w().pnlBottom, {356, 11, 73, 17}, "Auto Send"},
      {w().btnSend, w().pnlBottom, {442, 5, 79, 25}, "&Send"},
  };
  for (const Place &p : places) {
    QWidget *widget = WidgetOf(p.control);
    ASSERT_NE(widget, nullptr) << p.control->Name();
    EXPECT_EQ(widget->parentWidget(), WidgetOf(p.parent)) << p.control->Name();
    EXPECT_EQ(widget->geometry(), p.bounds) << p.control->Name();
    EXPECT_TRUE(widget->isVisible()) << p.control->Name();
    if (!p.text.empty()) {
      EXPECT_EQ(Text(widget), p.text) << p.control->Name();
    }
  }
  // Labels sit at their place and are never narrower than their text.
  const Place labels[] = {
      {w().lbComPort, w().gbComSetup, {12, 20, 43, 13}, "Com Port"},
      {w().Label1, w().gbComSetup, {8, 47, 46, 13}, "Baud rate"},
      {w().Label2, w().gbComSetup, {12, 74, 41, 13}, "Parity Bit"},
      {w().Label3, w().gbComSetup, {16, 102, 37, 13}, "Stop Bit"},
      {w().lb40, w().gbCommand, {12, 17, 32, 13}, "4.0 AT"},
      {w().lb20, w().gbCommand, {12, 43, 32, 13}, "2.1 AT"},
      {w().lbAutoSend, w().pnlBottom, {185, 13, 94, 13}, "transmission interval"},
      {w().Label4, w().pnlBottom, {327, 13, 13, 13}, "ms"},
      {w().lbBrand, w().pnlLeft, {35, 376, 96, 13}, "Zelvane technology"},
  };
  for (const Place &p : labels) {
    auto *label = qobject_cast<QLabel *>(WidgetOf(p.control));
    ASSERT_NE(label, nullptr) << p.control->Name();
    EXPECT_EQ(label->parentWidget(), WidgetOf(p.parent)) << p.control->Name();
    EXPECT_EQ(label->pos(), p.bounds.topLeft()) << p.control->Name();
    EXPECT_GE(label->width(), p.bounds.width()) << p.control->Name();
    EXPECT_EQ(Text(label), p.text);
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
        << p.control->Name();
  }
}

TEST_F(QtWindowTest, NoTextIsClippedOrRunsIntoItsNeighbour) {
  // A label ends before the control to its right begins.
  const std::pair<forms::TControl *, forms::TControl *> rightOf[] = {
      {w().lbComPort, w().cbCom},
      {w().Label1, w().cbBaudRate},
      {w().Label2, w().cbParity},
      {w().Label3, w().cbStop},
      {w().lb40, w().cb40AT},
      {w().lb20, w().cb20AT},
      {w().lbAutoSend, w().edtAutoSend},
      {w().Label4, w().cbAutoSend},
      {w().btnClearCount, w().lbAutoSend},
      {w().cbHEXSend, w().btnClearSend},
      {w().cbHexDisplay, w().btnClearRecv}};
  for (const auto &[left, right] : rightOf) {
    QWidget *a = WidgetOf(left);
    QWidget *b = WidgetOf(right);
    const int textEnd =
        a->x() + (qobject_cast<QLabel *>(a) != nullptr
                      ? a->fontMetrics().horizontalAdvance(qobject_cast<QLabel *>(a)->text())
                      : a->width());
    EXPECT_LE(textEnd, b->x()) << left->Name() << " runs into " << right->Name();
  }
  // Buttons and check boxes have room for their text.
  for (forms::TControl *c : std::initializer_list<forms::TControl *>{
           w().btnOpenClose, w().btnClearSend, w().btnClearRecv, w().btnUpdate, w().btnClearCount,
           w().btnSend, w().cbHEXSend, w().cbHexDisplay, w().cbAutoSend}) {
    auto *button = qobject_cast<QAbstractButton *>(WidgetOf(c));
    ASSERT_NE(button, nullptr) << c->Name();
    QString shown = button->text();
    shown.remove(QLatin1Char('&'));
    int room = button->width() - 4;
    if (auto *check = qobject_cast<QCheckBox *>(button)) {
      QStyleOptionButton option;
      option.initFrom(check);
      room = check->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, check).width();
    }
    EXPECT_LE(button->fontMetrics().horizontalAdvance(shown), room) << c->Name();
  }
  // The line settings fit beside the drop-down arrow whichever is picked, and
  // so do the command lists' prompts. (The longest AT commands are wider than
  // the layout's 83-pixel lists in any font of this size.)
  for (forms::TComboBox *c : {w().cbBaudRate, w().cbParity, w().cbStop, w().cb40AT, w().cb20AT}) {
    auto *combo = qobject_cast<QComboBox *>(WidgetOf(c));
    ASSERT_NE(combo, nullptr);
    QStyleOptionComboBox option;
    option.initFrom(combo);
    const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                       QStyle::SC_ComboBoxEditField, combo);
    const bool commands = c == w().cb40AT || c == w().cb20AT;
    for (int i = 0; i < (commands ? 1 : combo->count()); ++i) {
      EXPECT_LE(combo->fontMetrics().horizontalAdvance(combo->itemText(i)), field.width())
          << c->Name() << " item " << i;
    }
  }
}

TEST_F(QtWindowTest, TheListsAndStatusBarShowTheirTexts) {
  auto *combo = qobject_cast<QComboBox *>(WidgetOf(w().cb20AT));
  ASSERT_NE(combo, nullptr);
  ASSERT_EQ(combo->count(), 37);
  EXPECT_EQ(combo->itemText(13), QString::fromUtf8("AT+PIO\xEF\xBC\x9F"));
  EXPECT_EQ(combo->itemText(14), QString::fromUtf8("AT+NAME\xEF\xBC\x9F"));
  EXPECT_EQ(combo->itemText(2), QStringLiteral("AT+NAME?"));
  auto *baud = qobject_cast<QComboBox *>(WidgetOf(w().cbBaudRate));
  ASSERT_EQ(baud->count(), 10);
  EXPECT_EQ(baud->currentIndex(), 3);
  EXPECT_EQ(baud->itemText(9), QStringLiteral("230400"));
  EXPECT_EQ(qobject_cast<QLineEdit *>(WidgetOf(w().edtAutoSend))->maxLength(), 6);

  // The port list keeps its 83 pixels, but its drop-down opens as wide as its
  // longest path, and the list and each item show the whole path on hover.
  const std::string longPath = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  w().cbCom->Items().Add(longPath);
  auto *ports = qobject_cast<QComboBox *>(WidgetOf(w().cbCom));
  ASSERT_NE(ports, nullptr);
  // Whatever the style (some widen a drop-down on their own, some never do).
  for (const QString &name : QStyleFactory::keys()) {
    std::unique_ptr<QStyle> style(QStyleFactory::create(name));
    ports->setStyle(style.get());
    ports->showPopup();
    QAbstractItemView *list = ports->view();
    const int margin = list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
    for (int i = 0; i < ports->count(); ++i) {
      EXPECT_GE(list->viewport()->width(),
                list->fontMetrics().horizontalAdvance(ports->itemText(i)) + 2 * margin)
          << name.toStdString() << " item " << i;
    }
    ports->hidePopup();
    ports->setStyle(QApplication::style());
  }
  for (int i = 0; i < ports->count(); ++i) {
    EXPECT_EQ(ports->itemData(i, Qt::ToolTipRole).toString(), ports->itemText(i)) << i;
  }
  EXPECT_EQ(ports->size(), QSize(83, 21));
  EXPECT_EQ(ports->toolTip(), ports->currentText());

  // The status bar's panels are labels with the exact texts, at their edges.
  QWidget *bar = WidgetOf(w().sbTitle);
  std::vector<QLabel *> panels;
  for (QLabel *l : bar->findChildren<QLabel *>()) panels.push_back(l);
  std::sort(panels.begin(), panels.end(), [](QLabel *a, QLabel *b) { return a->x() < b->x(); });
  ASSERT_EQ(panels.size(), 4u);
  EXPECT_EQ(panels[0]->text(), QStringLiteral("www.zelvane.example"));
  EXPECT_EQ(panels[1]->text(), QStringLiteral(" Recv:0"));
  EXPECT_EQ(panels[2]->text(), QStringLiteral(" Send:0"));
  EXPECT_EQ(panels[3]->text(), QStringLiteral(" Korrin perfect support IOS, Android, PC"));
  EXPECT_TRUE(panels[0]->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(panels[0]->layoutDirection(), Qt::RightToLeft);
  EXPECT_GE(panels[1]->x(), 160);
  EXPECT_GE(panels[2]->x(), 280);
  EXPECT_GE(panels[3]->x(), 400);
  EXPECT_GE(panels[3]->x() + panels[3]->width(), 691 - 4);
}

TEST_F(QtWindowTest, TheFocusMovesInTheLayoutsTabOrder) {
  std::vector<QWidget *> expected;
  for (forms::TControl *c : std::initializer_list<forms::TControl *>{
           w().cbCom, w().btnOpenClose, w().cbBaudRate, w().cbParity, w().cbStop, w().cb40AT,
           w().cb20AT, w().cbHEXSend, w().cbHexDisplay, w().btnClearSend, w().btnClearRecv,
           w().memLog, w().memSend, w().btnSend, w().cbAutoSend, w().edtAutoSend, w().btnUpdate,
           w().btnClearCount}) {
    expected.push_back(WidgetOf(c));
  }
  std::vector<QWidget *> chain;
  QWidget *at = expected.front();
  do {
    if ((at->focusPolicy() & Qt::TabFocus) && at->isVisibleTo(WidgetOf(&w()))) {
      // A composite widget may hand focus to its inner part; count the control.
      chain.push_back(at);
    }
    at = at->nextInFocusChain();
  } while (at != expected.front() && chain.size() < 64);
  std::vector<QWidget *> controls;
  for (QWidget *wdg : chain) {
    if (std::find(expected.begin(), expected.end(), wdg) != expected.end()) controls.push_back(wdg);
  }
  EXPECT_EQ(controls, expected);
}

TEST_F(QtWindowTest, PickingFromAListReachesThePortComponent) {
  auto *baud = qobject_cast<QComboBox *>(WidgetOf(w().cbBaudRate));
  baud->setFocus();
  QTest::keyClick(baud, Qt::Key_Down);
  forms::Application->ProcessMessages();
  EXPECT_EQ(baud->currentText(), QStringLiteral("14400"));
  EXPECT_EQ(w().ComPort->BaudRate(), 14400u);

  auto *stop = qobject_cast<QComboBox *>(WidgetOf(w().cbStop));
  QTest::keyClick(stop, Qt::Key_Down);
  EXPECT_EQ(w().ComPort->StopBits(), comm::TStopBits::_2);

  auto *ports = qobject_cast<QComboBox *>(WidgetOf(w().cbCom));
  ASSERT_EQ(ports->count(), static_cast<int>(data_.values.size()));
  EXPECT_EQ(w().ComPort->CommName(), data_.values[0].data);
  if (ports->count() > 1) {
    QTest::keyClick(ports, Qt::Key_Down);
    EXPECT_EQ(w().ComPort->CommName(), kMissingPort);
  }
  EXPECT_TRUE(backend().ShownBoxes().empty());
}

TEST_F(QtWindowTest, OpenAndCloseByClickingTheButton) {
  if (!port_) GTEST_SKIP() << "no serial pair on this machine";
  LineProbe probe(port_->DevicePath());
  // Opening also starts auto-send; held back here, so that no send queued
  // before the close asks for an open port.
  w().AutoSendThread()->Suspend();
  auto *button = qobject_cast<QPushButton *>(WidgetOf(w().btnOpenClose));
  QTest::mouseClick(button, Qt::LeftButton);
  forms::Application->ProcessMessages();
  EXPECT_EQ(button->text(), QStringLiteral("&Close Com"));
  EXPECT_NE(w().ComPort->DeviceHandle(), nullptr);
  if (probe.Ok()) {
    EXPECT_EQ(probe.Baud(), 9600u);
  }
  QTest::mouseClick(button, Qt::LeftButton);
  forms::Application->ProcessMessages();
  EXPECT_EQ(button->text(), QStringLiteral("&Open Com"));
  EXPECT_EQ(w().ComPort->DeviceHandle(), nullptr);
  EXPECT_TRUE(backend().ShownBoxes().empty());

  // A port that cannot be opened: one modal box on the window.
  auto *ports = qobject_cast<QComboBox *>(WidgetOf(w().cbCom));
  QTest::keyClick(ports, Qt::Key_Down);
  ASSERT_EQ(w().ComPort->CommName(), kMissingPort);
  QTest::mouseClick(button, Qt::LeftButton);
  forms::Application->ProcessMessages();
  ASSERT_EQ(backend().ShownBoxes().size(), 1u);
  const forms::qt::TShownMessageBox &box = backend().ShownBoxes()[0];
  EXPECT_EQ(box.Text, "The port does not exist or occupied");
  EXPECT_EQ(box.Title, "The system prompts");
  EXPECT_EQ(box.Icon, static_cast<int>(QMessageBox::Information));
  EXPECT_TRUE(box.Modal);
  EXPECT_EQ(box.Parent, WidgetOf(&w()));
  EXPECT_EQ(button->text(), QStringLiteral("&Open Com"));
}

TEST_F(QtWindowTest, KeyFiltersAndCountersWorkThroughTheRealWidgets) {
  auto *send = qobject_cast<QPlainTextEdit *>(WidgetOf(w().memSend));
  ASSERT_NE(send, nullptr);
  QTest::mouseClick(qobject_cast<QCheckBox *>(WidgetOf(w().cbHEXSend)), Qt::LeftButton);
  forms::Application->ProcessMessages();
  EXPECT_TRUE(w().cbHEXSend->Checked());
  EXPECT_EQ(send->toPlainText(), QString());
  send->setFocus();
  QTest::keyClicks(send, "4g1 zF");
  QTest::keyClick(send, Qt::Key_Return);
  forms::Application->ProcessMessages();
  EXPECT_EQ(w().memSend->Text(), "41F");
  EXPECT_EQ(send->toPlainText(), QStringLiteral("41F"));

  auto *interval = qobject_cast<QLineEdit *>(WidgetOf(w().edtAutoSend));
  interval->setFocus();
  interval->selectAll();
  QTest::keyClicks(interval, "x2-y5");
  forms::Application->ProcessMessages();
  EXPECT_EQ(w().edtAutoSend->Text(), "25");
  EXPECT_EQ(interval->text(), QStringLiteral("25"));

  // Every box gets the characters the Windows program's boxes get: a Ctrl
  // chord as its control character (Ctrl+V is 0x16; the filter decides
  // whether it pastes), composed text one character at a time, and an Alt
  // chord that no accelerator takes ("&Open Com" has no Alt+C) types nothing.
  const auto key = [](Qt::Key k, Qt::KeyboardModifiers mods) {
    return [k, mods](QWidget *box) { QTest::keyClick(box, k, mods); };
  };
  const auto compose = [](const char *text) {
    return [text](QWidget *box) {
      QInputMethodEvent ime;
      ime.setCommitString(QString::fromUtf8(text));
      QCoreApplication::sendEvent(box, &ime);
    };
  };
  struct Row {
    const char *what;
    forms::TCustomEdit *box;
    bool hex;
    const char *clipboard;
    std::function<void(QWidget *)> act;
    std::string before, after;
  };
  const Row rows[] = {
      {"Ctrl+V, hex", w().memSend, true, "zz,99", key(Qt::Key_V, Qt::ControlModifier), "41", "41"},
      {"Ctrl+V, interval", w().edtAutoSend, false, "x7", key(Qt::Key_V, Qt::ControlModifier), "25",
       "25"},
      {"Ctrl+V, text", w().memSend, false, "zz,99", key(Qt::Key_V, Qt::ControlModifier), "AT",
       "ATzz,99"},
      {"Shift+Insert, interval", w().edtAutoSend, false, "12345678",
       key(Qt::Key_Insert, Qt::ShiftModifier), "", "123456"},
      {"composed, hex", w().memSend, true, "", compose("4g5"), "41", "4145"},
      {"composed, interval", w().edtAutoSend, false, "", compose("7x"), "25", "257"},
      {"Alt+C, text", w().memSend, false, "", key(Qt::Key_C, Qt::AltModifier), "AT", "AT"},
      {"Alt+C, hex", w().memSend, true, "", key(Qt::Key_C, Qt::AltModifier), "41", "41"},
      {"Alt+1, interval", w().edtAutoSend, false, "", key(Qt::Key_1, Qt::AltModifier), "25", "25"},
      {"Alt+C, log", w().memLog, false, "", key(Qt::Key_C, Qt::AltModifier), "OK", "OK"},
      // Ctrl+A still selects all (on the key-down, as on Windows): typing replaces it.
      {"Ctrl+A 7, interval", w().edtAutoSend, false, "",
       [](QWidget *box) {
         QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
         QTest::keyClick(box, Qt::Key_7);
       },
       "25", "7"},
  };
  for (const Row &row : rows) {
    w().cbHEXSend->SetChecked(row.hex);
    QGuiApplication::clipboard()->setText(QString::fromUtf8(row.clipboard));
    row.box->SetText(row.before);
    QWidget *box = WidgetOf(row.box);
    box->setFocus();
    row.act(box);
    forms::Application->ProcessMessages();
    EXPECT_EQ(row.box->Text(), row.after) << row.what;
  }
  EXPECT_EQ(send->toPlainText(), QStringLiteral("41"));
  EXPECT_EQ(interval->text(), QStringLiteral("7"));
  EXPECT_TRUE(backend().ShownBoxes().empty());

  w().AddRecvCount(3000000000LL);
  w().AddSendCount(41);
  forms::Application->ProcessMessages();
  std::vector<std::string> texts;
  for (QLabel *l : WidgetOf(w().sbTitle)->findChildren<QLabel *>()) texts.push_back(Text(l));
  EXPECT_NE(std::find(texts.begin(), texts.end(), " Recv:3000000000"), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(), " Send:41"), texts.end());
}

// The Sleep of the window's pauses, with a hook that runs as one begins.
class PauseApi : public platform::ForwardingOsApi {
 public:
  void Sleep(DWORD milliseconds) override {
    if (onMainThreadSleep && platform::IsMainThread()) onMainThreadSleep(milliseconds);
    ForwardingOsApi::Sleep(milliseconds);
  }
  std::function<void(DWORD)> onMainThreadSleep;
};

// The program's own loop serves the auto-send thread's sends, and the window
// manager's close ends it with auto-send running, ticked or not, also when
// the close comes in while a send pauses (it then waits for that send).
TEST_F(QtWindowTest, AutoSendRunsInTheMainLoopUntilTheWindowCloses) {
  if (!port_) GTEST_SKIP() << "no serial pair on this machine";
  PauseApi api;
  forms::Application->SetApi(api);
  struct Restore {
    ~Restore() {
      forms::Application->DestroyForms();  // their ports hold the api
      forms::Application->SetApi(platform::DefaultOsApi());
    }
  } restore;
  for (bool ticked : {true, false}) {
    if (!ticked) {
      forms::Application->DestroyForms();
      forms::Application->CreateForm(frmMain);
    }
    w().Show();
    w().edtAutoSend->SetText("20");
    w().btnOpenClose->Click();
    w().cbAutoSend->SetChecked(ticked);
    auto sent = [this] {
      const std::string text = w().sbTitle->Panels()[2].Text();
      return std::stoll(text.substr(text.find(':') + 1));
    };
    QWindow *window = WidgetOf(&w())->windowHandle();
    ASSERT_NE(window, nullptr);
    bool closeInsideSend = false;
    bool closing = false;
    api.onMainThreadSleep = [&](DWORD ms) {
      if (ms != 100 || sent() < 8 || closing) return;
      closing = true;
      // Delivered by the pump that follows this pause.
      QMetaObject::invokeMethod(
          window,
          [&closeInsideSend, window] {
            closeInsideSend = forms::Application->HandlerRunning();
            window->close();
          },
          Qt::QueuedConnection);
    };
    QTimer::singleShot(20000, window, [window] { window->close(); });  // never needed
    forms::Application->Run();
    api.onMainThreadSleep = nullptr;
    EXPECT_TRUE(closeInsideSend) << ticked;
    EXPECT_GE(sent(), 8) << ticked;
    EXPECT_FALSE(WidgetOf(&w())->isVisible()) << ticked;
    EXPECT_EQ(w().ComPort->DeviceHandle(), nullptr) << ticked;
    EXPECT_EQ(w().AutoSendThread() == nullptr, ticked);
    char buffer[8];
    EXPECT_EQ(port_->PeerRead(buffer, sizeof buffer, 10000), sizeof buffer) << ticked;
    port_->PeerDrain(100);
  }
}

TEST_F(QtWindowTest, TheLogsMenuTimestampsAndFindWorkInTheRealWindow) {
  auto *log = qobject_cast<forms::qt::LogView *>(forms::qt::WidgetOf(w().memLog));
  ASSERT_NE(log, nullptr);
  for (const char *chunk : {"OK\r\n", "OK+Get:TESS-BLE\r\n", "OK+Set:9600\r\n"}) {
    w().ComPortReceiveData(w().ComPort, const_cast<char *>(chunk),
                           static_cast<std::uint16_t>(std::strlen(chunk)));
  }
  // The menu's last item shows the time before each line.
  std::unique_ptr<QMenu> menu(log->CreateContextMenu(log));
  ASSERT_EQ(menu->actions().size(), 8);
  menu->actions()[7]->trigger();
  QCoreApplication::processEvents();
  const QStringList lines = log->Text().split(QLatin1Char('\n'));
  ASSERT_EQ(lines.size(), 4);  // three lines and the empty one after the last break
  const QRegularExpression stamped(QStringLiteral(R"(^\[\d\d:\d\d:\d\d\.\d\d\d\] OK)"));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(stamped.match(lines[i]).hasMatch()) << i;
  // Ctrl+F in the log opens the find window; Find Next selects the match.
  log->setFocus();
  QTest::keyClick(log, Qt::Key_F, Qt::ControlModifier);
  QCoreApplication::processEvents();
  forms::TLogFindForm &find = w().memLog->Commands().FindForm();
  ASSERT_TRUE(find.Visible());
  find.edtFind->SetText("tess-ble");
  find.btnNext->UserClick();
  EXPECT_EQ(log->SelectedText(), "TESS-BLE");
  if (const char *dir = std::getenv("TESSAVO_SCREENSHOT_DIR")) {
    const QString folder = QString::fromLocal8Bit(dir);
    forms::qt::WidgetOf(&w())->grab().save(folder + "/tessavo-log-stamps.png");
    forms::qt::WidgetOf(&find)->grab().save(folder + "/tessavo-log-find.png");
    menu.reset(log->CreateContextMenu(log));
    menu->popup(log->mapToGlobal(QPoint(60, 30)));
    QCoreApplication::processEvents();
    menu->grab().save(folder + "/tessavo-log-menu.png");
    menu->hide();
  }
  find.Hide();
  w().memLog->SetShowTimestamps(false);
}

TEST_F(QtWindowTest, WritesAScreenshot) {
  const char *dir = std::getenv("TESSAVO_SCREENSHOT_DIR");
  const std::string path = std::string(dir != nullptr ? dir : ".") + "/tessavo-main.png";
  ASSERT_TRUE(forms::SaveScreenshot(w(), path));
  QImage shot(QString::fromStdString(path));
  ASSERT_FALSE(shot.isNull());
  EXPECT_EQ(shot.size(), QSize(691, 426));
}

}  // namespace
}  // namespace app

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  forms::Application->Initialize();
  forms::qt::UseQt(argc, argv).SetAutoCloseBoxes(true);
  forms::Application->SetIcon(app::TfrmMain::LogoPicture());
  return RUN_ALL_TESTS();
}
