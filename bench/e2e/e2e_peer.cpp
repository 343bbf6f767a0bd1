// The far end of the serial line for the end-to-end benchmark (e2e_bench.py).
// It writes the data a device would send into one end of a pty pair and
// reads what the program sends back, and prints what it saw with the time
// of each event (CLOCK_MONOTONIC, ns), so the script can line its figures up
// with the window's. In C++ so that neither its cost nor an interpreter's
// pauses show up as the program's.
//
//   e2e_peer plain SHAPE BYTES WRITE_TTY READ_TTY READ_SIZE
//       A plain read loop on the pair: the limit the program is compared to.
//   e2e_peer feed SHAPE BYTES SECONDS RATE PROBES GAP_MIN_MS GAP_MAX_MS TTY
//       Writes at RATE bytes/s (0: as fast as the other end drains; -1: no
//       data at all) and, at
//       random gaps, a probe byte '~' within the stream. Ends after BYTES
//       (when there are no probes), SECONDS, or the last of PROBES, whichever
//       is given and comes first (0: not given). After a feed that ends by
//       time, goes on reading until stdin closes.
//
// SHAPE is `lines` (78 printable characters and CR LF) or `endless`
// (printable characters only); neither contains '~'. Output lines:
//   start T | end T BYTES | stall T_BEGIN MS (each write blocked over 20 ms)
//   longest MS | got T N HEX (bytes the program sent)
//   probe K T AT (the probe went out at T and is byte AT of what was sent)
//   plain MBPS LONGEST_MS
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char kProbe = '~';
constexpr std::size_t kPeriod = std::size_t{80} * 90;  // the data repeats with this period
constexpr std::size_t kMaxWrite = std::size_t{64} * 1024;
constexpr double kStallReportMs = 20.0;

std::int64_t Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One period of the data and a write's worth more, so the bytes from any
// offset on are one contiguous slice: data[offset % kPeriod ...].
std::vector<char> MakeData(const std::string &shape) {
  const bool lines = shape == "lines";
  if (!lines && shape != "endless") {
    std::fprintf(stderr, "unknown shape %s\n", shape.c_str());
    std::exit(2);
  }
  std::vector<char> data(kPeriod + kMaxWrite);
  for (std::size_t at = 0; at < data.size(); ++at) {
    const std::size_t col = at % 80;
    const char printable = static_cast<char>('!' + (at / 80 + col) % 90);
    data[at] = !lines ? printable : col == 78 ? '\r' : col == 79 ? '\n' : printable;
  }
  return data;
}

int OpenTty(const char *path, bool nonBlocking) {
  const int fd = open(path, O_RDWR | O_NOCTTY | (nonBlocking ? O_NONBLOCK : 0));
  if (fd < 0) {
    std::perror(path);
    std::exit(1);
  }
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

// Writes into a non-blocking tty and keeps account of the time it could not:
// a stall is a stretch with bytes to write and no room for them.
class Writer {
 public:
  explicit Writer(int fd) : fd_(fd) {}

  // Writes what it can of [p, p + n) within `timeoutMs` (-1: until all is
  // written); answers how much it wrote. Reads what arrives meanwhile.
  std::size_t Write(const char *p, std::size_t n, int timeoutMs = -1) {
    std::size_t done = 0;
    const std::int64_t until = timeoutMs < 0 ? INT64_MAX : Now() + timeoutMs * 1000000LL;
    while (done < n) {
      const ssize_t w = write(fd_, p + done, std::min(n - done, kMaxWrite));
      if (w > 0) {
        EndStall();
        done += static_cast<std::size_t>(w);
        continue;
      }
      if (w < 0 && errno != EAGAIN && errno != EINTR) {
        std::perror("write");
        std::exit(1);
      }
      if (stallBegin_ == 0) stallBegin_ = Now();
      const std::int64_t now = Now();
      if (now >= until) break;
      Wait(POLLOUT, static_cast<int>(std::min<std::int64_t>((until - now) / 1000000 + 1, 100)));
    }
    return done;
  }

  // Waits up to `ms` for room (POLLOUT) or nothing (0), printing what the
  // program sent in the meantime.
  void Wait(short events, int ms) {
    pollfd pfd{fd_, static_cast<short>(events | POLLIN), 0};
    if (poll(&pfd, 1, ms) > 0 && (pfd.revents & POLLIN)) Drain();
  }

  void Drain() {
    unsigned char buf[4096];
    for (;;) {
      const ssize_t r = read(fd_, buf, sizeof buf);
      if (r <= 0) return;
      const std::int64_t t = Now();
      std::printf("got %lld %zd ", static_cast<long long>(t), r);
      for (ssize_t i = 0; i < r && i < 64; ++i) std::printf("%02X", buf[i]);
      std::printf("\n");
    }
  }

  void EndStall() {
    if (stallBegin_ == 0) return;
    const std::int64_t now = Now();
    const double ms = static_cast<double>(now - stallBegin_) / 1e6;
    longestMs_ = std::max(longestMs_, ms);
    if (ms > kStallReportMs) {
      std::printf("stall %lld %.1f\n", static_cast<long long>(stallBegin_), ms);
    }
    stallBegin_ = 0;
  }

  double LongestMs() const { return longestMs_; }

 private:
  int fd_;
  std::int64_t stallBegin_ = 0;
  double longestMs_ = 0;
};

int Plain(const std::string &shape, std::size_t total, const char *writePath, const char *readPath,
          std::size_t readSize) {
  const std::vector<char> data = MakeData(shape);
  const int in = OpenTty(readPath, false);
  const int out = OpenTty(writePath, true);
  tcflush(in, TCIOFLUSH);
  Writer writer(out);
  const std::int64_t t0 = Now();
  std::thread feeder([&] {
    for (std::size_t done = 0; done < total;) {
      const std::size_t n = std::min(kMaxWrite, total - done);
      writer.Write(data.data() + done % kPeriod, n);
      done += n;
    }
  });
  std::vector<char> buf(readSize);
  std::size_t got = 0;
  while (got < total) {
    const ssize_t r = read(in, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  const std::int64_t t1 = Now();
  feeder.join();
  close(out);
  close(in);
  if (got != total) std::fprintf(stderr, "plain loop read %zu of %zu bytes\n", got, total);
  const double seconds = static_cast<double>(t1 - t0) / 1e9;
  std::printf("plain %.2f %.1f\n", static_cast<double>(got) / seconds / 1e6, writer.LongestMs());
  return got == total ? 0 : 1;
}

struct FeedPlan {
  std::size_t bytes = 0;  // 0: no limit
  double seconds = 0;     // 0: no limit
  double rate = 0;        // bytes/s; 0: as fast as the other end drains; < 0: none
  int probes = 0;         // ends the feed after the last one, when not 0
  int gapMinMs = 0, gapMaxMs = 0;
};

int Feed(const std::string &shape, const FeedPlan &plan, const char *path) {
  if (plan.bytes == 0 && plan.seconds <= 0 && plan.probes <= 0) {
    std::fprintf(stderr, "a feed needs an end: bytes, seconds or probes\n");
    return 2;
  }
  const std::vector<char> data = MakeData(shape);
  const int fd = OpenTty(path, true);
  Writer writer(fd);
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> gap(plan.gapMinMs, plan.gapMaxMs);
  const std::int64_t t0 = Now();
  const std::int64_t until =
      plan.seconds > 0 ? t0 + static_cast<std::int64_t>(plan.seconds * 1e9) : INT64_MAX;
  std::int64_t nextProbe = plan.probes > 0 ? t0 + gap(random) * 1000000LL : INT64_MAX;
  std::printf("start %lld\n", static_cast<long long>(t0));
  // At a set rate, the bytes due and not yet written. A program that drains
  // more slowly (or a peer kept off the processor) holds back at most 50 ms'
  // worth: then the feed runs at the program's pace, and the stall shows it.
  double due = 0;
  std::int64_t last = t0;
  std::size_t done = 0;
  int sent = 0;
  for (;;) {
    std::int64_t now = Now();
    if (now >= until || (plan.probes > 0 && sent >= plan.probes) ||
        (plan.probes == 0 && plan.bytes > 0 && done >= plan.bytes)) {
      break;
    }
    std::size_t n = plan.bytes > 0 ? plan.bytes - std::min(done, plan.bytes) : kMaxWrite;
    n = plan.rate < 0 ? 0 : std::min(n, kMaxWrite);
    if (plan.rate > 0) {
      due = std::min(due + static_cast<double>(now - last) / 1e9 * plan.rate, plan.rate * 0.05);
      last = now;
      n = std::min(n, static_cast<std::size_t>(due));
    }
    if (n > 0) {
      // Not past the next probe's time, nor past the end.
      const std::int64_t bound = std::min(nextProbe, until);
      const int ms = static_cast<int>(std::clamp<std::int64_t>((bound - now) / 1000000, 1, 50));
      const std::size_t w = writer.Write(data.data() + done % kPeriod, n, ms);
      done += w;
      if (plan.rate > 0) due -= static_cast<double>(w);
    }
    now = Now();
    if (now >= nextProbe) {
      writer.Write(&kProbe, 1);
      std::printf("probe %d %lld %zu\n", sent, static_cast<long long>(Now()),
                  done + static_cast<std::size_t>(sent));
      ++sent;
      // Probes further apart than the read interval each make a chunk of
      // their own when the line is otherwise quiet.
      nextProbe = std::max(nextProbe + gap(random) * 1000000LL, Now() + plan.gapMinMs * 1000000LL);
      continue;
    }
    if (n == 0) {
      // Nothing due: sleep to the next millisecond's bytes or the next probe.
      const std::int64_t left =
          std::min<std::int64_t>({nextProbe, until, now + (plan.rate > 0 ? 1000000 : 100000000)}) -
          now;
      if (left > 0) {
        timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        nanosleep(&ts, nullptr);
      }
    }
    writer.Drain();
  }
  std::printf("end %lld %zu\n", static_cast<long long>(Now()), done);
  std::printf("longest %.1f\n", writer.LongestMs());
  // A feed that ends by time goes with clicks: what the program still sends
  // back, a click's send among it, is read until stdin closes.
  if (plan.seconds > 0) {
    pollfd in{0, POLLIN, 0};
    while (poll(&in, 1, 0) == 0) writer.Wait(0, 100);
  }
  close(fd);
  return 0;
}

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: e2e_peer plain SHAPE BYTES WRITE_TTY READ_TTY READ_SIZE\n"
               "       e2e_peer feed SHAPE BYTES SECONDS RATE PROBES GAP_MIN_MS GAP_MAX_MS TTY\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
  // Lines go out as they happen; the script reads them as a stream.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 2) Usage();
  const std::string mode = argv[1];
  if (mode == "plain" && argc == 7) {
    return Plain(argv[2], std::strtoull(argv[3], nullptr, 10), argv[4], argv[5],
                 std::strtoull(argv[6], nullptr, 10));
  }
  if (mode == "feed" && argc == 10) {
    FeedPlan plan;
    plan.bytes = std::strtoull(argv[3], nullptr, 10);
    plan.seconds = std::atof(argv[4]);
    plan.rate = std::atof(argv[5]);
    plan.probes = std::atoi(argv[6]);
    plan.gapMinMs = std::atoi(argv[7]);
    plan.gapMaxMs = std::atoi(argv[8]);
    return Feed(argv[2], plan, argv[9]);
  }
  Usage();
}
