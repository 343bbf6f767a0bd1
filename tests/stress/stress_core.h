// The random-action stress driver: plays a user at random against the real
// window and the AT module simulator, and after every action checks that the
// window still answers, shows what a model of it expects, and shows exactly
// the bytes the simulator sent, while the simulator got exactly the bytes the
// Send counter counted.
//
// One core for every window backend: the actions (a pure function of the
// seed), the model of what the window must show, the checks and the trail.
// A backend adapter (Window) only turns an action into real input and reads
// back what the window shows; the simulator is reached through its control
// port (atsim --control), also from a Windows program under Wine.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace stress {

// The window's controls, as the adapters address them.
enum class Ctl {
  cbCom,
  cbBaudRate,
  cbParity,
  cbStop,
  cb40AT,
  cb20AT,
  btnOpenClose,
  btnSend,
  btnClearSend,
  btnClearRecv,
  btnUpdate,
  btnClearCount,
  cbHEXSend,
  cbHexDisplay,
  cbAutoSend,
  edtAutoSend,
  memSend,
  memLog,
  sbTitle,
  Count
};
const char *CtlName(Ctl c);

enum class Key { Esc, Enter, Tab, CtrlV, Alt };

// A message box as the window showed it. `icon` holds the MB_ICON* bits;
// `id` tells boxes apart (a window handle, or a serial number).
struct Box {
  std::string text;
  std::string title;
  unsigned icon = 0;
  std::uintptr_t id = 0;
};

// What the window shows now.
struct Snapshot {
  bool responsive = true;
  std::string unresponsive;  // how it did not answer
  std::vector<Ctl> missing;  // controls destroyed or hidden
  std::string caption;       // of btnOpenClose
  std::string sendText;      // memSend, line breaks as CR LF
  std::string interval;      // edtAutoSend
  bool hexSend = false, hexDisp = false, autoSend = false;
  bool sendEnabled = true, intervalEnabled = true, autoEnabled = true;
  int deviceOpen = -1;   // 1 or 0 where the backend can see the device
  int threadCount = -2;  // the auto-send thread's suspensions; -1 none, -2 not visible
};

struct Counters {
  std::int64_t recv = 0;
  std::int64_t sent = 0;
};

// A backend adapter. Actions return once the window has taken the input (or
// a modal box stands in the way); `before` runs right before the input
// reaches the window, in the program's own thread where the backend can.
class Window {
 public:
  virtual ~Window() = default;

  // Starts the program with a fresh window; false (and Problem) when not.
  virtual bool Start() = 0;
  virtual std::string Problem() const { return {}; }
  // True when `before` runs in the program at the moment the input arrives
  // (in-process backends); false when only just before (another process).
  virtual bool InProcess() const = 0;
  // The title of the box for an exception that escapes a handler.
  virtual std::string AppTitle() const = 0;
  // The items of a list as the window holds them.
  virtual std::vector<std::string> Items(Ctl list) = 0;
  // The list position of the simulator's port (0) and of a missing one (1).
  virtual int PortIndex(int which) = 0;

  virtual void Click(Ctl c, const std::function<void()> &before) = 0;
  virtual void Pick(Ctl list, int index) = 0;
  // Puts the caret at the end of the text, or selects all of it.
  virtual void Place(Ctl edit, bool all) = 0;
  // One typed character: printable, 8 (backspace) or 13 (Enter).
  virtual void Type(Ctl edit, char ch) = 0;
  // Puts `text` on the clipboard and pastes it (the edit's own paste, which
  // no key filter sees).
  virtual void Paste(Ctl edit, const std::string &text) = 0;
  virtual void Press(Ctl target, Key key, char letter) = 0;
  // Answers the topmost box: 0 its OK button, 1 Enter, 2 Esc, 3 its close box.
  virtual void Answer(int how) = 0;
  // The user closes the window; true when the program ended within `ms`.
  virtual bool Close(int ms) = 0;
  // Lets the program run for `ms` (0: handle what is pending now).
  virtual void Pump(int ms) = 0;

  virtual Snapshot Read() = 0;
  virtual Counters ReadCounters() = 0;
  virtual std::string ReadLog() = 0;
  // Boxes up now, oldest first. In-process backends report each box through
  // Run::BoxShown from inside its modal loop instead and return nothing.
  virtual std::vector<Box> OpenBoxes() { return {}; }
  // What the program's insides show, for a failure report.
  virtual std::string Diagnose() { return {}; }
  // Last words before the process ends on a failure: stop what we started.
  virtual void Abandon() {}
};

// The simulator's control port (see atsim --help).
struct SimStatus {
  bool open = false;
  bool present = false;
  std::uint64_t out = 0;  // bytes it wrote to the port
  std::uint64_t in = 0;   // bytes it read from the port
  bool pending = false;
};

class Sim {
 public:
  Sim();
  ~Sim();
  Sim(const Sim &) = delete;
  Sim &operator=(const Sim &) = delete;
  bool Connect(int port);
  std::optional<SimStatus> Status();
  // Appends to `bytes` what the simulator wrote after its first
  // bytes.size() bytes.
  bool Fetch(std::string &bytes);
  bool Command(const std::string &line);  // "stream N", "away", "back"

 private:
  bool SendLine(const std::string &line);
  bool ReadLine(std::string &line);
  bool Receive();
  bool ReadBytes(std::string &out, std::size_t n);
  std::intptr_t fd_ = -1;
  std::string buffered_;
};

enum class Kind {
  PickPort,
  OpenClose,
  Baud,
  Parity,
  Stop,
  HexSend,
  HexDisp,
  AutoSend,
  TypeSend,
  PasteSend,
  TypeInterval,
  PasteInterval,
  Pick40,
  Pick20,
  Send,
  ClearSend,
  ClearRecv,
  ResetCounter,
  Upgrade,
  Esc,
  Enter,
  Tab,
  Alt,
  CtrlV,
  AnswerBox,
  Stream,
  Away,
  Wait,
  CloseWindow,
  Count
};

struct Action {
  Kind kind = Kind::Wait;
  int index = 0;             // list item, key target, answer method
  int how = 0;               // how a box up at that moment is answered
  bool all = false;          // typed or pasted text replaces all (else goes at the end)
  std::string text;          // typed or pasted
  std::uint32_t amount = 0;  // ms to wait, bytes to stream, steps away
  std::string Describe() const;
};

struct Options {
  std::uint64_t seed = 1;
  int steps = 200;
  std::set<Kind> without;
  std::uint32_t maxStream = 65536;  // largest stream the simulator is asked for
  bool trail = false;               // print every action as it runs
  bool list = false;                // only print the seed's actions
  std::string command;              // how to replay, for the report
};

// Reads --seed N --steps N --without KIND[,KIND...] --trail; leaves the rest
// in `rest`. False (with a message) on a bad value.
bool ParseOptions(int argc, char **argv, Options &o, std::vector<std::string> &rest,
                  std::string &error);
std::string KindNames();

// The expected state of the window, from the user's actions alone.
struct Model {
  bool open = false;
  bool hexSend = false, hexDisp = false, autoTick = false;
  bool sendEnabled = true, intervalEnabled = true, autoEnabled = true;
  std::string sendText = "AT";
  std::string interval = "1000";
  std::string clipboard;
  int port = 0;         // 0 the simulator's, 1 the missing one
  bool thread = true;   // the auto-send thread exists
  int threadCount = 1;  // its suspensions
  bool AutoRunning() const { return open && thread && threadCount == 0; }
};

class Run {
 public:
  Run(const Options &options, Window &window, Sim &sim);
  ~Run();
  // Runs every step; returns only when all passed (a failure ends the process).
  void Go();
  // Prints the seed's actions without running them (--list).
  static void List(const Options &options);
  // An in-process backend shows a box: called from inside its modal loop,
  // returns once the box has been answered.
  void BoxShown(const Box &box);

 private:
  struct Session {
    std::uint64_t wStart = 0;                      // window's received bytes at the open
    std::uint64_t sStart = 0;                      // simulator's bytes written at the open
    std::uint64_t pStart = 0;                      // simulator's bytes read at the open
    std::int64_t gStart = 0;                       // Send counter (with earlier resets) at the open
    bool healthy = true;                           // the simulator stayed all along
    std::chrono::steady_clock::time_point lostAt;  // when it went away
  };
  struct Range {
    std::uint64_t lo = 0, hi = 0;
  };
  struct Switch {
    Range at;
    bool hex = false;
  };

  Action NextAction();
  void Step(int depth);
  void Perform(const Action &a);
  void Note(const std::string &line);
  [[noreturn]] void Fail(const std::string &what);
  void Expect(const std::string &text, const std::string &title, unsigned icon);
  void Matched(const Box &box);
  void SyncBoxes();
  bool BoxUp() const { return !boxes_.empty(); }
  void AnswerTop(int how);
  void Before();
  Range Between(const std::function<void()> &action);
  void StartWindow();
  void EndWindow(bool again);

  // The model's transitions. `input` delivers the user's input to the
  // window, running `before` right before it arrives.
  using Input = std::function<void(const std::function<void()> &before)>;
  void OpenClose(const Input &input);
  void SendClick(const Input &input);
  void AutoClick();
  void UntickPath();
  void IntervalChanged(bool &boxShown);
  void TypeInto(Ctl edit, const std::string &keys, bool all);
  void PasteInto(Ctl edit, const std::string &text, bool all);
  bool ApplyKey(Ctl edit, char key);
  void PressKey(const Action &a);
  std::int64_t Payload() const;

  // checks
  void Check();
  std::string Mismatch(const Snapshot &s) const;
  void StrayMayCome();
  bool StrayPossible() const;
  void CheckData();
  std::optional<SimStatus> SimNow();
  // Where the window's received bytes stand when the log ends (`end`, when
  // the Recv counter tells it), or nothing when the log cannot be that.
  std::optional<std::uint64_t> ParseLog(const std::string &log, std::optional<std::uint64_t> end,
                                        std::string &why);
  std::string State() const;
  int WAt(std::uint64_t i) const;
  std::uint64_t WEnd() const;
  void CloseSession();
  void WaitSimQuiet();

  Options o_;
  Window &w_;
  Sim &sim_;

  // actions
  std::uint64_t rng_;
  int done_ = 0;
  std::deque<std::string> trail_;
  int backAt_ = -1;  // step at which the simulator comes back
  bool simPresent_ = true;

  // the window's expected state
  Model m_;
  std::vector<std::string> items40_, items20_;
  std::string appTitle_;
  bool selectAll_ = false;  // the text box being typed into has all selected
  std::deque<Box> expected_;
  std::chrono::steady_clock::time_point
      strayUntil_;          // a queued automatic send may still show a box
  std::vector<Box> boxes_;  // up now, oldest first
  std::uintptr_t serial_ = 0;
  bool checking_ = false;

  // what went over the line
  std::string s_;  // every byte the simulator wrote
  std::vector<Session> sessions_;
  std::int64_t recvOffset_ = 0, sendOffset_ = 0;  // counts before the last reset
  bool recvKnown_ = true, sendKnown_ = true;
  Counters before_;  // as an action arrived
  Range clear_;      // where in the window's bytes the log starts
  bool hexAtClear_ = false;
  std::vector<Switch> switches_;
  std::chrono::steady_clock::time_point clearedAt_;  // the last Clear Recv
  std::size_t saidFailed_ = 0;    // sessions before this one said their line failed, in the log
  std::uint64_t lastN_ = 0;       // the window's bytes as of the last check
  std::int64_t caughtUpG_ = 0;    // session's Send count the simulator had got at the last check
  std::uint64_t payloadMax_ = 0;  // largest payload since the last check (another process)
};

}  // namespace stress
