// End to end on Linux: the program's real window on the Qt backend (offscreen)
// with the port list the program itself reads, against the AT module
// simulator running as a separate process on a pseudo-terminal. The tests
// work the widgets as a user does (mouse clicks, keys, list picks by
// keyboard) and read back what the widgets show.
//
// Each test starts its own simulator, so module state never leaks between
// tests; a hung step ends the run with a message instead of a silent time-out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleInterface>
#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/main_form.h"
#include "app/ports.h"
#include "forms/qt/qt_backend.h"
#include "simulated_module.h"

namespace app {
namespace {

using Clock = std::chrono::steady_clock;
using e2e::HangGuard;
using e2e::SimulatedModule;
using forms::qt::FromQt;
using forms::qt::ToQt;
using forms::qt::WidgetOf;

// Generous: only a broken program should ever wait this long.
constexpr int kPatienceMs = 15000;
// A whole test; a step that hangs ends the run well before ctest would.
constexpr int kTestBudgetSeconds = 90;

const char kNotThere[] = "The port does not exist or occupied";
const char kOpenFirst[] = "Please configure and open serial port";

// An interval that opening the port starts auto-send with: the box goes out
// once at once, and the next send would come in about 17 minutes.
const char kLongInterval[] = "999999";

// Runs the program's message handling (engine notifications, thread
// messages, Qt events) until `done` holds or `ms` pass; true when it held.
template <class Pred>
bool WaitFor(Pred done, int ms = kPatienceMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    forms::Application->ProcessMessages();
    if (done()) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void PumpFor(int ms) {
  WaitFor([] { return false; }, ms);
}

// `piece` n times over (the 4.0 family's replies have no terminators).
std::string Repeated(const std::string &piece, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += piece;
  return out;
}

class E2eTest : public ::testing::Test {
 protected:
  // Starts a simulated module and the program's window, which finds the
  // module's port through TESSAVO_EXTRA_PORTS as a user's session would.
  void Start(const std::string &personality) {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    sim_ = std::make_unique<SimulatedModule>(personality);
    ASSERT_TRUE(sim_->Started()) << sim_->Problem();
    guard_ = std::make_unique<HangGuard>(name, kTestBudgetSeconds, sim_.get());
    ASSERT_EQ(setenv("TESSAVO_EXTRA_PORTS", sim_->LinkPath().c_str(), 1), 0);
    TfrmMain::SetPortSource(DefaultPortSource());  // the program's own
    NewWindow();
  }

  // A window as the program makes one at start (the port list is read now).
  void NewWindow() {
    backend().ClearShownBoxes();
    forms::Application->CreateForm(frmMain);
    frmMain->Show();
    forms::Application->ProcessMessages();
    // Reading the port list raised no complaint.
    EXPECT_TRUE(backend().ShownBoxes().empty()) << Boxes();
  }

  void TearDown() override {
    forms::Application->DestroyForms();
    unsetenv("TESSAVO_EXTRA_PORTS");
    if (HasFailure() && sim_) std::cerr << "The simulator's log:\n" << sim_->Log() << "\n";
    guard_.reset();
    sim_.reset();
  }

  static forms::qt::TQtBackend &backend() {
    return static_cast<forms::qt::TQtBackend &>(forms::Application->Backend());
  }
  TfrmMain &w() { return *frmMain; }

  // ---- user input on the real widgets ----

  void Click(forms::TControl *control) {
    QWidget *widget = WidgetOf(control);
    ASSERT_NE(widget, nullptr) << control->Name();
    QTest::mouseClick(widget, Qt::LeftButton);
    forms::Application->ProcessMessages();
  }

  // Types `keys`, after selecting everything when `replace` is set.
  void Type(forms::TControl *control, const char *keys, bool replace) {
    QWidget *widget = WidgetOf(control);
    ASSERT_NE(widget, nullptr) << control->Name();
    widget->setFocus();
    if (replace) QTest::keyClick(widget, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(widget, QString::fromUtf8(keys));
    forms::Application->ProcessMessages();
  }

  // Picks an item of a drop-down list with the keyboard: Home, then Down
  // until it is selected. Each step is a user's pick the window hears of.
  void Pick(forms::TComboBox *list, const std::string &item) {
    auto *combo = qobject_cast<QComboBox *>(WidgetOf(list));
    ASSERT_NE(combo, nullptr) << list->Name();
    const int index = combo->findText(ToQt(item), Qt::MatchExactly);
    ASSERT_GE(index, 0) << item << " is not in " << list->Name();
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Home);
    for (int i = 0; i < combo->count() && combo->currentIndex() < index; ++i) {
      QTest::keyClick(combo, Qt::Key_Down);
    }
    forms::Application->ProcessMessages();
    ASSERT_EQ(combo->currentIndex(), index);
    ASSERT_EQ(list->Text(), item);
  }

  // Opens the port with the Open button and waits for the reply to the "AT"
  // that opening sends (auto-send starts with every open).
  void OpenAndGreet(const std::string &greeting, const char *interval = kLongInterval) {
    Type(w().edtAutoSend, interval, true);
    ASSERT_EQ(w().edtAutoSend->Text(), interval);
    Click(w().btnOpenClose);
    ASSERT_EQ(ButtonText(w().btnOpenClose), "&Close Com") << Boxes();
    ASSERT_TRUE(WaitFor([&] { return Log() == greeting; })) << Printable(Log());
  }

  // Sends the send box with the Send button and waits until exactly `reply`
  // has been added to the log.
  void SendAndExpect(const std::string &reply) {
    const std::string before = Log();
    Click(w().btnSend);
    EXPECT_TRUE(WaitFor([&] { return Log() == before + reply; }))
        << "sent " << Printable(w().memSend->Text()) << ", wanted " << Printable(reply) << ", log "
        << Printable(Log());
  }

  // ---- what the window shows ----

  // The log as the model holds it (the bytes received, as they came).
  std::string Log() { return w().memLog->Text(); }

  // The log as its widget presents it to a reader.
  QString ShownLog() {
    QAccessibleInterface *a = QAccessible::queryAccessibleInterface(WidgetOf(w().memLog));
    if (a == nullptr) return QStringLiteral("<not accessible>");
    if (QAccessibleTextInterface *t = a->textInterface()) return t->text(0, t->characterCount());
    return a->text(QAccessible::Value);
  }

  std::string ButtonText(forms::TControl *control) {
    auto *button = qobject_cast<QAbstractButton *>(WidgetOf(control));
    return button != nullptr ? FromQt(button->text()) : std::string("<no button>");
  }

  // The status bar's panels, left to right, as shown.
  std::vector<std::string> Panels() {
    std::vector<QLabel *> labels;
    for (QLabel *l : WidgetOf(w().sbTitle)->findChildren<QLabel *>()) labels.push_back(l);
    std::sort(labels.begin(), labels.end(), [](QLabel *a, QLabel *b) { return a->x() < b->x(); });
    std::vector<std::string> texts;
    for (QLabel *l : labels) texts.push_back(FromQt(l->text()));
    return texts;
  }
  std::string RecvPanel() { return Panels().at(1); }
  std::string SendPanel() { return Panels().at(2); }

  // The counters as the model holds them.
  std::int64_t Counter(int panel) {
    const std::string text = w().sbTitle->Panels()[panel].Text();
    return std::stoll(text.substr(text.find(':') + 1));
  }
  std::int64_t Received() { return Counter(1); }
  std::int64_t Sent() { return Counter(2); }

  std::string Boxes() {
    std::string all;
    for (const auto &box : backend().ShownBoxes()) all += "[" + box.Text + "] ";
    return all;
  }

  static std::string Printable(const std::string &bytes) {
    std::string out = "\"";
    for (char c : bytes) {
      if (c == '\r') {
        out += "\\r";
      } else if (c == '\n') {
        out += "\\n";
      } else {
        out += c;
      }
    }
    return out + "\"";
  }

  std::unique_ptr<SimulatedModule> sim_;
  std::unique_ptr<HangGuard> guard_;
};

// ---- opening, "AT" and "OK", the counters ----------------------------------

TEST_F(E2eTest, OpensTheSimulatedPortSendsAtAndShowsOk) {
  ASSERT_NO_FATAL_FAILURE(Start("4.0"));
  // The simulated port heads the list and is the one selected.
  auto *ports = qobject_cast<QComboBox *>(WidgetOf(w().cbCom));
  ASSERT_NE(ports, nullptr);
  ASSERT_GE(ports->count(), 1);
  EXPECT_EQ(FromQt(ports->itemText(0)), sim_->LinkPath());
  EXPECT_EQ(ports->currentIndex(), 0);
  EXPECT_EQ(w().ComPort->CommName(), sim_->LinkPath());

  // Opening sends the send box's "AT" at once.
  ASSERT_NO_FATAL_FAILURE(OpenAndGreet("OK"));
  EXPECT_EQ(Sent(), 2);
  EXPECT_EQ(Received(), 2);

  ASSERT_EQ(w().memSend->Text(), "AT");
  SendAndExpect("OK");
  EXPECT_EQ(ShownLog(), QStringLiteral("OKOK"));
  EXPECT_EQ(RecvPanel(), " Recv:4");
  EXPECT_EQ(SendPanel(), " Send:4");
  EXPECT_TRUE(backend().ShownBoxes().empty()) << Boxes();

  const char *dir = std::getenv("TESSAVO_SCREENSHOT_DIR");
  const std::string shot = std::string(dir != nullptr ? dir : ".") + "/screenshot-linux.png";
  ASSERT_TRUE(forms::SaveScreenshot(w(), shot));
  EXPECT_EQ(QImage(QString::fromStdString(shot)).size(), QSize(691, 426));

  // "Reset counter" zeroes both and keeps the log; "Clear Recv" empties the
  // log and keeps the counters.
  Click(w().btnClearCount);
  EXPECT_EQ(RecvPanel(), " Recv:0");
  EXPECT_EQ(SendPanel(), " Send:0");
  EXPECT_EQ(Log(), "OKOK");
  SendAndExpect("OK");
  EXPECT_EQ(RecvPanel(), " Recv:2");
  EXPECT_EQ(SendPanel(), " Send:2");
  Click(w().btnClearRecv);
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(ShownLog(), QString());
  EXPECT_EQ(RecvPanel(), " Recv:2");
  EXPECT_EQ(SendPanel(), " Send:2");
}

// ---- the command lists, each against its own family -------------------------

struct CommandReply {
  const char *item;
  const char *reply;
};

TEST_F(E2eTest, The40ListsCommandsGetThe40Replies) {
  ASSERT_NO_FATAL_FAILURE(Start("4.0"));
  ASSERT_NO_FATAL_FAILURE(OpenAndGreet("OK"));
  Click(w().btnClearRecv);
  // No line ends: each reply is appended right after the previous one.
  const CommandReply cases[] = {
      {"AT+NAME?", "OK+Get:TESS-BLE"},
      {"AT+BAUD?", "OK+Get:0"},
      {"AT+VERS?", "OK+Get:ATSIM-BLE V1.5"},
      {"AT+ADDR?", "OK+Get:5C0272A19E40"},
      {"AT+RESET", "OK+RESET"},
      {"AT", "OK"},
  };
  std::string expected;
  for (const CommandReply &c : cases) {
    ASSERT_NO_FATAL_FAILURE(Pick(w().cb40AT, c.item));
    EXPECT_EQ(w().memSend->Text(), c.item);
    EXPECT_EQ(w().cb20AT->Text(), "Choose");
    SendAndExpect(c.reply);
    expected += c.reply;
  }
  EXPECT_EQ(ShownLog(), ToQt(expected));

  // A setting typed into the send box is read back by the list's query.
  Click(w().btnClearRecv);
  ASSERT_NO_FATAL_FAILURE(Type(w().memSend, "AT+NAMEbench-7", true));
  ASSERT_EQ(w().memSend->Text(), "AT+NAMEbench-7");
  SendAndExpect("OK+Set:bench-7");
  ASSERT_NO_FATAL_FAILURE(Pick(w().cb40AT, "AT+NAME?"));
  SendAndExpect("OK+Get:bench-7");
  // Something the module does not know.
  ASSERT_NO_FATAL_FAILURE(Type(w().memSend, "AT+WHAT", true));
  SendAndExpect("ERR+Unknown");
}

TEST_F(E2eTest, The21ListsCommandsGetThe21Replies) {
  ASSERT_NO_FATAL_FAILURE(Start("2.1"));
  // The program sends no line end: the module takes the quiet line as the
  // end of the command.
  ASSERT_NO_FATAL_FAILURE(OpenAndGreet("OK\r\n"));
  Click(w().btnClearRecv);
  const CommandReply cases[] = {
      {"AT+NAME?", "+NAME=TESS-SPP\r\nOK\r\n"},
      {"AT+VERSION", "+VERSION=ATSIM-SPP V1.5\r\nOK\r\n"},
      {"AT+UART?", "+UART=9600,0,0\r\nOK\r\n"},
      // Ends in the full-width question mark, sent in the system's encoding.
      {"AT+PIO\xEF\xBC\x9F", "+PIO=000000000000\r\nOK\r\n"},
      {"AT+NAME\xEF\xBC\x9F", "+NAME=TESS-SPP\r\nOK\r\n"},
      {"AT+RESTART", "OK\r\n"},
  };
  std::string expected;
  for (const CommandReply &c : cases) {
    ASSERT_NO_FATAL_FAILURE(Pick(w().cb20AT, c.item));
    EXPECT_EQ(w().memSend->Text(), c.item);
    EXPECT_EQ(w().cb40AT->Text(), "Choose");
    SendAndExpect(c.reply);
    expected += c.reply;
  }
  // The module's CR LF pairs break the log's lines.
  EXPECT_EQ(ShownLog(), ToQt(expected));
  EXPECT_EQ(w().memLog->Lines().Count(), 11);
  EXPECT_EQ(w().memLog->Lines()[0], "+NAME=TESS-SPP");

  Click(w().btnClearRecv);
  ASSERT_NO_FATAL_FAILURE(Type(w().memSend, "AT+NAME=bench-21", true));
  SendAndExpect("OK\r\n");
  ASSERT_NO_FATAL_FAILURE(Pick(w().cb20AT, "AT+NAME?"));
  SendAndExpect("+NAME=bench-21\r\nOK\r\n");
  ASSERT_NO_FATAL_FAILURE(Type(w().memSend, "AT+WHAT", true));
  SendAndExpect("ERROR:(0)\r\n");
}

// ---- hex send and hex display -----------------------------------------------

TEST_F(E2eTest, HexSendAndHexDisplay) {
  ASSERT_NO_FATAL_FAILURE(Start("4.0"));
  ASSERT_NO_FATAL_FAILURE(OpenAndGreet("OK"));
  Click(w().btnClearRecv);
  Click(w().btnClearCount);

  Click(w().cbHEXSend);
  ASSERT_TRUE(w().cbHEXSend->Checked());
  EXPECT_EQ(w().memSend->Text(), "");
  // The key filter lets only hex digits in: the space never arrives.
  ASSERT_NO_FATAL_FAILURE(Type(w().memSend, "41 54", false));
  EXPECT_EQ(w().memSend->Text(), "4154");
  Click(w().cbHexDisplay);
  ASSERT_TRUE(w().cbHexDisplay->Checked());
  SendAndExpect("4F 4B ");
  EXPECT_EQ(SendPanel(), " Send:2");
  EXPECT_EQ(RecvPanel(), " Recv:2");
  EXPECT_EQ(ShownLog(), QStringLiteral("4F 4B "));

  // Back to text for the next reply: it follows the hex right away.
  Click(w().cbHexDisplay);
  SendAndExpect("OK");
  EXPECT_EQ(Log(), "4F 4B OK");

  // A list pick in hex mode: its letters A, B, A, D are the digits, so the
  // module gets the bytes 0xAB 0xAD, not a command.
  ASSERT_NO_FATAL_FAILURE(Pick(w().cb40AT, "AT+BAUD?"));
  Click(w().cbHexDisplay);
  SendAndExpect("45 52 52 2B 55 6E 6B 6E 6F 77 6E ");  // "ERR+Unknown"
  EXPECT_EQ(SendPanel(), " Send:6");
  EXPECT_EQ(RecvPanel(), " Recv:" + std::to_string(4 + 11));
}

// ---- auto-send ------------------------------------------------------------------

TEST_F(E2eTest, AutoSendCountsRepliesOverTime) {
  ASSERT_NO_FATAL_FAILURE(Start("4.0"));
  const auto opened = Clock::now();
  ASSERT_NO_FATAL_FAILURE(OpenAndGreet("OK", "100"));
  // Opening already started it; the tick only greys the Send button and
  // the interval box.
  Click(w().cbAutoSend);
  ASSERT_TRUE(w().cbAutoSend->Checked());
  EXPECT_FALSE(WidgetOf(w().btnSend)->isEnabled());
  EXPECT_FALSE(WidgetOf(w().edtAutoSend)->isEnabled());

  constexpr int kReplies = 8;
  ASSERT_TRUE(WaitFor([&] { return Received() >= 2 * kReplies; }, 30000)) << Received();
  // Each send holds a 100 ms pause and then waits out the interval.
  EXPECT_GE(Clock::now() - opened, std::chrono::milliseconds((kReplies - 1) * 200));

  Click(w().cbAutoSend);
  ASSERT_FALSE(w().cbAutoSend->Checked());
  EXPECT_TRUE(WidgetOf(w().btnSend)->isEnabled());
  EXPECT_TRUE(WidgetOf(w().edtAutoSend)->isEnabled());
  // One send queued before the untick may still go; then every "AT" has
  // had its "OK", and no more are sent.
  ASSERT_TRUE(WaitFor([&] { return Received() == Sent(); }));
  PumpFor(500);
  ASSERT_TRUE(WaitFor([&] { return Received() == Sent(); }));
  const std::int64_t sent = Sent();
  PumpFor(1500);
  EXPECT_EQ(Sent(), sent);
  EXPECT_EQ(Log(), Repeated("OK", static_cast<std::size_t>(sent / 2)));
  EXPECT_EQ(SendPanel(), " Send:" + std::to_string(sent));
  EXPECT_EQ(RecvPanel(), " Recv:" + std::to_string(sent));
  EXPECT_TRUE(backend().ShownBoxes().empty()) << Boxes();
}

// ---- close and reopen -----------------------------------------------------------

TEST_F(E2eTest, CloseAndReopen) {
  ASSERT_NO_FATAL_FAILURE(Start("2.1"));
  ASSERT_NO_FATAL_FAILURE(OpenAndGreet("OK\r\n"));
  std::string expected = "OK\r\n";
  for (int round = 0; round < 3; ++round) {
    Click(w().btnOpenClose);
    ASSERT_EQ(ButtonText(w().btnOpenClose), "&Open Com");
    EXPECT_EQ(w().ComPort->DeviceHandle(), nullptr);
    ASSERT_TRUE(sim_->Running());

    // Closed: Send asks for an open port and sends nothing.
    const std::int64_t sent = Sent();
    Click(w().btnSend);
    ASSERT_EQ(backend().ShownBoxes().size(), 1u) << Boxes();
    EXPECT_EQ(backend().ShownBoxes()[0].Text, kOpenFirst);
    EXPECT_EQ(backend().ShownBoxes()[0].Title, PromptTitle);
    EXPECT_EQ(backend().ShownBoxes()[0].Icon, static_cast<int>(QMessageBox::NoIcon));
    backend().ClearShownBoxes();
    EXPECT_EQ(Sent(), sent);

    // Reopened: the interval has not run out, so nothing goes out by itself.
    Click(w().btnOpenClose);
    ASSERT_EQ(ButtonText(w().btnOpenClose), "&Close Com") << Boxes();
    SendAndExpect("OK\r\n");
    expected += "OK\r\n";
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(Sent(), sent + 2);
  }
  EXPECT_TRUE(backend().ShownBoxes().empty()) << Boxes();
}

// ---- the simulator going away while the port is open ------------------------------

class SimulatorGoesAway : public E2eTest {
 protected:
  // Opens the port with auto-send ticked at a short interval, so that sends
  // keep going into the line while the module disappears, then stops the
  // simulator with `signal`.
  void LoseTheModuleWhileSending(int signal) {
    ASSERT_NO_FATAL_FAILURE(Start("4.0"));
    ASSERT_NO_FATAL_FAILURE(OpenAndGreet("OK", "50"));
    Click(w().cbAutoSend);
    ASSERT_TRUE(WaitFor([&] { return Received() >= 6; }));

    const int status = sim_->Stop(signal);
    if (signal == SIGTERM) {
      // A clean exit takes the link away.
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_FALSE(sim_->LinkExists());
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    }
    // Either way the listed path leads nowhere now.
    struct stat st {};
    EXPECT_NE(stat(sim_->LinkPath().c_str(), &st), 0);

    // No crash, no hang: the window keeps handling its messages, and the
    // automatic sends go on into the dead line.
    const std::int64_t sent = Sent();
    EXPECT_TRUE(WaitFor([&] { return Sent() >= sent + 6; })) << Sent();
    // Nothing watches for a hang-up: the port still counts as open.
    EXPECT_EQ(ButtonText(w().btnOpenClose), "&Close Com");
  }

  void ExpectOpeningFails() {
    backend().ClearShownBoxes();
    Click(w().btnOpenClose);
    EXPECT_EQ(ButtonText(w().btnOpenClose), "&Open Com");
    EXPECT_EQ(w().ComPort->DeviceHandle(), nullptr);
    ASSERT_EQ(backend().ShownBoxes().size(), 1u) << Boxes();
    const forms::qt::TShownMessageBox &box = backend().ShownBoxes()[0];
    EXPECT_EQ(box.Text, kNotThere);
    EXPECT_EQ(box.Title, PromptTitle);
    EXPECT_EQ(box.Icon, static_cast<int>(QMessageBox::Information));
    EXPECT_EQ(box.Parent, WidgetOf(&w()));
  }

  // Closes the window with its close box inside the program's own loop;
  // true when that ended the loop (the toolkit's close is only a request:
  // the window decides).
  bool CloseTheWindowInItsLoop() {
    bool gaveUp = false;
    QTimer::singleShot(0, [this] { WidgetOf(&w())->close(); });
    QTimer fallback;
    fallback.setSingleShot(true);
    QObject::connect(&fallback, &QTimer::timeout, [&gaveUp] {
      gaveUp = true;
      forms::Application->Terminate();
    });
    fallback.start(kPatienceMs);
    forms::Application->Run();
    return !gaveUp && !WidgetOf(&w())->isVisible();
  }
};

TEST_F(SimulatorGoesAway, StoppedCleanlyThenThePortIsClosedAndCannotBeReopened) {
  ASSERT_NO_FATAL_FAILURE(LoseTheModuleWhileSending(SIGTERM));
  Click(w().btnOpenClose);
  EXPECT_EQ(ButtonText(w().btnOpenClose), "&Open Com");
  EXPECT_EQ(w().ComPort->DeviceHandle(), nullptr);
  // A send queued before the close may have asked for an open port.
  for (const auto &box : backend().ShownBoxes()) EXPECT_EQ(box.Text, kOpenFirst);

  ASSERT_NO_FATAL_FAILURE(ExpectOpeningFails());
  EXPECT_TRUE(CloseTheWindowInItsLoop());
  EXPECT_EQ(w().AutoSendThread(), nullptr);  // closed ticked: the thread was ended
}

TEST_F(SimulatorGoesAway, KilledThenTheWindowClosesAndTheNextStartCannotOpenIt) {
  ASSERT_NO_FATAL_FAILURE(LoseTheModuleWhileSending(SIGKILL));
  // The close box with the port still open and auto-send ticked: the thread
  // is ended and the dead port closed.
  ASSERT_TRUE(CloseTheWindowInItsLoop());
  EXPECT_EQ(w().ComPort->DeviceHandle(), nullptr);
  EXPECT_EQ(w().AutoSendThread(), nullptr);

  // The program started again still lists the path, which leads nowhere.
  forms::Application->DestroyForms();
  NewWindow();
  ASSERT_GE(w().cbCom->Items().Count(), 1);
  EXPECT_EQ(w().cbCom->Text(), sim_->LinkPath());
  ASSERT_NO_FATAL_FAILURE(ExpectOpeningFails());
  EXPECT_EQ(Log(), "");
}

}  // namespace
}  // namespace app

namespace {
std::string runtimeDir;  // ours to remove, or empty
void RemoveRuntimeDir() {
  if (!runtimeDir.empty()) rmdir(runtimeDir.c_str());
}
}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Runnable by hand too: no display needed, and Qt's runtime folder is a
  // temporary one of ours unless the caller gave one.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
    const char *tmp = std::getenv("TMPDIR");
    runtimeDir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tessavo-xdg.XXXXXX";
    if (mkdtemp(runtimeDir.data()) != nullptr) {
      setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
      e2e::HangGuard::SetLastWords(RemoveRuntimeDir);
    } else {
      runtimeDir.clear();
    }
  }
  forms::Application->Initialize();
  forms::qt::UseQt(argc, argv).SetAutoCloseBoxes(true);
  forms::Application->SetIcon(app::TfrmMain::LogoPicture());
  const int result = RUN_ALL_TESTS();
  RemoveRuntimeDir();
  return result;
}
