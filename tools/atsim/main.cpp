// atsim: a simulated serial Bluetooth module on a pseudo-terminal.
//
// The slave side is the "port" a terminal opens; we serve the master side.
// We do not keep the slave open ourselves: then the master reports a hang-up
// whenever no one has the port open, which tells us when a terminal opens and
// closes it (the stream waits for an open). The pty itself lives as long as
// the master does, so the port can be reopened at will, and its raw settings
// survive a close.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "atsim/responder.h"
#include "atsim/stream.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr char kUsage[] = R"usage(Usage: atsim [OPTIONS]

Simulates a serial Bluetooth module that answers AT commands, on a
pseudo-terminal. The first line on standard output is the port's device path
(for example /dev/pts/5). atsim then serves the port until Ctrl+C (SIGINT),
SIGTERM or SIGHUP, and removes what it created. A terminal may close and open
the port again as often as it likes.

Showing the port in Tessavo: Tessavo adds the device paths listed in the
environment variable TESSAVO_EXTRA_PORTS (separated by colons) to its port
list. atsim prints the line to use on standard error, e.g.
  export TESSAVO_EXTRA_PORTS=/dev/pts/5
With --link, the link's path stays the same from run to run; use it instead.

Options:
  --personality 4.0|2.1  module family to simulate (default 4.0)
        4.0  no line terminators: a command ends when it is whole, at CR or LF,
             or after a quiet gap; replies "OK", "OK+Get:<value>",
             "OK+Set:<value>", "OK+<ACTION>", and "ERR+Unknown".
        2.1  a command ends with CR LF (or CR, LF, or a quiet gap); replies
             are lines ending in CR LF: "+KEY=<value>" then "OK", or
             "ERROR:(0)" unknown command, "ERROR:(1)" bad value,
             "ERROR:(2)" not settable.
        Queries may end in "?" or in the full-width question mark U+FF1F
        (sent as UTF-8 or GBK); both mean the same.
  --link PATH            also create a symbolic link PATH to the port; it is
                         removed on exit (an existing symbolic link is
                         replaced, any other file is left alone)
  --transparent          echo every byte back instead of answering commands
  --gap MS               quiet time that ends a command sent without a
                         terminator (default 60)
  --stream N             send N bytes, then keep serving as usual
  --rate BYTES_PER_SEC   pace of the stream (default 0: as fast as it is read)
  --pattern text|counter|random
                         stream content (default text): 64-byte lines of a
                         line number and letters ending in CR LF; byte i is
                         i mod 256; or pseudo-random bytes
  --seed N               seed of the random pattern (default 1)
  --stream-start open|data|now
                         start the stream when the port is opened (after
                         --stream-delay), when the first byte is received,
                         or at once (default open). While the port is closed
                         the stream pauses; it resumes after the next open.
  --stream-delay MS      wait after an open before streaming (default 200),
                         since a terminal may discard input when it opens
  --exit-after-stream    exit once the stream has been read from the port,
                         or the port has been closed after it was sent
  --control PORT         take commands on TCP 127.0.0.1:PORT (0: any free
                         port); the second line on standard output is then
                         "control <port>". One client at a time, one command
                         per line, each answered at once:
                           status    "open O present P out N in M pending Q":
                                     the port is opened by a terminal (1/0),
                                     the module is present (1/0), bytes
                                     written to and read from the port so far,
                                     a reply or bytes still to go out (1/0)
                           out FROM  "data K", a newline, then the K bytes
                                     written to the port from byte FROM on
                           stream N  stream N more bytes (pattern and pace as
                                     set; paused while the port is closed)
                           drop      forget the bytes not written yet
                           away      the module goes away: its port and the
                                     link disappear (needs --link)
                           back      it comes back on a new port behind the
                                     same link, its settings as at start
                         Anything else is answered "error <reason>".
  -v, --verbose          log traffic and port opens and closes on stderr
  -q, --quiet            print nothing but the port path
  -h, --help             show this help

Exit status: 0 after a signal or a finished stream, 1 on a system error,
2 on bad options.
)usage";

enum class StreamStart { kOpen, kData, kNow };

struct Options {
  atsim::Personality personality = atsim::Personality::kBle40;
  std::string link;
  bool transparent = false;
  int gap_ms = 60;
  std::optional<std::uint64_t> stream_bytes;
  std::uint64_t rate = 0;
  atsim::StreamPattern pattern = atsim::StreamPattern::kText;
  std::uint64_t seed = 1;
  StreamStart start = StreamStart::kOpen;
  int stream_delay_ms = 200;
  bool exit_after_stream = false;
  std::optional<std::uint16_t> control_port;
  bool verbose = false;
  bool quiet = false;
};

bool ParseNumber(std::string_view text, std::uint64_t &out) {
  if (text.empty() || text.size() > 19) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  out = v;
  return true;
}

bool ParseMillis(std::string_view text, int &out) {
  std::uint64_t v = 0;
  if (!ParseNumber(text, v) || v > 3600000) return false;
  out = static_cast<int>(v);
  return true;
}

[[noreturn]] void UsageError(const std::string &message) {
  std::fprintf(stderr, "atsim: %s\nTry 'atsim --help'.\n", message.c_str());
  std::exit(2);
}

Options ParseOptions(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::optional<std::string> inline_value;
    if (arg.rfind("--", 0) == 0) {
      const std::size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        inline_value = arg.substr(eq + 1);
        arg.erase(eq);
      }
    }
    auto value = [&]() -> std::string {
      if (inline_value) return *inline_value;
      if (i + 1 >= argc) UsageError("option " + arg + " needs a value");
      return argv[++i];
    };
    auto bad = [&](const std::string &v) { UsageError("bad value '" + v + "' for " + arg); };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--personality") {
      const std::string v = value();
      const auto p = atsim::ParsePersonality(v);
      if (!p) bad(v);
      o.personality = *p;
    } else if (arg == "--link") {
      o.link = value();
      if (o.link.empty()) bad(o.link);
    } else if (arg == "--transparent") {
      o.transparent = true;
    } else if (arg == "--gap") {
      const std::string v = value();
      if (!ParseMillis(v, o.gap_ms) || o.gap_ms == 0) bad(v);
    } else if (arg == "--stream") {
      const std::string v = value();
      std::uint64_t n = 0;
      if (!ParseNumber(v, n)) bad(v);
      o.stream_bytes = n;
    } else if (arg == "--rate") {
      const std::string v = value();
      if (!ParseNumber(v, o.rate)) bad(v);
    } else if (arg == "--pattern") {
      const std::string v = value();
      const auto p = atsim::ParseStreamPattern(v);
      if (!p) bad(v);
      o.pattern = *p;
    } else if (arg == "--seed") {
      const std::string v = value();
      if (!ParseNumber(v, o.seed)) bad(v);
    } else if (arg == "--stream-start") {
      const std::string v = value();
      if (v == "open") {
        o.start = StreamStart::kOpen;
      } else if (v == "data") {
        o.start = StreamStart::kData;
      } else if (v == "now") {
        o.start = StreamStart::kNow;
      } else {
        bad(v);
      }
    } else if (arg == "--stream-delay") {
      const std::string v = value();
      if (!ParseMillis(v, o.stream_delay_ms)) bad(v);
    } else if (arg == "--exit-after-stream") {
      o.exit_after_stream = true;
    } else if (arg == "--control") {
      const std::string v = value();
      std::uint64_t n = 0;
      if (!ParseNumber(v, n) || n > 65535) bad(v);
      o.control_port = static_cast<std::uint16_t>(n);
    } else if (arg == "-v" || arg == "--verbose") {
      o.verbose = true;
    } else if (arg == "-q" || arg == "--quiet") {
      o.quiet = true;
    } else {
      UsageError("unknown option '" + std::string(argv[i]) + "'");
    }
    if (inline_value && (arg == "--transparent" || arg == "--exit-after-stream")) {
      UsageError("option " + arg + " takes no value");
    }
  }
  if (o.exit_after_stream && !o.stream_bytes) UsageError("--exit-after-stream needs --stream");
  return o;
}

// --- signals -----------------------------------------------------------------

int g_wake_pipe[2] = {-1, -1};
volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
  g_stop = 1;
  const int saved = errno;
  const ssize_t r = write(g_wake_pipe[1], "x", 1);
  (void)r;  // a full pipe already wakes the loop
  errno = saved;
}

bool InstallSignals() {
  if (pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigaction(sig, &sa, nullptr) != 0) return false;
  }
  // Someone reading our stdout or stderr may go away; that must not kill us
  // before we clean up.
  signal(SIGPIPE, SIG_IGN);
  return true;
}

// --- helpers -----------------------------------------------------------------

std::string Escape(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out += ch;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

bool PeerHasPortOpen(int master) {
  pollfd p{master, 0, 0};
  return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

// Bytes written to the port that the peer has not read yet, or -1 if that
// cannot be told (the port is opened exclusively by someone else).
int UnreadByPeer(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  int n = -1;
  if (ioctl(fd, FIONREAD, &n) != 0) n = -1;
  close(fd);
  return n;
}

class Link {
 public:
  // Makes `link` point to `target`. Replaces an old symbolic link (a previous
  // run that was killed leaves one) but never a file that is something else.
  bool Create(const std::string &link, const std::string &target) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "atsim: %s exists and is not a symbolic link\n", link.c_str());
        return false;
      }
      unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
      std::fprintf(stderr, "atsim: cannot create %s: %s\n", link.c_str(), std::strerror(errno));
      return false;
    }
    link_ = link;
    target_ = target;
    return true;
  }

  // Removes the link, unless someone has since pointed it elsewhere.
  void Remove() {
    if (link_.empty()) return;
    char buf[PATH_MAX];
    const ssize_t n = readlink(link_.c_str(), buf, sizeof buf - 1);
    if (n >= 0 && std::string(buf, static_cast<std::size_t>(n)) == target_) unlink(link_.c_str());
    link_.clear();
  }

 private:
  std::string link_;
  std::string target_;
};

int OpenPort(std::string &path) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    std::fprintf(stderr, "atsim: openpty: %s\n", std::strerror(errno));
    return -1;
  }
  char name[PATH_MAX];
  if (ptsname_r(master, name, sizeof name) != 0) {
    std::fprintf(stderr, "atsim: ptsname: %s\n", std::strerror(errno));
    close(master);
    close(slave);
    return -1;
  }
  path = name;
  // Raw, like a serial line: no echo, no line editing, no CR/LF mapping.
  termios t{};
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(slave, TCSANOW, &t);
  }
  close(slave);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  return master;
}

// A TCP listener on the loopback interface; `port` 0 takes any free one,
// which is then written back.
int ListenOnLoopback(std::uint16_t &port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    std::fprintf(stderr, "atsim: control port: %s\n", std::strerror(errno));
    close(fd);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

class Server {
 public:
  // Stream bytes queued ahead of the port at most.
  static constexpr std::size_t kMaxQueued = 64 * 1024;

  Server(const Options &o, int master, std::string path, Link &link, int control)
      : o_(o),
        master_(master),
        path_(std::move(path)),
        link_(link),
        listener_(control),
        responder_(o.personality, o.transparent) {
    if (o.stream_bytes) stream_.emplace(o.pattern, *o.stream_bytes, o.seed);
    if (stream_ && o.start == StreamStart::kNow) go_at_ = Clock::now();
  }

  // The port as it is now (a module that went away and came back has a new one).
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  // Serves until a signal arrives or the stream is done and read.
  int Run() {
    while (!g_stop) {
      const Clock::time_point now = Clock::now();
      UpdatePeer(now);
      if (finished_) break;
      if (!Wait(now)) return 1;
      if (g_stop) break;
      if (!ReadInput()) return 1;
      if (!ServeControl()) return 1;
      const Clock::time_point after = Clock::now();
      if (responder_.HasPending() && after - last_input_ >= milliseconds(o_.gap_ms)) {
        Reply(responder_.Flush());
      }
      ProduceStream(after);
      if (!WriteOutput()) return 1;
    }
    return 0;
  }

 private:
  void Log(const char *what, std::string_view detail = {}) {
    if (o_.verbose) std::fprintf(stderr, "atsim: %s%s\n", what, Escape(detail).c_str());
  }

  void UpdatePeer(Clock::time_point now) {
    const bool open = master_ >= 0 && PeerHasPortOpen(master_);
    if (open && !peer_open_) {
      Log("port opened");
      if (stream_ && !stream_->done() && o_.start != StreamStart::kNow &&
          (o_.start == StreamStart::kOpen || triggered_)) {
        go_at_ = now + milliseconds(o_.stream_delay_ms);
      }
    } else if (!open && peer_open_) {
      Log("port closed");
      if (o_.start != StreamStart::kNow) {
        go_at_.reset();
        running_ = false;
      }
    }
    peer_open_ = open;
    if (draining_) CheckDrained(now);
  }

  // Once the whole stream is written, waits until the reader has taken it:
  // closing the master drops whatever the peer has not read yet.
  void CheckDrained(Clock::time_point now) {
    if (!peer_open_) {
      finished_ = true;
      return;
    }
    const int unread = UnreadByPeer(path_);
    if (unread < 0) {
      // Cannot look; give the reader a moment instead.
      if (now - drain_start_ >= milliseconds(1000)) finished_ = true;
      return;
    }
    // Bytes on their way into the peer's buffer are not counted yet, so
    // take two looks.
    zero_looks_ = unread == 0 ? zero_looks_ + 1 : 0;
    if (zero_looks_ >= 2 || now - drain_start_ >= milliseconds(10000)) finished_ = true;
  }

  // Sleeps in poll until input, room for output, a signal, or the next
  // deadline.
  bool Wait(Clock::time_point now) {
    std::optional<Clock::time_point> deadline;
    auto at = [&deadline](Clock::time_point t) {
      if (!deadline || t < *deadline) deadline = t;
    };
    // With no one on the other side, the master reports a hang-up at once
    // and would wake poll forever, so look again on a short tick instead.
    if (!peer_open_) at(now + milliseconds(20));
    if (responder_.HasPending()) at(last_input_ + milliseconds(o_.gap_ms));
    if (go_at_ && !running_) at(*go_at_);
    // The next stream bytes are due; with a full queue, POLLOUT wakes us.
    if (running_ && !stream_->done() && out_.size() < kMaxQueued) {
      at(o_.rate == 0
             ? now
             : base_ + microseconds(atsim::MicrosUntilDue(o_.rate, stream_->produced() + 1)));
    }
    if (draining_) at(now + milliseconds(10));

    int timeout = -1;
    if (deadline) {
      const auto us = duration_cast<microseconds>(*deadline - now).count();
      timeout = us <= 0 ? 0 : static_cast<int>(std::min<long long>((us + 999) / 1000, INT_MAX));
    }
    std::vector<pollfd> fds = {{g_wake_pipe[0], POLLIN, 0}};
    if (listener_ >= 0) fds.push_back({listener_, POLLIN, 0});
    if (client_ >= 0) fds.push_back({client_, POLLIN, 0});
    if (peer_open_)
      fds.push_back({master_, static_cast<short>(out_.empty() ? POLLIN : POLLIN | POLLOUT), 0});
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      std::fprintf(stderr, "atsim: poll: %s\n", std::strerror(errno));
      return false;
    }
    return true;
  }

  // Reads whatever the master holds. This runs even while the port is
  // closed: a peer may write and close at once, and its answer then waits
  // in the port for the next reader.
  bool ReadInput() {
    if (master_ < 0) return true;  // gone away
    char buf[4096];
    for (int round = 0; round < 16; ++round) {
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) {
        const std::string_view data(buf, static_cast<std::size_t>(n));
        read_total_ += static_cast<std::uint64_t>(n);
        Log("<- ", data);
        last_input_ = Clock::now();
        Reply(responder_.Feed(data));
        if (stream_ && o_.start == StreamStart::kData && !triggered_) {
          triggered_ = true;
          go_at_ = last_input_;
        }
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      // EAGAIN: nothing more; EIO or 0: no one has the port open.
      if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EIO) return true;
      std::fprintf(stderr, "atsim: read: %s\n", std::strerror(errno));
      return false;
    }
    return true;
  }

  void Reply(const std::string &bytes) {
    if (bytes.empty()) return;
    if (!o_.transparent) Log("-> ", bytes);
    out_ += bytes;
  }

  void ProduceStream(Clock::time_point now) {
    if (!stream_ || stream_->done()) return;
    if (!running_) {
      if (!go_at_ || now < *go_at_) return;
      running_ = true;
      // Resume at the pace already reached, with no burst for the pause.
      base_ = now - microseconds(atsim::MicrosUntilDue(o_.rate, stream_->produced()));
      Log("stream started");
    }
    if (out_.size() >= kMaxQueued) return;
    const auto elapsed =
        static_cast<std::uint64_t>(duration_cast<microseconds>(now - base_).count());
    const std::uint64_t due = std::min(atsim::BytesDue(o_.rate, elapsed), stream_->total());
    if (due > stream_->produced()) {
      const std::uint64_t want = due - stream_->produced();
      stream_->Next(
          static_cast<std::size_t>(std::min<std::uint64_t>(want, kMaxQueued - out_.size())), out_);
    }
    if (stream_->done()) Log("stream sent");
  }

  bool WriteOutput() {
    while (!out_.empty() && master_ >= 0) {
      const ssize_t n = write(master_, out_.data(), out_.size());
      if (n > 0) {
        if (listener_ >= 0) written_.append(out_, 0, static_cast<std::size_t>(n));
        written_total_ += static_cast<std::uint64_t>(n);
        out_.erase(0, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n < 0 && errno == EIO) {
        out_.clear();  // nowhere for it to go
        break;
      }
      std::fprintf(stderr, "atsim: write: %s\n", std::strerror(errno));
      return false;
    }
    if (o_.exit_after_stream && !draining_ && stream_->done() && out_.empty()) {
      draining_ = true;
      drain_start_ = Clock::now();
    }
    return true;
  }

  // ---- the control connection ------------------------------------------------

  bool ServeControl() {
    if (listener_ < 0) return true;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      if (client_ >= 0) close(client_);  // the newest client wins
      client_ = fd;
      command_.clear();
    }
    if (client_ < 0) return true;
    char buf[512];
    for (;;) {
      const ssize_t n = recv(client_, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        command_.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      close(client_);  // the client went away
      client_ = -1;
      return true;
    }
    for (std::size_t eol; client_ >= 0 && (eol = command_.find('\n')) != std::string::npos;) {
      std::string line = command_.substr(0, eol);
      command_.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!Answer(Execute(line))) {
        close(client_);
        client_ = -1;
      }
    }
    return true;
  }

  bool Answer(const std::string &reply) {
    std::size_t done = 0;
    while (done < reply.size()) {
      const ssize_t n = send(client_, reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd p{client_, POLLOUT, 0};
        if (poll(&p, 1, 10000) > 0) continue;
      }
      return false;
    }
    return true;
  }

  std::string Execute(const std::string &line) {
    const std::size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string arg = space == std::string::npos ? std::string() : line.substr(space + 1);
    std::uint64_t n = 0;
    if (verb == "status") {
      ReadInput();  // what has arrived counts
      UpdatePeer(Clock::now());
      char text[160];
      std::snprintf(text, sizeof text, "open %d present %d out %llu in %llu pending %d\n",
                    peer_open_ ? 1 : 0, master_ >= 0 ? 1 : 0,
                    static_cast<unsigned long long>(written_total_),
                    static_cast<unsigned long long>(read_total_),
                    responder_.HasPending() || !out_.empty() ? 1 : 0);
      return text;
    }
    if (verb == "out" && ParseNumber(arg, n)) {
      const std::string bytes = n < written_.size() ? written_.substr(n) : std::string();
      return "data " + std::to_string(bytes.size()) + "\n" + bytes;
    }
    if (verb == "stream" && ParseNumber(arg, n)) {
      if (!stream_) stream_.emplace(o_.pattern, 0, o_.seed);
      stream_->Extend(n);
      // An open port gets it at once; a closed one after its next open.
      if (peer_open_ && !running_ && !go_at_) go_at_ = Clock::now();
      Log("stream extended by ", arg);
      return "ok\n";
    }
    if (verb == "drop") {
      out_.clear();
      return "ok\n";
    }
    if (verb == "away" && !o_.link.empty()) {
      if (master_ < 0) return "ok\n";
      Log("going away");
      link_.Remove();
      close(master_);
      master_ = -1;
      out_.clear();
      responder_ = atsim::Responder(o_.personality, o_.transparent);
      UpdatePeer(Clock::now());
      return "ok\n";
    }
    if (verb == "back" && !o_.link.empty()) {
      if (master_ >= 0) return "ok\n";
      std::string path;
      const int master = OpenPort(path);
      if (master < 0) return "error no new port\n";
      if (!link_.Create(o_.link, path)) {
        close(master);
        return "error no link\n";
      }
      master_ = master;
      path_ = path;
      Log("back on ", path);
      return "ok\n";
    }
    return "error unknown command\n";
  }

  const Options &o_;
  int master_;
  std::string path_;
  Link &link_;
  int listener_;  // control connections, or -1
  int client_ = -1;
  std::string command_;  // what the client sent of its next command
  std::string written_;  // every byte written to the port (with --control)
  std::uint64_t written_total_ = 0;
  std::uint64_t read_total_ = 0;
  atsim::Responder responder_;
  std::string out_;
  bool peer_open_ = false;
  Clock::time_point last_input_{};

  std::optional<atsim::StreamSource> stream_;
  bool triggered_ = false;                  // --stream-start data: first byte seen
  std::optional<Clock::time_point> go_at_;  // when the stream may run
  bool running_ = false;
  Clock::time_point base_{};  // pacing origin

  bool draining_ = false;
  Clock::time_point drain_start_{};
  int zero_looks_ = 0;
  bool finished_ = false;
};

}  // namespace

int main(int argc, char **argv) {
  const Options options = ParseOptions(argc, argv);
  if (!InstallSignals()) {
    std::fprintf(stderr, "atsim: cannot install signal handlers: %s\n", std::strerror(errno));
    return 1;
  }
  std::string path;
  const int master = OpenPort(path);
  if (master < 0) return 1;
  Link link;
  if (!options.link.empty() && !link.Create(options.link, path)) {
    close(master);
    return 1;
  }
  std::uint16_t control_port = options.control_port.value_or(0);
  const int control = options.control_port ? ListenOnLoopback(control_port) : -1;
  if (options.control_port && control < 0) {
    link.Remove();
    close(master);
    return 1;
  }

  std::printf("%s\n", path.c_str());
  if (control >= 0) std::printf("control %u\n", static_cast<unsigned>(control_port));
  std::fflush(stdout);
  if (!options.quiet) {
    std::fprintf(stderr, "atsim: simulated %s module on %s%s%s (%s)\n",
                 atsim::PersonalityName(options.personality), path.c_str(),
                 options.link.empty() ? "" : ", linked from ", options.link.c_str(),
                 options.transparent ? "echoing" : "answering AT commands");
    std::fprintf(stderr, "To list it in Tessavo:\n  export TESSAVO_EXTRA_PORTS=%s\n",
                 options.link.empty() ? path.c_str() : options.link.c_str());
    std::fprintf(stderr, "Press Ctrl+C to stop.\n");
  }

  Server server(options, master, path, link, control);
  const int status = server.Run();
  link.Remove();
  server.CloseMaster();
  if (control >= 0) close(control);
  if (!options.quiet && g_stop) std::fprintf(stderr, "atsim: stopped\n");
  return status;
}
