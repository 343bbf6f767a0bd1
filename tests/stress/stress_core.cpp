#include "stress_core.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace stress {
namespace {

using Clock = std::chrono::steady_clock;

const char kPromptTitle[] = "The system prompts";
const char kOpenFirst[] = "Please configure and open serial port";
const char kNotThere[] = "The port does not exist or occupied";
const char kTooShort[] = "Automatic transmission time interval is too short!";
const char kWelcome[] =
    "Welcome to Zelvane technology products, please visit http://www.zelvane.example for more "
    "information";
// The one line the window adds to the log itself: the line of an open port
// failed (once per opening).
const char kPortFailed[] = "Port Error! Please close and reopen the port.";
constexpr unsigned kIconError = 0x10;
constexpr unsigned kIconInformation = 0x40;

// Bounds for a broken program only: a healthy one takes milliseconds.
constexpr int kCatchUpMs = 10000;
constexpr int kBoxWaitMs = 5000;
constexpr int kCloseMs = 15000;
constexpr int kHangSeconds = 40;

// ---- the seed's random numbers: the same on every platform -----------------

std::uint64_t Next(std::uint64_t &s) {
  std::uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}
std::uint32_t Below(std::uint64_t &s, std::uint32_t n) {
  return static_cast<std::uint32_t>(Next(s) % n);
}

struct KindInfo {
  const char *name;
  int weight;  // relative to the others
};
// In the order of Kind.
const KindInfo kKinds[] = {
    {"port", 30},         {"open", 70},          {"baud", 20},     {"parity", 15},  {"stop", 15},
    {"hexsend", 30},      {"hexdisp", 30},       {"autosend", 50}, {"type", 60},    {"paste", 25},
    {"typeinterval", 40}, {"pasteinterval", 25}, {"at40", 30},     {"at21", 30},    {"send", 90},
    {"clearsend", 20},    {"clearrecv", 30},     {"reset", 20},    {"upgrade", 10}, {"esc", 25},
    {"enter", 25},        {"tab", 20},           {"alt", 30},      {"ctrlv", 15},   {"answer", 15},
    {"stream", 25},       {"away", 8},           {"wait", 40},     {"close", 6},
};
static_assert(sizeof kKinds / sizeof kKinds[0] == static_cast<std::size_t>(Kind::Count),
              "one entry per kind");

const char *const kCtlNames[] = {
    "cbCom",       "cbBaudRate",    "cbParity",  "cbStop",       "cb40AT",
    "cb20AT",      "btnOpenClose",  "btnSend",   "btnClearSend", "btnClearRecv",
    "btnUpdate",   "btnClearCount", "cbHEXSend", "cbHexDisplay", "cbAutoSend",
    "edtAutoSend", "memSend",       "memLog",    "sbTitle",
};

// Where a key goes: the two text boxes, a list and a check box.
const Ctl kKeyTargets[] = {Ctl::memSend, Ctl::edtAutoSend, Ctl::cbParity, Ctl::cbHexDisplay};

std::string RandomPrintable(std::uint64_t &s, std::uint32_t maxLength) {
  std::string t;
  const std::uint32_t n = 1 + Below(s, maxLength);
  for (std::uint32_t i = 0; i < n; ++i) t += static_cast<char>(0x20 + Below(s, 95));
  return t;
}

// Keys for the send box: commands, hex digits, and what the hex filter drops.
std::string SendKeys(std::uint64_t &s) {
  static const char *const pieces[] = {"AT",  "AT+NAME?", "AT+VERS?", "41", "0a", "F",
                                       "4 1", "\b",       "\r",       "z",  "?",  " "};
  std::string keys;
  const std::uint32_t n = 1 + Below(s, 6);
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t k = Below(s, 14);
    keys += k < 12 ? std::string(pieces[k]) : RandomPrintable(s, 3);
  }
  return keys;
}

std::string PasteSendText(std::uint64_t &s) {
  static const char *const texts[] = {"AT",          "AT+VERS?", "AT+NAME?",         "hello world",
                                      "41 54 0D 0A", "GG",       "0123456789abcdef", "AT+ROLE?"};
  const std::uint32_t k = Below(s, 10);
  if (k == 0) {
    // More than one request can carry: the send goes out in pieces. In
    // lines, as a text file has them (Wine's edit control takes seconds
    // over every change of one very long line).
    static const char alphabet[] = "0123456789abcdefAT ";
    std::string big(65000 + Below(s, 35000), ' ');
    std::uint64_t x = Next(s);
    for (std::size_t i = 0; i < big.size(); ++i) {
      big[i] = i % 64 == 62   ? '\r'
               : i % 64 == 63 ? '\n'
                              : alphabet[Next(x) % (sizeof alphabet - 1)];
    }
    // Whole line breaks only: Qt's text box turns a lone CR into one (a
    // byte more to send than on Windows, reported apart).
    if (big.back() == '\r') big.back() = 'A';
    return big;
  }
  if (k < 9) return texts[k - 1];
  return RandomPrintable(s, 30);
}

// Typed into the interval box: mostly digits, some keys its filter drops.
std::string IntervalKeys(std::uint64_t &s) {
  static const char keys[] = "0123456789012345678901234567890123456789\b\ba- \r";
  std::string t;
  const std::uint32_t n = 1 + Below(s, 5);
  for (std::uint32_t i = 0; i < n; ++i) t += keys[Below(s, sizeof keys - 1)];
  return t;
}

// Pasted into the interval box: numbers, too short ones, and no numbers at
// all (no sign, "$" or "x", so "digits only" is exactly "a number").
const char *const kIntervalPastes[] = {"20",     "30",      "50",  "100", "250", "1000",
                                       "20",     "50",      "19",  "0",   "00",  "5",
                                       "999999", "1234567", "12a", "abc", "1 2", "?"};

bool IsNumber(const std::string &t) {
  return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string Printable(const std::string &bytes, std::size_t max = 160) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (bytes.size() > max) out += "...(" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

// The watchdog: a step that makes no progress for too long is a hang.
std::atomic<std::int64_t> progress{0};
std::atomic<bool> watching{false};
std::mutex trailMutex;
std::function<void()> lastWords;

void Progress() { progress = NowMs(); }

}  // namespace

const char *CtlName(Ctl c) { return kCtlNames[static_cast<int>(c)]; }

std::string KindNames() {
  std::string all;
  for (const KindInfo &k : kKinds) all += std::string(all.empty() ? "" : " ") + k.name;
  return all;
}

std::string Action::Describe() const {
  std::string d = kKinds[static_cast<int>(kind)].name;
  switch (kind) {
    case Kind::PickPort:
      return d + (index == 0 ? " simulator" : " missing");
    case Kind::Baud:
    case Kind::Parity:
    case Kind::Stop:
    case Kind::Pick40:
    case Kind::Pick20:
      return d + " #" + std::to_string(index);
    case Kind::TypeSend:
    case Kind::PasteSend:
    case Kind::TypeInterval:
    case Kind::PasteInterval:
      return d + (all ? " over all \"" : " at end \"") + Printable(text, 60) + "\"";
    case Kind::Esc:
    case Kind::Enter:
    case Kind::Tab:
    case Kind::CtrlV:
      return d + " in " + CtlName(kKeyTargets[index]);
    case Kind::Alt:
      return d + "+" + text + " in " + CtlName(kKeyTargets[index]);
    case Kind::AnswerBox:
      return d + " #" + std::to_string(index);
    case Kind::Stream:
      return d + " " + std::to_string(amount) + " bytes";
    case Kind::Away:
      return d + " for " + std::to_string(amount) + " steps";
    case Kind::Wait:
      return d + " " + std::to_string(amount) + " ms";
    default:
      return d;
  }
}

bool ParseOptions(int argc, char **argv, Options &o, std::vector<std::string> &rest,
                  std::string &error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
    if (arg == "--seed") {
      o.seed = std::strtoull(value().c_str(), nullptr, 10);
    } else if (arg == "--steps") {
      o.steps = std::atoi(value().c_str());
    } else if (arg == "--trail") {
      o.trail = true;
    } else if (arg == "--list") {
      o.list = true;
    } else if (arg == "--without") {
      std::string list = value() + ",";
      for (std::size_t p; (p = list.find(',')) != std::string::npos; list.erase(0, p + 1)) {
        const std::string name = list.substr(0, p);
        if (name.empty()) continue;
        bool found = false;
        for (int k = 0; k < static_cast<int>(Kind::Count); ++k) {
          if (name == kKinds[k].name) {
            o.without.insert(static_cast<Kind>(k));
            found = true;
          }
        }
        if (!found) {
          error = "unknown action '" + name + "'; the actions are: " + KindNames();
          return false;
        }
      }
    } else {
      rest.push_back(arg);
    }
  }
  if (o.steps <= 0) {
    error = "--steps needs a positive number";
    return false;
  }
  return true;
}

// ---- the simulator's control port ------------------------------------------

#if defined(_WIN32)
using SocketLen = int;
void CloseSocket(std::intptr_t fd) { closesocket(static_cast<SOCKET>(fd)); }
#else
using SocketLen = socklen_t;
void CloseSocket(std::intptr_t fd) { close(static_cast<int>(fd)); }
#endif

Sim::Sim() {
#if defined(_WIN32)
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
#endif
}

Sim::~Sim() {
  if (fd_ >= 0) CloseSocket(fd_);
}

bool Sim::Connect(int port) {
  const auto fd = static_cast<std::intptr_t>(socket(AF_INET, SOCK_STREAM, 0));
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(static_cast<decltype(socket(0, 0, 0))>(fd), reinterpret_cast<sockaddr *>(&addr),
              static_cast<SocketLen>(sizeof addr)) != 0) {
    CloseSocket(fd);
    return false;
  }
  int one = 1;
  setsockopt(static_cast<decltype(socket(0, 0, 0))>(fd), IPPROTO_TCP, TCP_NODELAY,
             reinterpret_cast<const char *>(&one), sizeof one);
  fd_ = fd;
  return true;
}

bool Sim::SendLine(const std::string &line) {
  const std::string all = line + "\n";
  std::size_t done = 0;
  while (done < all.size()) {
    const auto n = send(static_cast<decltype(socket(0, 0, 0))>(fd_), all.data() + done,
                        static_cast<int>(all.size() - done), 0);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool Sim::Receive() {
  char buf[65536];
  const auto got =
      recv(static_cast<decltype(socket(0, 0, 0))>(fd_), buf, static_cast<int>(sizeof buf), 0);
  if (got <= 0) return false;
  buffered_.append(buf, static_cast<std::size_t>(got));
  return true;
}

bool Sim::ReadBytes(std::string &out, std::size_t n) {
  while (buffered_.size() < n) {
    if (!Receive()) return false;
  }
  out.append(buffered_, 0, n);
  buffered_.erase(0, n);
  return true;
}

bool Sim::ReadLine(std::string &line) {
  std::size_t eol;
  while ((eol = buffered_.find('\n')) == std::string::npos) {
    if (!Receive()) return false;
  }
  line = buffered_.substr(0, eol);
  buffered_.erase(0, eol + 1);
  return true;
}

std::optional<SimStatus> Sim::Status() {
  std::string line;
  if (fd_ < 0 || !SendLine("status") || !ReadLine(line)) return std::nullopt;
  SimStatus st;
  int open = 0, present = 0, pending = 0;
  unsigned long long out = 0, in = 0;
  if (std::sscanf(line.c_str(), "open %d present %d out %llu in %llu pending %d", &open, &present,
                  &out, &in, &pending) != 5) {
    return std::nullopt;
  }
  st.open = open != 0;
  st.present = present != 0;
  st.out = out;
  st.in = in;
  st.pending = pending != 0;
  return st;
}

bool Sim::Fetch(std::string &bytes) {
  std::string line;
  if (fd_ < 0 || !SendLine("out " + std::to_string(bytes.size())) || !ReadLine(line)) return false;
  unsigned long long n = 0;
  if (std::sscanf(line.c_str(), "data %llu", &n) != 1) return false;
  return ReadBytes(bytes, static_cast<std::size_t>(n));
}

bool Sim::Command(const std::string &command) {
  std::string line;
  return fd_ >= 0 && SendLine(command) && ReadLine(line) && line == "ok";
}

// ---- the run ------------------------------------------------------------------

Run::Run(const Options &options, Window &window, Sim &sim)
    : o_(options), w_(window), sim_(sim), rng_(options.seed) {
  lastWords = [this] {
    std::lock_guard<std::mutex> lock(trailMutex);
    std::fprintf(stderr, "stress: HANG: no progress for %d s at step %d (seed %llu)\n",
                 kHangSeconds, done_, static_cast<unsigned long long>(o_.seed));
    std::fprintf(stderr, "stress: replay: %s\nstress: last actions:\n", o_.command.c_str());
    for (const std::string &t : trail_) std::fprintf(stderr, "  %s\n", t.c_str());
    std::fflush(stderr);
    w_.Abandon();
  };
}

Run::~Run() {
  watching = false;
  lastWords = nullptr;
}

Action Run::NextAction() {
  for (;;) {
    Action a;
    static const std::uint32_t total = [] {
      std::uint32_t sum = 0;
      for (const KindInfo &k : kKinds) sum += static_cast<std::uint32_t>(k.weight);
      return sum;
    }();
    std::uint32_t roll = Below(rng_, total);
    int k = 0;
    while (k + 1 < static_cast<int>(Kind::Count) &&
           roll >= static_cast<std::uint32_t>(kKinds[k].weight)) {
      roll -= static_cast<std::uint32_t>(kKinds[k].weight);
      ++k;
    }
    a.kind = static_cast<Kind>(k);
    a.how = static_cast<int>(Below(rng_, 4));  // how a box up at that moment is answered
    switch (a.kind) {
      case Kind::PickPort:
        a.index = Below(rng_, 4) == 0 ? 1 : 0;
        break;
      case Kind::Baud:
        a.index = static_cast<int>(Below(rng_, 10));
        break;
      case Kind::Parity:
        a.index = static_cast<int>(Below(rng_, 5));
        break;
      case Kind::Stop:
        a.index = static_cast<int>(Below(rng_, 2));
        break;
      case Kind::TypeSend:
        a.all = Below(rng_, 3) == 0;
        a.text = SendKeys(rng_);
        break;
      case Kind::PasteSend:
        a.all = Below(rng_, 2) == 0;
        a.text = PasteSendText(rng_);
        break;
      case Kind::TypeInterval:
        a.all = Below(rng_, 2) == 0;
        a.text = IntervalKeys(rng_);
        break;
      case Kind::PasteInterval:
        a.all = Below(rng_, 2) == 0;
        a.text = kIntervalPastes[Below(rng_, sizeof kIntervalPastes / sizeof kIntervalPastes[0])];
        break;
      case Kind::Pick40:
        a.index = static_cast<int>(Below(rng_, 27));
        break;
      case Kind::Pick20:
        a.index = static_cast<int>(Below(rng_, 37));
        break;
      case Kind::Esc:
      case Kind::Enter:
      case Kind::Tab:
        a.index = static_cast<int>(Below(rng_, 4));
        break;
      case Kind::Alt:
        a.index = static_cast<int>(Below(rng_, 4));
        a.text = std::string(1, "ocsx"[Below(rng_, 4)]);
        break;
      case Kind::CtrlV:
        a.index = static_cast<int>(Below(rng_, 2));
        break;
      case Kind::AnswerBox:
        a.index = static_cast<int>(Below(rng_, 4));
        break;
      case Kind::Stream:
        a.amount = Below(rng_, 4) == 0 ? 1 + Below(rng_, 65536) : 1 + Below(rng_, 1024);
        break;
      case Kind::Away:
        a.amount = 1 + Below(rng_, 12);
        break;
      case Kind::Wait:
        a.amount = Below(rng_, 5) == 0 ? 200 + Below(rng_, 1300) : 10 + Below(rng_, 200);
        break;
      default:
        break;
    }
    // Left-out kinds still take their draws: the rest of the sequence stays.
    if (o_.without.count(a.kind) == 0) return a;
  }
}

void Run::List(const Options &options) {
  Options o = options;
  o.trail = false;
  struct NoWindow : Window {
    bool Start() override { return false; }
    bool InProcess() const override { return true; }
    std::string AppTitle() const override { return {}; }
    std::vector<std::string> Items(Ctl) override { return {}; }
    int PortIndex(int) override { return 0; }
    void Click(Ctl, const std::function<void()> &) override {}
    void Pick(Ctl, int) override {}
    void Place(Ctl, bool) override {}
    void Type(Ctl, char) override {}
    void Paste(Ctl, const std::string &) override {}
    void Press(Ctl, Key, char) override {}
    void Answer(int) override {}
    bool Close(int) override { return true; }
    void Pump(int) override {}
    Snapshot Read() override { return {}; }
    Counters ReadCounters() override { return {}; }
    std::string ReadLog() override { return {}; }
  } none;
  Sim sim;
  Run run(o, none, sim);
  for (int i = 1; i <= o.steps; ++i)
    std::printf("step %d %s\n", i, run.NextAction().Describe().c_str());
}

void Run::Note(const std::string &line) {
  Progress();
  std::lock_guard<std::mutex> lock(trailMutex);
  trail_.push_back(line);
  if (trail_.size() > 60) trail_.pop_front();
  if (o_.trail) {
    std::printf("  %s\n", line.c_str());
    std::fflush(stdout);
  }
}

void Run::Fail(const std::string &what) {
  watching = false;
  {
    std::lock_guard<std::mutex> lock(trailMutex);
    std::fprintf(stderr, "stress: FAIL at step %d (seed %llu): %s\nstress: expected state: %s\n",
                 done_, static_cast<unsigned long long>(o_.seed), what.c_str(), State().c_str());
    const std::string inside = w_.Diagnose();
    if (!inside.empty()) std::fprintf(stderr, "stress: inside the program: %s\n", inside.c_str());
    std::fprintf(stderr, "stress: replay: %s\nstress: last actions:\n", o_.command.c_str());
    for (const std::string &t : trail_) std::fprintf(stderr, "  %s\n", t.c_str());
    std::fflush(stderr);
  }
  w_.Abandon();
  std::fflush(stdout);
  std::_Exit(1);
}

// ---- message boxes ------------------------------------------------------------

void Run::Expect(const std::string &text, const std::string &title, unsigned icon) {
  Box b;
  b.text = text;
  b.title = title;
  b.icon = icon;
  expected_.push_back(b);
}

void Run::Matched(const Box &box) {
  auto same = [&](const Box &e) {
    return e.text == box.text && e.title == box.title && e.icon == box.icon;
  };
  if (!expected_.empty() && same(expected_.front())) {
    expected_.pop_front();
  } else if (StrayPossible() && box.text == kOpenFirst && box.title == kPromptTitle &&
             box.icon == 0) {
    // An automatic send queued before the port closed asks for an open port.
    strayUntil_ = {};
  } else {
    std::string want = expected_.empty() ? std::string("no box")
                                         : "\"" + expected_.front().text + "\" titled \"" +
                                               expected_.front().title + "\" icon " +
                                               std::to_string(expected_.front().icon);
    Fail("a message box \"" + box.text + "\" titled \"" + box.title + "\" icon " +
         std::to_string(box.icon) + "; expected " + want);
  }
  Note("    box \"" + box.text + "\"");
}

void Run::BoxShown(const Box &shown) {
  Box box = shown;
  box.id = ++serial_;
  Matched(box);
  boxes_.push_back(box);
  if (checking_) {
    // Up during a check (a stray send): answered at once, so no step runs
    // inside a check.
    AnswerTop(0);
    return;
  }
  // The user deals with it: steps go on inside its modal loop until one
  // answers it.
  while (!boxes_.empty() && boxes_.back().id == box.id) {
    if (done_ >= o_.steps) {
      AnswerTop(0);
      break;
    }
    Step(1);
  }
}

void Run::SyncBoxes() {
  if (w_.InProcess()) return;
  const std::vector<Box> now = w_.OpenBoxes();
  for (const Box &b : now) {
    const bool known =
        std::any_of(boxes_.begin(), boxes_.end(), [&](const Box &k) { return k.id == b.id; });
    if (!known) {
      Matched(b);
      boxes_.push_back(b);
    }
  }
  boxes_.erase(std::remove_if(boxes_.begin(), boxes_.end(),
                              [&](const Box &k) {
                                return std::none_of(now.begin(), now.end(),
                                                    [&](const Box &b) { return b.id == k.id; });
                              }),
               boxes_.end());
}

void Run::AnswerTop(int how) {
  if (boxes_.empty()) return;
  static const char *const ways[] = {"OK", "Enter", "Esc", "close box"};
  Note("    answer \"" + boxes_.back().text + "\" with " + ways[how]);
  const std::uintptr_t id = boxes_.back().id;
  w_.Answer(how);
  if (w_.InProcess()) {
    boxes_.pop_back();
    return;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(kBoxWaitMs);
  for (;;) {
    SyncBoxes();
    if (std::none_of(boxes_.begin(), boxes_.end(), [&](const Box &b) { return b.id == id; })) {
      return;
    }
    if (Clock::now() > deadline) Fail("the box \"" + boxes_.back().text + "\" did not close");
    w_.Pump(10);
  }
}

// ---- the window's life ------------------------------------------------------

void Run::StartWindow() {
  if (!w_.Start()) Fail("the program did not start: " + w_.Problem());
  m_ = Model();
  items40_ = w_.Items(Ctl::cb40AT);
  items20_ = w_.Items(Ctl::cb20AT);
  if (items40_.size() != 27 || items20_.size() != 37)
    Fail("the AT lists do not hold 27 and 37 items");
  appTitle_ = w_.AppTitle();
  expected_.clear();
  strayUntil_ = {};
  boxes_.clear();
  sessions_.clear();
  recvOffset_ = sendOffset_ = 0;
  recvKnown_ = sendKnown_ = true;
  clear_ = Range{};
  hexAtClear_ = false;
  switches_.clear();
  saidFailed_ = 0;
  lastN_ = 0;
  caughtUpG_ = 0;
  payloadMax_ = 0;
  w_.Pick(Ctl::cbCom, w_.PortIndex(0));  // as started: the simulator's port first
  Check();
}

void Run::EndWindow(bool again) {
  // Closing the window: with Auto Send ticked the thread is ended first; an
  // open port is closed; a closed one stays closed.
  if (m_.autoTick && m_.thread) m_.thread = false;
  const bool wasOpen = m_.open;
  if (m_.open) {
    if (m_.thread) ++m_.threadCount;
    m_.open = false;
  }
  if (!w_.Close(kCloseMs)) {
    Fail("closing the window did not end the program within " + std::to_string(kCloseMs / 1000) +
         " s");
  }
  if (!expected_.empty()) Fail("the box \"" + expected_.front().text + "\" was not shown");
  if (simPresent_) {
    const std::optional<SimStatus> st = SimNow();
    if (st && st->open) {
      Fail(std::string("the port is still open after the window closed (it was ") +
           (wasOpen ? "open)" : "closed)"));
    }
  }
  if (!again) return;
  Note("    (the program ended; it starts again)");
  StartWindow();
}

void Run::Go() {
  std::printf("stress: seed %llu, %d steps; replay: %s\n", static_cast<unsigned long long>(o_.seed),
              o_.steps, o_.command.c_str());
  std::fflush(stdout);
  Progress();
  watching = true;
  std::thread([] {
    while (watching) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      if (watching && NowMs() - progress > std::int64_t{kHangSeconds} * 1000) {
        if (lastWords) lastWords();
        std::_Exit(3);
      }
    }
  }).detach();
  const auto started = Clock::now();
  if (!sim_.Fetch(s_)) Fail("the simulator does not answer on its control port");
  StartWindow();
  while (done_ < o_.steps) Step(0);
  if (o_.without.count(Kind::CloseWindow) == 0) {
    Note("(end of the run: the window closes)");
    SyncBoxes();
    while (BoxUp()) AnswerTop(0);
    EndWindow(false);
  }
  watching = false;
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::printf("stress: seed %llu: %d steps passed in %.1f s (%zu bytes from the simulator)\n",
              static_cast<unsigned long long>(o_.seed), done_, seconds, s_.size());
  std::fflush(stdout);
}

// ---- one step -------------------------------------------------------------------

void Run::Step(int depth) {
  Progress();
  if (backAt_ >= 0 && done_ >= backAt_) {
    backAt_ = -1;
    if (!sim_.Command("back")) Fail("the simulator did not come back");
    simPresent_ = true;
    Note("    (the simulator is back)");
  }
  const Action a = NextAction();
  ++done_;
  Note("step " + std::to_string(done_) + (depth > 0 ? " [box up] " : " ") + a.Describe());
  Perform(a);
  // Another process may be amid an automatic send of the box as it is now.
  if (m_.AutoRunning())
    payloadMax_ = std::max<std::uint64_t>(payloadMax_, static_cast<std::uint64_t>(Payload()));
  if (depth == 0) {
    w_.Pump(0);
    Check();
  }
}

namespace {
bool IsWindowAction(Kind k) {
  return k != Kind::AnswerBox && k != Kind::Stream && k != Kind::Away && k != Kind::Wait;
}
}  // namespace

void Run::Perform(const Action &a) {
  SyncBoxes();
  if (IsWindowAction(a.kind) && BoxUp()) {
    // The window is modal: the user deals with the box first.
    AnswerTop(a.how);
    return;
  }
  auto blocked = [this](const char *why) { Note(std::string("    (not possible: ") + why + ")"); };
  switch (a.kind) {
    case Kind::PickPort:
      m_.port = a.index;
      w_.Pick(Ctl::cbCom, w_.PortIndex(a.index));
      break;
    case Kind::OpenClose:
      OpenClose(
          [this](const std::function<void()> &before) { w_.Click(Ctl::btnOpenClose, before); });
      break;
    case Kind::Baud:
      w_.Pick(Ctl::cbBaudRate, a.index);
      break;
    case Kind::Parity:
      w_.Pick(Ctl::cbParity, a.index);
      break;
    case Kind::Stop:
      w_.Pick(Ctl::cbStop, a.index);
      break;
    case Kind::HexSend:
      m_.hexSend = !m_.hexSend;
      if (m_.hexSend) m_.sendText.clear();
      w_.Click(Ctl::cbHEXSend, {});
      break;
    case Kind::HexDisp: {
      m_.hexDisp = !m_.hexDisp;
      Switch s;
      s.hex = m_.hexDisp;
      s.at = Between([this] { w_.Click(Ctl::cbHexDisplay, [this] { Before(); }); });
      switches_.push_back(s);
      break;
    }
    case Kind::AutoSend:
      if (!m_.autoEnabled) return blocked("Auto Send is disabled");
      AutoClick();
      w_.Click(Ctl::cbAutoSend, {});
      break;
    case Kind::TypeSend:
      TypeInto(Ctl::memSend, a.text, a.all);
      break;
    case Kind::PasteSend:
      PasteInto(Ctl::memSend, a.text, a.all);
      break;
    case Kind::TypeInterval:
      if (!m_.intervalEnabled) return blocked("the interval box is disabled");
      TypeInto(Ctl::edtAutoSend, a.text, a.all);
      break;
    case Kind::PasteInterval:
      if (!m_.intervalEnabled) return blocked("the interval box is disabled");
      PasteInto(Ctl::edtAutoSend, a.text, a.all);
      break;
    case Kind::Pick40:
    case Kind::Pick20: {
      const std::vector<std::string> &items = a.kind == Kind::Pick40 ? items40_ : items20_;
      // "Choose" is a prompt, not a command.
      if (a.index > 0) m_.sendText = items[static_cast<std::size_t>(a.index)];
      w_.Pick(a.kind == Kind::Pick40 ? Ctl::cb40AT : Ctl::cb20AT, a.index);
      break;
    }
    case Kind::Send:
      if (!m_.sendEnabled) return blocked("Send is disabled");
      SendClick([this](const std::function<void()> &before) { w_.Click(Ctl::btnSend, before); });
      break;
    case Kind::ClearSend:
      m_.sendText.clear();
      w_.Click(Ctl::btnClearSend, {});
      break;
    case Kind::ClearRecv:
      clear_ = Between([this] { w_.Click(Ctl::btnClearRecv, [this] { Before(); }); });
      hexAtClear_ = m_.hexDisp;
      switches_.clear();
      clearedAt_ = Clock::now();
      break;
    case Kind::ResetCounter: {
      const bool quiet = !m_.AutoRunning() && !StrayPossible();
      std::size_t logBefore = 0;
      w_.Click(Ctl::btnClearCount, [&] {
        // The log first: a chunk that comes before the counters are read
        // then shows as a longer log after the click.
        if (!w_.InProcess()) logBefore = w_.ReadLog().size();
        Before();
      });
      recvOffset_ += before_.recv;
      sendOffset_ += before_.sent;
      if (!w_.InProcess()) {
        // Read just before the click reached the window: a chunk may have
        // come in between (the log shows it), and an automatic send may
        // have counted.
        if (w_.ReadLog().size() != logBefore) recvKnown_ = false;
        if (!quiet) sendKnown_ = false;
      }
      break;
    }
    case Kind::Upgrade:
      Expect(kWelcome, kPromptTitle, kIconInformation);
      w_.Click(Ctl::btnUpdate, {});
      break;
    case Kind::Esc:
    case Kind::Tab:
    case Kind::Enter:
    case Kind::CtrlV:
    case Kind::Alt:
      PressKey(a);
      break;
    case Kind::AnswerBox:
      if (!BoxUp()) return Note("    (no box to answer)");
      AnswerTop(a.index);
      break;
    case Kind::Stream: {
      const std::uint32_t n = std::min(a.amount, o_.maxStream);
      if (!sim_.Command("stream " + std::to_string(n))) Fail("the simulator refused to stream");
      break;
    }
    case Kind::Away:
      if (!simPresent_) return Note("    (already away)");
      if (!sim_.Command("away")) Fail("the simulator did not go away");
      simPresent_ = false;
      backAt_ = done_ + static_cast<int>(a.amount);
      if (m_.open && !sessions_.empty() && sessions_.back().healthy) {
        sessions_.back().healthy = false;
        sessions_.back().lostAt = Clock::now();
      }
      break;
    case Kind::Wait:
      w_.Pump(static_cast<int>(a.amount));
      break;
    case Kind::CloseWindow:
      EndWindow(true);
      break;
    case Kind::Count:
      break;
  }
}

// ---- the model's transitions ----------------------------------------------------

// An automatic send that was under way when the thread was suspended still
// runs; shortly after, it shows "Please configure..." if the port is closed.
void Run::StrayMayCome() { strayUntil_ = Clock::now() + std::chrono::milliseconds(2000); }
bool Run::StrayPossible() const { return Clock::now() < strayUntil_; }

void Run::Before() { before_ = w_.ReadCounters(); }

// Where in the window's received bytes an action fell: exactly where the
// counter stood when it arrived (in-process), or between the counts read
// just before and just after it.
Run::Range Run::Between(const std::function<void()> &action) {
  action();
  Range r;
  if (w_.InProcess()) {
    r.lo = r.hi = static_cast<std::uint64_t>(before_.recv + recvOffset_);
  } else if (recvKnown_) {
    r.lo = static_cast<std::uint64_t>(before_.recv + recvOffset_);
    r.hi = static_cast<std::uint64_t>(w_.ReadCounters().recv + recvOffset_);
  } else {
    r = Range{lastN_, UINT64_MAX};
  }
  return r;
}

void Run::UntickPath() {
  if (m_.thread) {
    if (m_.threadCount == 0) StrayMayCome();
    ++m_.threadCount;
  }
  m_.intervalEnabled = m_.sendEnabled = true;
}

void Run::AutoClick() {
  m_.autoTick = !m_.autoTick;
  // With the port closed the box only keeps its new state.
  if (!m_.open) return;
  if (!m_.autoTick) return UntickPath();
  if (m_.interval.empty() || m_.interval == "0") {
    m_.autoTick = false;  // unticks itself, and the untick runs
    return UntickPath();
  }
  if (!IsNumber(m_.interval)) {
    Expect("'" + m_.interval + "' is not a valid integer value.", appTitle_, kIconError);
    return;
  }
  if (std::stol(m_.interval) >= 20) {
    m_.sendEnabled = m_.intervalEnabled = false;
    if (m_.thread && m_.threadCount > 0) --m_.threadCount;
  } else {
    Expect(kTooShort, kPromptTitle, kIconInformation);
  }
}

void Run::OpenClose(const std::function<void(const std::function<void()> &)> &input) {
  if (m_.open) {
    if (m_.thread) {
      if (m_.threadCount == 0) StrayMayCome();
      ++m_.threadCount;
    }
    m_.open = false;
    input({});
    CloseSession();
    return;
  }
  bool ok = simPresent_ && m_.port == 0;
  if (ok && m_.thread && m_.threadCount > 0) {
    // Opening resumes a suspended auto-send thread with the interval, which
    // must convert; otherwise the port is closed again.
    if (IsNumber(m_.interval)) {
      --m_.threadCount;
    } else {
      ok = false;
    }
  }
  if (!ok) {
    Expect(kNotThere, kPromptTitle, kIconInformation);
    input({});
    return;
  }
  WaitSimQuiet();
  m_.open = true;
  Counters c;
  std::optional<SimStatus> st;
  input([&] {
    c = w_.ReadCounters();
    st = sim_.Status();
  });
  if (!st) Fail("the simulator does not answer on its control port");
  Session s;
  s.wStart = w_.InProcess() ? static_cast<std::uint64_t>(c.recv + recvOffset_) : lastN_;
  s.sStart = st->out;
  s.pStart = st->in;
  s.gStart = c.sent + sendOffset_;
  s.healthy = true;
  sessions_.push_back(s);
  caughtUpG_ = 0;
  // The Send count's base is this session's own.
  sendKnown_ = true;
}

void Run::WaitSimQuiet() {
  // Replies to what was sent before the port closed are made first; what the
  // simulator could not write into the closed port is then dropped, so the
  // next session starts at a byte known before the open.
  const auto deadline = Clock::now() + std::chrono::milliseconds(300);
  for (;;) {
    const std::optional<SimStatus> st = sim_.Status();
    if (!st || !st->pending || Clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!sim_.Command("drop")) Fail("the simulator does not answer on its control port");
}

void Run::CloseSession() {
  if (sessions_.empty()) return;
  const Session &s = sessions_.back();
  if (!s.healthy || !sendKnown_ || !simPresent_) return;
  // The writer has stopped: what the simulator got is final. Bytes counted
  // since the last check may have been dropped with the writer's queue;
  // nothing counted before it.
  w_.Pump(0);
  const Counters c = w_.ReadCounters();
  const std::optional<SimStatus> st = SimNow();
  if (!st) Fail("the simulator does not answer on its control port");
  const std::int64_t g = c.sent + sendOffset_ - s.gStart;
  const auto p = static_cast<std::int64_t>(st->in - s.pStart);
  const auto slack = static_cast<std::int64_t>(w_.InProcess() ? 0 : payloadMax_);
  if (p > g + slack) {
    Fail("the simulator got " + std::to_string(p) +
         " bytes in this session, the Send counter counted " + std::to_string(g));
  }
  if (p + slack < caughtUpG_) {
    Fail("at the close the simulator had " + std::to_string(p) + " bytes, fewer than the " +
         std::to_string(caughtUpG_) + " it had already got");
  }
}

std::int64_t Run::Payload() const {
  if (!m_.hexSend) return static_cast<std::int64_t>(m_.sendText.size());
  const auto digits = std::count_if(m_.sendText.begin(), m_.sendText.end(), IsHexDigit);
  return (digits + 1) / 2;
}

void Run::SendClick(const std::function<void(const std::function<void()> &)> &input) {
  if (!m_.open) {
    Expect(kOpenFirst, kPromptTitle, 0);
    input({});
    return;
  }
  const std::int64_t n = Payload();
  payloadMax_ = std::max<std::uint64_t>(payloadMax_, static_cast<std::uint64_t>(n));
  Counters before;
  input([&] { before = w_.ReadCounters(); });
  // The counter grows by exactly what the send box encodes to, when no
  // automatic send can count meanwhile.
  if (!m_.AutoRunning() && !StrayPossible() && !BoxUp()) {
    Counters after = w_.ReadCounters();
    // From another process the count shows once the send's pause is over.
    const auto deadline = Clock::now() + std::chrono::milliseconds(w_.InProcess() ? 0 : 2000);
    while (after.sent - before.sent != n && Clock::now() < deadline) {
      w_.Pump(20);
      after = w_.ReadCounters();
    }
    if (after.sent - before.sent != n) {
      Fail("Send counted " + std::to_string(after.sent - before.sent) +
           " bytes for a send box of " + std::to_string(n) + " (\"" + Printable(m_.sendText, 60) +
           "\"" + (m_.hexSend ? ", hex" : "") + ")");
    }
  }
}

bool Run::ApplyKey(Ctl edit, char key) {
  std::string &t = edit == Ctl::memSend ? m_.sendText : m_.interval;
  const auto k = static_cast<unsigned char>(key);
  // The key filters: hex digits in a hex send box, digits in the interval.
  if (edit == Ctl::memSend && m_.hexSend && k != 8 && !IsHexDigit(key)) return false;
  if (edit == Ctl::edtAutoSend && k != 8 && !(key >= '0' && key <= '9')) return false;
  const std::string before = t;
  if (k == 8) {
    if (selectAll_) {
      t.clear();
    } else if (t.size() >= 2 && t.compare(t.size() - 2, 2, "\r\n") == 0) {
      t.resize(t.size() - 2);
    } else if (!t.empty()) {
      std::size_t from = t.size() - 1;
      while (from > 0 && (static_cast<unsigned char>(t[from]) & 0xC0) == 0x80) --from;
      t.resize(from);
    }
    selectAll_ = false;
  } else if (k == 13) {
    if (edit != Ctl::memSend) return false;
    if (selectAll_) t.clear();
    t += "\r\n";
    selectAll_ = false;
  } else if (k >= 32) {
    if (selectAll_) t.clear();
    selectAll_ = false;
    if (edit == Ctl::edtAutoSend && t.size() >= 6) return false;
    t += key;
  }
  return t != before;
}

void Run::IntervalChanged(bool &boxShown) {
  boxShown = false;
  if (m_.interval.empty()) {
    m_.autoEnabled = false;
  } else if (IsNumber(m_.interval)) {
    m_.autoEnabled = std::stol(m_.interval) >= 1;
  } else {
    // Pasted text that is no number: its conversion escapes the handler.
    Expect("'" + m_.interval + "' is not a valid integer value.", appTitle_, kIconError);
    boxShown = true;
  }
}

void Run::TypeInto(Ctl edit, const std::string &keys, bool all) {
  w_.Place(edit, all);
  selectAll_ = all;
  for (char ch : keys) {
    bool box = false;
    if (ApplyKey(edit, ch) && edit == Ctl::edtAutoSend) IntervalChanged(box);
    w_.Type(edit, ch);
    // A box takes the keys that follow: the user stops typing.
    if (box) break;
  }
}

void Run::PasteInto(Ctl edit, const std::string &text, bool all) {
  std::string &t = edit == Ctl::memSend ? m_.sendText : m_.interval;
  std::string after = all ? std::string() : t;
  std::string insert = text;
  if (edit == Ctl::edtAutoSend && after.size() + insert.size() > 6) insert.resize(6 - after.size());
  after += insert;
  m_.clipboard = text;
  const bool changed = after != t;
  t = after;
  w_.Place(edit, all);
  bool box = false;
  if (changed && edit == Ctl::edtAutoSend) IntervalChanged(box);
  w_.Paste(edit, text);
}

void Run::PressKey(const Action &a) {
  const Ctl target = kKeyTargets[a.index];
  const bool edit = target == Ctl::memSend || target == Ctl::edtAutoSend;
  if (target == Ctl::edtAutoSend && !m_.intervalEnabled) {
    return Note("    (not possible: the interval box is disabled)");
  }
  // The user clicks at the end of a text box's text first.
  if (edit) w_.Place(target, false);
  selectAll_ = false;
  switch (a.kind) {
    case Kind::Enter:
      if (edit) ApplyKey(target, '\r');
      w_.Press(target, Key::Enter, 0);
      break;
    case Kind::CtrlV:
      // The chord is the control character 0x16 to the key filter; what
      // passes, the box pastes.
      if (target == Ctl::memSend && !m_.hexSend) m_.sendText += m_.clipboard;
      w_.Press(target, Key::CtrlV, 0);
      break;
    case Kind::Alt: {
      const char letter = a.text[0];
      auto press = [&](const std::function<void()> &before) {
        if (before) before();
        w_.Press(target, Key::Alt, letter);
      };
      // The accelerators: Alt+O on "&Open Com", Alt+C on "&Close Com", Alt+S
      // on "&Send" while it is enabled; any other letter does nothing.
      if ((letter == 'o' && !m_.open) || (letter == 'c' && m_.open)) {
        OpenClose(press);
      } else if (letter == 's' && m_.sendEnabled) {
        SendClick(press);
      } else {
        w_.Press(target, Key::Alt, letter);
      }
      break;
    }
    default:
      w_.Press(target, a.kind == Kind::Esc ? Key::Esc : Key::Tab, 0);
      break;
  }
}

// ---- checks -------------------------------------------------------------------------

std::optional<SimStatus> Run::SimNow() {
  std::optional<SimStatus> st = sim_.Status();
  if (!st || !sim_.Fetch(s_)) Fail("the simulator does not answer on its control port");
  return st;
}

void Run::Check() {
  Progress();
  checking_ = true;
  SyncBoxes();
  if (!expected_.empty() && !w_.InProcess()) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kBoxWaitMs);
    while (!expected_.empty() && Clock::now() < deadline) {
      w_.Pump(10);
      SyncBoxes();
    }
  }
  if (!expected_.empty()) Fail("the box \"" + expected_.front().text + "\" was not shown");
  Snapshot shown = w_.Read();
  // From another process, keys posted through the program's loop may still
  // be on their way: what it shows must come to match.
  const auto settle = Clock::now() + std::chrono::milliseconds(w_.InProcess() ? 0 : 3000);
  while (shown.responsive && !Mismatch(shown).empty() && Clock::now() < settle) {
    w_.Pump(20);
    SyncBoxes();
    shown = w_.Read();
  }
  const std::string mismatch = Mismatch(shown);
  if (!mismatch.empty()) Fail(mismatch);
  CheckData();
  checking_ = false;
}

// The first way the window differs from the model, or "".
std::string Run::Mismatch(const Snapshot &s) const {
  if (!s.responsive) return "the program does not answer: " + s.unresponsive;
  if (!s.missing.empty()) {
    std::string names;
    for (Ctl c : s.missing) names += std::string(" ") + CtlName(c);
    return "controls gone or hidden:" + names;
  }
  auto text = [](const char *what, const std::string &want, const std::string &got) {
    return want == got ? std::string()
                       : std::string(what) + " shows \"" + Printable(got) + "\", expected \"" +
                             Printable(want) + "\"";
  };
  auto flag = [](const char *what, bool want, bool got) {
    return want == got ? std::string()
                       : std::string(what) + ": " + (got ? "yes" : "no") + ", expected " +
                             (want ? "yes" : "no");
  };
  const int threads = m_.thread ? m_.threadCount : -1;
  for (const std::string &m : {
           text("btnOpenClose", m_.open ? "&Close Com" : "&Open Com", s.caption),
           text("the send box", m_.sendText, s.sendText),
           text("the interval box", m_.interval, s.interval),
           flag("HEX Send ticked", m_.hexSend, s.hexSend),
           flag("HEX Disp ticked", m_.hexDisp, s.hexDisp),
           flag("Auto Send ticked", m_.autoTick, s.autoSend),
           flag("Send enabled", m_.sendEnabled, s.sendEnabled),
           flag("the interval box enabled", m_.intervalEnabled, s.intervalEnabled),
           flag("Auto Send enabled", m_.autoEnabled, s.autoEnabled),
           // The caption says open exactly when the device is open.
           s.deviceOpen < 0 ? std::string() : flag("the device open", m_.open, s.deviceOpen == 1),
           s.threadCount == -2 || s.threadCount == threads
               ? std::string()
               : "the auto-send thread holds " + std::to_string(s.threadCount) +
                     " suspensions, expected " + std::to_string(threads),
       }) {
    if (!m.empty()) return m;
  }
  return {};
}

int Run::WAt(std::uint64_t i) const {
  for (std::size_t k = sessions_.size(); k-- > 0;) {
    const Session &s = sessions_[k];
    if (i < s.wStart) continue;
    const std::uint64_t at = s.sStart + (i - s.wStart);
    if (at >= s_.size()) return -1;
    if (k + 1 < sessions_.size() && at >= sessions_[k + 1].sStart) return -1;
    return static_cast<unsigned char>(s_[at]);
  }
  return -1;
}

std::uint64_t Run::WEnd() const {
  if (sessions_.empty()) return 0;
  const Session &s = sessions_.back();
  return s.wStart + (s_.size() > s.sStart ? s_.size() - s.sStart : 0);
}

// The log must be what the window received since the last Clear Recv, each
// byte shown in the mode HEX Disp had when its chunk came. Where a clear or
// a mode change falls is known to a range (one place in-process); every
// place in it is tried, and the one that explains the log is kept.
std::optional<std::uint64_t> Run::ParseLog(const std::string &log, std::optional<std::uint64_t> end,
                                           std::string &why) {
  static const char kHex[] = "0123456789ABCDEF";
  struct Path {
    std::size_t pos;
    std::uint64_t i;
    bool hex;
    std::size_t sw;
    std::uint64_t clearAt;
    std::vector<std::uint64_t> points;
    std::size_t failed;  // sessions before this one may no longer say their line failed
  };
  std::vector<Path> todo;
  const std::uint64_t clearHi = std::min(clear_.hi, std::max(WEnd(), clear_.lo));
  for (std::uint64_t c = clearHi + 1; c-- > clear_.lo;) {
    todo.push_back(Path{0, c, hexAtClear_, 0, c, {}, 0});
    if (c == 0) break;
  }
  // A session that lost its simulator may say so once, between its own
  // bytes, on a line of its own: after the break that ends the log, or
  // after one put in front.
  const std::string failedAfterBreak = std::string(kPortFailed) + "\r\n";
  const std::string failedOpenLine = "\r\n" + std::string(kPortFailed);
  // Each session it may belong to (where one session's bytes end and the
  // next one's begin, either), the latest tried first.
  auto sayFailed = [&](const Path &p) {
    const bool afterBreak = p.pos == 0 || log[p.pos - 1] == '\r' || log[p.pos - 1] == '\n';
    const std::string &line = afterBreak ? failedAfterBreak : failedOpenLine;
    if (log.compare(p.pos, line.size(), line) != 0) return;
    for (std::size_t k = p.failed; k < sessions_.size(); ++k) {
      const bool within = sessions_[k].wStart <= p.i &&
                          (k + 1 == sessions_.size() || p.i <= sessions_[k + 1].wStart);
      if (!within || sessions_[k].healthy) continue;
      Path said = p;
      said.pos += line.size();
      said.failed = k + 1;
      todo.push_back(said);
    }
  };
  std::size_t bestPos = 0;
  std::uint64_t bestI = clear_.lo;
  std::optional<std::uint64_t> endedAt;  // a reading that missed only the counter
  while (!todo.empty()) {
    Path p = todo.back();
    todo.pop_back();
    for (;;) {
      if (p.sw < switches_.size()) {
        const Range r = switches_[p.sw].at;
        if (p.i > r.hi) break;  // went past where the mode had to change
        if (p.i >= r.lo) {
          Path switched = p;
          switched.hex = switches_[p.sw].hex;
          switched.points.push_back(p.i);
          ++switched.sw;
          if (p.i == r.hi) {
            p = switched;
            continue;
          }
          todo.push_back(switched);
        }
      }
      sayFailed(p);
      if (p.pos == log.size()) {
        if (end && p.i != *end) {
          endedAt = p.i;
          break;
        }
        // Settled: later mode changes are still to come.
        clear_.lo = clear_.hi = p.clearAt;
        for (std::size_t k = 0; k < p.points.size(); ++k) {
          switches_[k].at.lo = switches_[k].at.hi = p.points[k];
        }
        saidFailed_ = p.failed;
        return p.i;
      }
      const int b = WAt(p.i);
      if (b < 0) break;
      if (p.hex) {
        if (log.size() - p.pos < 3 || log[p.pos] != kHex[b >> 4] ||
            log[p.pos + 1] != kHex[b & 15] || log[p.pos + 2] != ' ') {
          break;
        }
        p.pos += 3;
      } else {
        if (static_cast<unsigned char>(log[p.pos]) != b) break;
        ++p.pos;
      }
      ++p.i;
    }
    if (p.pos >= bestPos) {
      bestPos = p.pos;
      bestI = p.i;
    }
  }
  if (endedAt) {
    why = "the Recv counter says the window received " + std::to_string(*end) +
          " bytes, the log shows " + std::to_string(*endedAt);
    return std::nullopt;
  }
  std::string expect;
  for (std::uint64_t i = bestI; i < bestI + 24; ++i) {
    const int b = WAt(i);
    if (b < 0) break;
    expect += static_cast<char>(b);
  }
  why = "the log (" + std::to_string(log.size()) + " bytes) departs at byte " +
        std::to_string(bestPos) + ": it shows \"" + Printable(log.substr(bestPos, 48)) +
        "\" where the simulator's bytes from the window's byte " + std::to_string(bestI) +
        " are \"" + Printable(expect) + "\"" + (WAt(bestI) < 0 ? " (none sent)" : "");
  for (const char *line :
       {"Send Error!", "Port Error!", "Set the serial number failed!", "Set the baud rate failed!",
        "Set stop bit failed!", "Set parity bit failed!"}) {
    if (log.find(line) != std::string::npos) {
      why += "; the log holds the line \"" + std::string(line) + "\"";
    }
  }
  return std::nullopt;
}

std::string Run::State() const {
  std::string t =
      std::string("port ") + (m_.open ? "open" : "closed") +
      (m_.port == 0 ? " (the simulator's)" : " (the missing one)") +
      (simPresent_ ? "" : ", the simulator away") + ", send box \"" + Printable(m_.sendText, 40) +
      "\"" + (m_.hexSend ? " hex" : "") + ", interval \"" + m_.interval + "\"" +
      (m_.autoTick ? ", Auto Send ticked" : "") +
      (m_.thread ? ", auto-send thread " + std::to_string(m_.threadCount) + " suspension(s)"
                 : ", no auto-send thread") +
      (m_.hexDisp ? ", HEX Disp" : "");
  if (!sessions_.empty()) {
    const Session &s = sessions_.back();
    t += "; session from the window's byte " + std::to_string(s.wStart) + ", the simulator's out " +
         std::to_string(s.sStart) + " and in " + std::to_string(s.pStart) + ", Send count " +
         std::to_string(s.gStart) + (s.healthy ? "" : ", lost its simulator");
  }
  return t;
}

void Run::CheckData() {
  std::optional<SimStatus> st = SimNow();
  if (st->present != simPresent_) Fail("the simulator is not where the driver left it");
  const bool live = m_.open && !sessions_.empty() && sessions_.back().healthy && simPresent_;
  // The simulator sees its port open exactly when the window has it open
  // (a window still holding a port of a simulator that went away does not).
  if (simPresent_ && st->open != live && (live || !m_.open)) {
    Fail(std::string("the simulator sees its port ") + (st->open ? "open" : "closed") +
         ", the window shows it " + (m_.open ? "open" : "closed"));
  }

  // Counters and log read together: a chunk between them is read again.
  // Under a flow that never pauses (another process answers between the
  // readings) the Recv counter may not come to match; false then.
  auto read = [this](Counters &c, std::string &log) {
    for (int tries = 0; tries < 50; ++tries) {
      const Counters a = w_.ReadCounters();
      log = w_.ReadLog();
      c = w_.ReadCounters();
      if (a.recv == c.recv) return true;
    }
    return false;
  };
  Counters c;
  std::string log;
  std::string why;
  std::uint64_t n = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kCatchUpMs);
  // Everything the simulator had sent by now reaches the log.
  const std::uint64_t want =
      live ? sessions_.back().wStart + (st->out - sessions_.back().sStart) : 0;
  // An open port whose line failed comes to say so, unless the log was
  // cleared since.
  const bool mustSay = m_.open && !sessions_.empty() && !sessions_.back().healthy &&
                       clearedAt_ < sessions_.back().lostAt;
  bool steady = false;
  for (;;) {
    steady = read(c, log);
    // After the log: the simulator wrote all of it before the window got it.
    if (!sim_.Fetch(s_)) Fail("the simulator does not answer on its control port");
    // The Recv counter says where the log ends, unless a reset from another
    // process left its base open: then the log tells, and sets the base.
    const std::optional<std::uint64_t> end =
        recvKnown_ && steady
            ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(c.recv + recvOffset_))
            : std::nullopt;
    const std::optional<std::uint64_t> parsed = ParseLog(log, end, why);
    if (!parsed) Fail(why);
    n = *parsed;
    const bool said = !mustSay || saidFailed_ == sessions_.size();
    if ((n >= want && said) || Clock::now() > deadline) break;
    w_.Pump(5);
  }
  if (n < want) {
    Fail("the window received " + std::to_string(n - sessions_.back().wStart) + " of the " +
         std::to_string(want - sessions_.back().wStart) +
         " bytes the simulator sent in this session");
  }
  if (mustSay && saidFailed_ < sessions_.size()) {
    Fail("the simulator went away " +
         std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                            Clock::now() - sessions_.back().lostAt)
                            .count()) +
         " ms ago with the port open, and the log does not say \"" + kPortFailed +
         "\"; it ends \"" +
         Printable(log.substr(log.size() - std::min<std::size_t>(log.size(), 120))) + "\"");
  }
  if (!recvKnown_ && steady) {
    recvOffset_ = static_cast<std::int64_t>(n) - c.recv;
    recvKnown_ = true;
  }
  lastN_ = n;

  // Everything the Send counter counted in this session reaches the
  // simulator, and nothing more.
  if (live && sendKnown_) {
    const Session &s = sessions_.back();
    const std::int64_t counted = c.sent + sendOffset_ - s.gStart;
    const auto slack = static_cast<std::int64_t>(w_.InProcess() ? 0 : payloadMax_);
    const auto by = Clock::now() + std::chrono::milliseconds(kCatchUpMs);
    for (;;) {
      st = SimNow();
      const auto got = static_cast<std::int64_t>(st->in - s.pStart);
      const Counters now = w_.ReadCounters();
      const std::int64_t countedNow = now.sent + sendOffset_ - s.gStart;
      if (got > countedNow + slack) {
        Fail("the simulator got " + std::to_string(got) +
             " bytes in this session, the Send counter counted " + std::to_string(countedNow));
      }
      if (got >= counted) break;
      if (Clock::now() > by) {
        Fail("the simulator got " + std::to_string(got) + " of the " + std::to_string(counted) +
             " bytes the Send counter counted in this session");
      }
      w_.Pump(5);
    }
    caughtUpG_ = counted;
  }
  payloadMax_ = m_.AutoRunning() ? static_cast<std::uint64_t>(Payload()) : 0;
}

}  // namespace stress
