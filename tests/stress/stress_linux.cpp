// The stress driver on Linux: the program's window in this process, on the
// headless backend or on Qt (offscreen, or the display that is set), against
// the AT module simulator as a child process.
//
//   tessavo_stress --backend headless|qt [--seed N] [--steps N]
//                  [--without KIND,...] [--personality 4.0|2.1] [--trail]
//
// User input reaches the window the way its toolkit delivers it: queued, and
// handled by the program's own loop, also inside a handler that lets pending
// messages run (a send's pause), as a real user's input can be.
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "app/main_form.h"
#include "app/send_thread.h"
#include "comm/read_thread.h"
#include "comm/write_thread.h"
#include "forms/headless.h"
#include "forms/qt/qt_backend.h"
#include "simulated_module.h"
#include "stress_core.h"

namespace {

using app::frmMain;
using forms::qt::FromQt;
using forms::qt::ToQt;
using forms::qt::WidgetOf;
using stress::Ctl;
using stress::Key;

e2e::SimulatedModule *simulator = nullptr;

forms::TControl *ModelOf(Ctl c) {
  app::TfrmMain &w = *frmMain;
  forms::TControl *all[] = {w.cbCom,        w.cbBaudRate,   w.cbParity,     w.cbStop,
                            w.cb40AT,       w.cb20AT,       w.btnOpenClose, w.btnSend,
                            w.btnClearSend, w.btnClearRecv, w.btnUpdate,    w.btnClearCount,
                            w.cbHEXSend,    w.cbHexDisplay, w.cbAutoSend,   w.edtAutoSend,
                            w.memSend,      w.memLog,       w.sbTitle};
  return all[static_cast<int>(c)];
}
template <class T>
T *ModelAs(Ctl c) {
  return static_cast<T *>(ModelOf(c));
}

std::int64_t Panel(int index) {
  const std::string text = frmMain->sbTitle->Panels()[index].Text();
  return std::stoll(text.substr(text.find(':') + 1));
}

// What both in-process backends share: the program's own model to read, and
// input delivered through the toolkit's queue.
class InProcessWindow : public stress::Window {
 public:
  explicit InProcessWindow(std::string simPort, std::string missingPort)
      : ports_{std::move(simPort), std::move(missingPort)} {}

  stress::Run *run = nullptr;

  bool Start() override {
    forms::Application->DestroyForms();
    forms::Application->CreateForm(frmMain);
    frmMain->Show();
    forms::Application->ProcessMessages();
    clipboard_.clear();
    // Counted for failure reports; the window's own handler still runs.
    hangups_ = 0;
    frmMain->ComPort->OnRequestHangup =
        [this, own = frmMain->ComPort->OnRequestHangup](platform::TObject *sender) {
          ++hangups_;
          if (own) own(sender);
        };
    return frmMain != nullptr;
  }
  bool InProcess() const override { return true; }
  std::string AppTitle() const override { return forms::Application->Title(); }
  std::vector<std::string> Items(Ctl list) override {
    return ModelAs<forms::TComboBox>(list)->Items().ToVector();
  }
  int PortIndex(int which) override {
    const std::vector<std::string> items = Items(Ctl::cbCom);
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i] == ports_[which]) return static_cast<int>(i);
    }
    return -1;
  }
  void Pump(int ms) override {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
      forms::Application->ProcessMessages();
      if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < end);
  }
  stress::Counters ReadCounters() override { return {Panel(1), Panel(2)}; }
  std::string ReadLog() override { return frmMain->memLog->Text(); }
  void Abandon() override;
  std::string Diagnose() override {
    comm::TComm &port = *frmMain->ComPort;
    auto state = [](const platform::TThread *t) -> std::string {
      if (t == nullptr) return "none";
      return forms::Application->Api().WaitForSingleObject(t->Handle(), 0) == WAIT_OBJECT_0
                 ? "ended"
                 : "running";
    };
    std::string log = simulator != nullptr ? simulator->Log() : std::string();
    std::size_t from = log.size();
    for (int lines = 0; lines < 16 && from > 0; ++lines) from = log.rfind('\n', from - 1);
    return "reader " + state(port.ReaderThread()) + ", writer " + state(port.WriterThread()) +
           (port.SendDataEmptyFlag() ? " (drained)" : " (not drained)") + ", hang-up requests " +
           std::to_string(hangups_) + "; the simulator's log ends:\n" +
           log.substr(from == std::string::npos ? 0 : from);
  }

  // The program's own state, which no widget shows.
  void ReadProgram(stress::Snapshot &s) {
    s.deviceOpen = frmMain->ComPort->DeviceHandle() != nullptr ? 1 : 0;
    s.threadCount =
        frmMain->AutoSendThread() != nullptr ? frmMain->AutoSendThread()->SuspendCount() : -1;
  }

 protected:
  // Queues `input` as the toolkit queues a user's input, and lets the
  // program run until it has been handled.
  void Deliver(const std::function<void()> &input) {
    auto done = std::make_shared<bool>(false);
    Post([input, done] {
      // Also when the input ends in an exception (the application shows it).
      struct Done {
        bool &flag;
        ~Done() { flag = true; }
      } mark{*done};
      input();
    });
    while (!*done) {
      forms::Application->ProcessMessages();
      if (!*done) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  virtual void Post(std::function<void()> input) = 0;

  std::string ports_[2];
  std::string clipboard_;
  int hangups_ = 0;
};

// ---- headless ---------------------------------------------------------------------

class QueueingHeadless : public forms::THeadlessBackend {
 public:
  // The user's input arrives with the backend's events.
  void ProcessEvents() override {
    while (!input.empty()) {
      std::function<void()> next = std::move(input.front());
      input.pop_front();
      forms::Application->UserInput(next);
    }
  }
  std::deque<std::function<void()>> input;
};

class HeadlessWindow : public InProcessWindow {
 public:
  using InProcessWindow::InProcessWindow;

  void Install() {
    auto backend = std::make_unique<QueueingHeadless>();
    backend_ = backend.get();
    backend_->Answer = [this](const forms::TMessageBoxRecord &r) {
      // A modal box: the user's next steps happen while it is up.
      run->BoxShown(stress::Box{r.Text, r.Caption, r.Flags & 0xF0u, 0});
      return forms::IDOK;
    };
    forms::Application->SetBackend(std::move(backend));
  }

  void Click(Ctl c, const std::function<void()> &before) override {
    forms::TControl *control = ModelOf(c);
    Deliver([control, before] {
      if (before) before();
      if (auto *b = dynamic_cast<forms::TButton *>(control)) b->UserClick();
      if (auto *b = dynamic_cast<forms::TCheckBox *>(control)) b->UserClick();
    });
  }
  void Pick(Ctl list, int index) override {
    auto *combo = ModelAs<forms::TComboBox>(list);
    Deliver([combo, index] { combo->UserSelect(index); });
  }
  void Place(Ctl edit, bool all) override {
    auto *e = ModelAs<forms::TCustomEdit>(edit);
    if (all) {
      e->SelectAll();
    } else {
      e->SetSelStart(e->Text().size());
    }
  }
  void Type(Ctl edit, char ch) override {
    auto *e = ModelAs<forms::TCustomEdit>(edit);
    Deliver([e, ch] { e->UserTypeKey(ch); });
  }
  void Paste(Ctl edit, const std::string &text) override {
    clipboard_ = text;
    auto *e = ModelAs<forms::TCustomEdit>(edit);
    Deliver([e, text] { e->UserPaste(text); });
  }
  void Press(Ctl target, Key key, char letter) override {
    auto *edit = dynamic_cast<forms::TCustomEdit *>(ModelOf(target));
    const std::string clip = clipboard_;
    Deliver([edit, key, letter, clip] {
      switch (key) {
        case Key::Enter:
          if (edit != nullptr) edit->UserTypeKey('\r');
          break;
        case Key::CtrlV: {
          // The chord is a control character to the key filter; what passes,
          // the widget pastes.
          std::string passed;
          if (edit != nullptr && edit->FilterTypedCharacter("\x16", passed)) edit->UserPaste(clip);
          break;
        }
        case Key::Alt:
          // A button whose caption marks the letter with "&" is clicked.
          for (forms::TButton *b :
               {frmMain->btnOpenClose, frmMain->btnSend, frmMain->btnUpdate, frmMain->btnClearCount,
                frmMain->btnClearSend, frmMain->btnClearRecv}) {
            const std::string &caption = b->Caption();
            const std::size_t amp = caption.find('&');
            if (amp != std::string::npos && amp + 1 < caption.size() &&
                std::tolower(static_cast<unsigned char>(caption[amp + 1])) == letter) {
              b->UserClick();
              break;
            }
          }
          break;
        case Key::Esc:
        case Key::Tab:
          break;  // neither reaches a key filter: Tab moves the focus
      }
    });
  }
  void Answer(int how) override { (void)how; }  // the box returns IDOK when its steps end
  bool Close(int ms) override {
    Deliver([] { frmMain->UserClose(); });
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!forms::Application->Terminated() && std::chrono::steady_clock::now() < end) Pump(1);
    return forms::Application->Terminated();
  }
  stress::Snapshot Read() override {
    stress::Snapshot s;
    app::TfrmMain &w = *frmMain;
    for (int i = 0; i < static_cast<int>(Ctl::Count); ++i) {
      if (!ModelOf(static_cast<Ctl>(i))->Visible()) s.missing.push_back(static_cast<Ctl>(i));
    }
    s.caption = w.btnOpenClose->Caption();
    s.sendText = w.memSend->Text();
    s.interval = w.edtAutoSend->Text();
    s.hexSend = w.cbHEXSend->Checked();
    s.hexDisp = w.cbHexDisplay->Checked();
    s.autoSend = w.cbAutoSend->Checked();
    s.sendEnabled = w.btnSend->Enabled();
    s.intervalEnabled = w.edtAutoSend->Enabled();
    s.autoEnabled = w.cbAutoSend->Enabled();
    ReadProgram(s);
    return s;
  }

 protected:
  void Post(std::function<void()> input) override { backend_->input.push_back(std::move(input)); }

 private:
  QueueingHeadless *backend_ = nullptr;
};

// ---- Qt ------------------------------------------------------------------------------

unsigned IconBits(QMessageBox::Icon icon) {
  switch (icon) {
    case QMessageBox::Critical:
      return 0x10;
    case QMessageBox::Question:
      return 0x20;
    case QMessageBox::Warning:
      return 0x30;
    case QMessageBox::Information:
      return 0x40;
    default:
      return 0;
  }
}

// Hears of every message box when it is shown and hands it to the run from
// inside the box's own modal loop.
class BoxWatcher : public QObject {
 public:
  explicit BoxWatcher(stress::Run *&run) : run_(run) {}

 protected:
  bool eventFilter(QObject *watched, QEvent *event) override {
    if (event->type() == QEvent::Show) {
      if (auto *box = qobject_cast<QMessageBox *>(watched)) {
        QPointer<QMessageBox> p(box);
        QTimer::singleShot(0, box, [this, p] {
          if (!p || run_ == nullptr) return;
          run_->BoxShown(
              stress::Box{FromQt(p->text()), FromQt(p->windowTitle()), IconBits(p->icon()), 0});
        });
      }
    }
    return false;
  }

 private:
  stress::Run *&run_;
};

class QtWindow : public InProcessWindow {
 public:
  using InProcessWindow::InProcessWindow;

  void Install(int &argc, char **argv) {
    forms::qt::UseQt(argc, argv);
    // The offscreen platform remarks on every message box; nothing to see.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
      if (!text.contains(QLatin1String("propagateSizeHints"))) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
      }
    });
    watcher_ = std::make_unique<BoxWatcher>(run);
    qApp->installEventFilter(watcher_.get());
  }

  bool Start() override {
    if (!InProcessWindow::Start()) return false;
    QGuiApplication::clipboard()->setText(QString());
    Activate();
    return true;
  }

  void Click(Ctl c, const std::function<void()> &before) override {
    QWidget *widget = WidgetOf(ModelOf(c));
    Deliver([widget, before] {
      if (before) before();
      QTest::mouseClick(widget, Qt::LeftButton);
    });
  }
  void Pick(Ctl list, int index) override {
    auto *combo = qobject_cast<QComboBox *>(WidgetOf(ModelOf(list)));
    Deliver([this, combo, index] {
      // By keyboard, as a user picks: Home, then Down to the item.
      Activate();
      combo->setFocus();
      QTest::keyClick(combo, Qt::Key_Home);
      for (int i = 0; i < index && combo->currentIndex() < index; ++i) {
        QTest::keyClick(combo, Qt::Key_Down);
      }
    });
  }
  void Place(Ctl edit, bool all) override {
    QWidget *widget = WidgetOf(ModelOf(edit));
    widget->setFocus();
    if (auto *p = qobject_cast<QPlainTextEdit *>(widget)) {
      if (all) {
        p->selectAll();
      } else {
        p->moveCursor(QTextCursor::End);
      }
    } else if (auto *l = qobject_cast<QLineEdit *>(widget)) {
      if (all) {
        l->selectAll();
      } else {
        l->end(false);
      }
    }
  }
  void Type(Ctl edit, char ch) override {
    QWidget *widget = WidgetOf(ModelOf(edit));
    Deliver([widget, ch] {
      if (ch == '\b') {
        QTest::keyClick(widget, Qt::Key_Backspace);
      } else if (ch == '\r') {
        QTest::keyClick(widget, Qt::Key_Return);
      } else {
        QTest::keyClick(widget, ch);
      }
    });
  }
  void Paste(Ctl edit, const std::string &text) override {
    QGuiApplication::clipboard()->setText(ToQt(text));
    QWidget *widget = WidgetOf(ModelOf(edit));
    // The box's own Paste, as its context menu gives it.
    Deliver([widget] {
      if (auto *p = qobject_cast<QPlainTextEdit *>(widget)) p->paste();
      if (auto *l = qobject_cast<QLineEdit *>(widget)) l->paste();
    });
  }
  void Press(Ctl target, Key key, char letter) override {
    QWidget *widget = WidgetOf(ModelOf(target));
    Deliver([this, widget, key, letter] {
      Activate();
      widget->setFocus();
      switch (key) {
        case Key::Esc:
          QTest::keyClick(widget, Qt::Key_Escape);
          break;
        case Key::Enter:
          QTest::keyClick(widget, Qt::Key_Return);
          break;
        case Key::Tab:
          QTest::keyClick(widget, Qt::Key_Tab);
          break;
        case Key::CtrlV:
          QTest::keyClick(widget, Qt::Key_V, Qt::ControlModifier);
          break;
        case Key::Alt:
          QTest::keyClick(widget, static_cast<Qt::Key>(Qt::Key_A + (letter - 'a')),
                          Qt::AltModifier);
          break;
      }
    });
    // A button's accelerator clicks it animated, a moment later.
    if (key == Key::Alt) Pump(250);
  }
  void Answer(int how) override {
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    switch (how) {
      case 0:
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        break;
      case 1:
        QTest::keyClick(box, Qt::Key_Return);
        break;
      case 2:
        QTest::keyClick(box, Qt::Key_Escape);
        break;
      default:
        box->close();
        break;
    }
  }
  bool Close(int ms) override {
    // Through the window system, handled by the program's own loop.
    bool gaveUp = false;
    QWidget *window = WidgetOf(frmMain);
    QTimer::singleShot(0, window, [window] { window->close(); });
    QTimer fallback;
    fallback.setSingleShot(true);
    QObject::connect(&fallback, &QTimer::timeout, [&gaveUp] {
      gaveUp = true;
      forms::Application->Terminate();
    });
    fallback.start(ms);
    forms::Application->Run();
    return !gaveUp;
  }
  stress::Snapshot Read() override {
    stress::Snapshot s;
    for (int i = 0; i < static_cast<int>(Ctl::Count); ++i) {
      QWidget *widget = WidgetOf(ModelOf(static_cast<Ctl>(i)));
      if (widget == nullptr || !widget->isVisible()) s.missing.push_back(static_cast<Ctl>(i));
    }
    if (!s.missing.empty()) return s;
    auto button = [](Ctl c) { return qobject_cast<QAbstractButton *>(WidgetOf(ModelOf(c))); };
    s.caption = FromQt(button(Ctl::btnOpenClose)->text());
    auto *send = qobject_cast<QPlainTextEdit *>(WidgetOf(ModelOf(Ctl::memSend)));
    auto *interval = qobject_cast<QLineEdit *>(WidgetOf(ModelOf(Ctl::edtAutoSend)));
    s.sendText = send != nullptr ? FromQt(send->toPlainText()) : "<not an editor>";
    s.interval = interval != nullptr ? FromQt(interval->text()) : "<not an editor>";
    s.hexSend = button(Ctl::cbHEXSend)->isChecked();
    s.hexDisp = button(Ctl::cbHexDisplay)->isChecked();
    s.autoSend = button(Ctl::cbAutoSend)->isChecked();
    s.sendEnabled = button(Ctl::btnSend)->isEnabled();
    s.intervalEnabled = interval != nullptr && interval->isEnabled();
    s.autoEnabled = button(Ctl::cbAutoSend)->isEnabled();
    ReadProgram(s);
    return s;
  }

 protected:
  void Post(std::function<void()> input) override { QTimer::singleShot(0, qApp, std::move(input)); }

 private:
  void Activate() {
    QWidget *window = WidgetOf(frmMain);
    window->activateWindow();
    QApplication::setActiveWindow(window);
  }
  std::unique_ptr<BoxWatcher> watcher_;
};

std::string runtime;  // Qt's runtime folder, when it is ours

void InProcessWindow::Abandon() {
  if (simulator != nullptr) simulator->Discard();
  if (!runtime.empty()) rmdir(runtime.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  stress::Options options;
  std::vector<std::string> rest;
  std::string error;
  if (!stress::ParseOptions(argc, argv, options, rest, error)) {
    std::fprintf(stderr, "tessavo_stress: %s\n", error.c_str());
    return 2;
  }
  std::string backend = "headless";
  std::string personality = options.seed % 2 == 0 ? "4.0" : "2.1";
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == "--backend" && i + 1 < rest.size()) {
      backend = rest[++i];
    } else if (rest[i] == "--personality" && i + 1 < rest.size()) {
      personality = rest[++i];
    } else {
      std::fprintf(stderr,
                   "usage: tessavo_stress --backend headless|qt [--seed N] [--steps N] "
                   "[--without KIND,...] [--personality 4.0|2.1] [--trail]\nkinds: %s\n",
                   stress::KindNames().c_str());
      return 2;
    }
  }
  if (options.list) {
    stress::Run::List(options);
    return 0;
  }
  if (backend != "headless" && backend != "qt") {
    std::fprintf(stderr, "tessavo_stress: no backend '%s'\n", backend.c_str());
    return 2;
  }
  options.command = std::string(argv[0]) + " --backend " + backend + " --personality " +
                    personality + " --seed " + std::to_string(options.seed) + " --steps " +
                    std::to_string(options.steps);
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--without" && i + 1 < argc) {
      options.command += std::string(" --without ") + argv[i + 1];
    }
  }

  // Qt wants a runtime folder of its own; ours goes with us.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
    const char *tmp = std::getenv("TMPDIR");
    runtime = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tessavo-stress.XXXXXX";
    if (mkdtemp(runtime.data()) != nullptr) {
      setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    } else {
      runtime.clear();
    }
  }

  e2e::SimulatedModule sim(personality, {"--control", "0", "--gap", "20", "--pattern", "random",
                                         "--seed", std::to_string(options.seed)});
  if (!sim.Started()) {
    std::fprintf(stderr, "tessavo_stress: the simulator did not start: %s\n",
                 sim.Problem().c_str());
    return 1;
  }
  simulator = &sim;
  const std::string control = sim.ReadLine(20000);
  stress::Sim link;
  if (control.rfind("control ", 0) != 0 || !link.Connect(std::atoi(control.c_str() + 8))) {
    std::fprintf(stderr, "tessavo_stress: no control port from the simulator (%s)\n",
                 control.c_str());
    return 1;
  }
  // The program finds the simulator's port as a user's session does; the
  // second path never exists.
  const std::string missing = sim.LinkPath() + "-missing";
  setenv("TESSAVO_EXTRA_PORTS", (sim.LinkPath() + ":" + missing).c_str(), 1);

  forms::Application->Initialize();
  std::unique_ptr<InProcessWindow> window;
  if (backend == "qt") {
    auto qt = std::make_unique<QtWindow>(sim.LinkPath(), missing);
    qt->Install(argc, argv);
    window = std::move(qt);
  } else {
    auto headless = std::make_unique<HeadlessWindow>(sim.LinkPath(), missing);
    headless->Install();
    window = std::move(headless);
  }
  {
    stress::Run run(options, *window, link);
    window->run = &run;
    run.Go();
    window->run = nullptr;
  }
  forms::Application->DestroyForms();
  sim.Discard();
  if (!runtime.empty()) rmdir(runtime.c_str());
  return 0;
}
