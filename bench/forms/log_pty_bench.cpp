// End to end: a peer writes into a pseudo-terminal as fast as the program
// drains it, and the bytes travel through the port component into the Qt
// window's log (offscreen), once as 80-character lines and once as one
// endless line. Prints MB/s beside a plain read loop on the same kind of
// pty in the same run, the longest gap between two chunks the window
// handled, and peak memory (VmHWM less the resident size before the run)
// over the bytes the log holds. Targets: >= 25 MB/s, no stall, <= 3x.
// It also prints the CPU time the window's thread ran over the whole run:
// on a busy machine the MB/s move with the load, the CPU time much less.
// Beside the longest gap it prints the CPU time the window's thread used in
// it and how long it waited for a CPU (both small: the thread was idle,
// waiting for data), and the longest single chunk the window handled with
// the CPU time it took.
//
//   QT_QPA_PLATFORM=offscreen log_pty_bench [MiB]   (default 64)
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/main_form.h"
#include "forms/qt/qt_backend.h"
#include "support/pty_pair.h"
#include "support/runtime_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Shape { Lines, Endless };

// The peer's data, made block by block so the writer holds no copy of it:
// 78 printable characters and CR LF per line, or printable characters only.
// The text repeats every 80 * 90 bytes; one period is made once.
void FillBlock(Shape shape, std::size_t offset, std::vector<char> &block) {
  constexpr std::size_t kPeriod = 80 * 90;
  static const std::vector<char> periods[2] = {
      [] {
        std::vector<char> v(2 * kPeriod);
        for (std::size_t at = 0; at < v.size(); ++at) {
          const std::size_t col = at % 80;
          v[at] = col == 78   ? '\r'
                  : col == 79 ? '\n'
                              : static_cast<char>('!' + (at / 80 + col) % 90);
        }
        return v;
      }(),
      [] {
        std::vector<char> v(2 * kPeriod);
        for (std::size_t at = 0; at < v.size(); ++at) {
          v[at] = static_cast<char>('!' + (at / 80 + at % 80) % 90);
        }
        return v;
      }(),
  };
  const std::vector<char> &period = periods[shape == Shape::Lines ? 0 : 1];
  for (std::size_t i = 0; i < block.size();) {
    const std::size_t from = (offset + i) % kPeriod;
    const std::size_t n = std::min(block.size() - i, kPeriod);
    std::memcpy(block.data() + i, period.data() + from, n);
    i += n;
  }
}

void WriteAll(int fd, Shape shape, std::size_t total) {
  std::vector<char> block(64 * 1024);
  for (std::size_t done = 0; done < total;) {
    block.resize(std::min<std::size_t>(64 * 1024, total - done));
    FillBlock(shape, done, block);
    const char *p = block.data();
    std::size_t n = block.size();
    while (n > 0) {
      const ssize_t w = write(fd, p, n);
      if (w < 0) {
        if (errno == EINTR || errno == EAGAIN) {
          pollfd pfd{fd, POLLOUT, 0};
          poll(&pfd, 1, 100);
          continue;
        }
        std::perror("write");
        std::exit(1);
      }
      p += w;
      n -= static_cast<std::size_t>(w);
    }
    done += block.size();
  }
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

struct Plain {
  double mbps = 0;
  double longestGapMs = 0;
};

// A plain loop reading `total` bytes in reads of `bufferSize`.
Plain PlainRead(Shape shape, std::size_t total, std::size_t bufferSize) {
  Pty p;
  std::vector<char> buffer(bufferSize);
  const auto t0 = Clock::now();
  std::thread writer([&] { WriteAll(p.master, shape, total); });
  std::size_t got = 0;
  Plain result;
  auto last = t0;
  while (got < total) {
    const ssize_t r = read(p.slave, buffer.data(), buffer.size());
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r <= 0) break;
    const auto now = Clock::now();
    if (got > 0) result.longestGapMs = std::max(result.longestGapMs, Seconds(last, now) * 1e3);
    last = now;
    got += static_cast<std::size_t>(r);
  }
  writer.join();
  result.mbps = got / Seconds(t0, Clock::now()) / 1e6;
  return result;
}

long StatusKiB(const char *field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
  }
  return -1;
}

// Starts a new peak: VmHWM becomes the current resident size.
void ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

// Time the calling thread has waited, ready to run, for a CPU (ms). Read
// twice per chunk, so the file stays open: opening it each time cost more
// than the chunk's trip through the window.
double RunQueueWaitMs() {
  thread_local const int fd = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
  char text[128];
  const ssize_t n = fd >= 0 ? pread(fd, text, sizeof text - 1, 0) : -1;
  if (n <= 0) return 0;
  text[n] = '\0';
  unsigned long long run = 0, wait = 0;
  std::sscanf(text, "%llu %llu", &run, &wait);
  return wait / 1e6;
}

// CPU time the calling thread has used.
double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Figures {
  double mbps = 0;
  double longestGapMs = 0;
  double gapCpuMs = 0;      // what the window's thread ran during that gap
  double gapWaitMs = 0;     // and how long it waited for a CPU in it
  double handlerCpuMs = 0;  // what it ran during the longest chunk
  double longestHandlerMs = 0;
  double peakOverHeld = 0;
  double mainCpuS = 0;  // CPU time of the window's thread over the run
  long peakKiB = 0;
  std::size_t chunks = 0;
};

Figures ThroughWindow(app::TfrmMain &w, const Pty &pty, Shape shape, std::size_t total) {
  Figures f;
  w.btnClearRecv->UserClick();
  // What the last run freed goes back to the system, so this run's peak is
  // its own.
  malloc_trim(0);
  ResetPeak();
  const long baseline = StatusKiB("VmRSS:");

  // Every chunk the window handles, timed on its way in.
  auto handler = w.ComPort->OnReceiveData;
  Clock::time_point last{};
  double longest = 0, longestHandler = 0, lastCpu = 0, gapCpu = 0, handlerCpu = 0;
  double lastWait = 0, gapWait = 0;
  std::size_t chunks = 0;
  w.ComPort->OnReceiveData = [&](platform::TObject *sender, void *buffer, std::uint16_t length) {
    const auto now = Clock::now();
    const double cpu = ThreadCpuSeconds();
    const double wait = RunQueueWaitMs();
    if (chunks > 0 && Seconds(last, now) > longest) {
      longest = Seconds(last, now);
      gapCpu = cpu - lastCpu;
      gapWait = wait - lastWait;
    }
    ++chunks;
    handler(sender, buffer, length);
    last = Clock::now();
    lastCpu = ThreadCpuSeconds();
    lastWait = RunQueueWaitMs();
    if (Seconds(now, last) > longestHandler) {
      longestHandler = Seconds(now, last);
      handlerCpu = lastCpu - cpu;
    }
  };

  const auto t0 = Clock::now();
  const double cpu0 = ThreadCpuSeconds();
  std::thread writer([&] { WriteAll(pty.master, shape, total); });
  // A Qt loop like the program's (the backend's queue notifier wakes it)
  // runs until the log holds everything, or a minute passes with no progress.
  QEventLoop loop;
  QTimer check;
  std::size_t seen = 0;
  auto progress = Clock::now();
  QObject::connect(&check, &QTimer::timeout, [&] {
    const std::size_t held = w.memLog->TextLength();
    if (held != seen) {
      seen = held;
      progress = Clock::now();
    }
    if (held >= total || Seconds(progress, Clock::now()) > 60) loop.quit();
  });
  check.start(5);
  loop.exec();
  const auto t1 = Clock::now();
  f.mainCpuS = ThreadCpuSeconds() - cpu0;
  check.stop();
  writer.join();
  w.ComPort->OnReceiveData = handler;

  const std::size_t held = w.memLog->TextLength();
  if (held != total) std::fprintf(stderr, "the log holds %zu of %zu bytes\n", held, total);
  f.mbps = held / Seconds(t0, t1) / 1e6;
  f.longestGapMs = longest * 1e3;
  f.gapCpuMs = gapCpu * 1e3;
  f.gapWaitMs = gapWait;
  f.handlerCpuMs = handlerCpu * 1e3;
  f.longestHandlerMs = longestHandler * 1e3;
  f.chunks = chunks;
  f.peakKiB = StatusKiB("VmHWM:") - baseline;
  f.peakOverHeld = f.peakKiB * 1024.0 / static_cast<double>(std::max<std::size_t>(held, 1));
  return f;
}

}  // namespace

int main(int argc, char **argv) {
  const RuntimeDir runtimeDir;
  const std::size_t total = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64) << 20;
  Pty pty;
  // The pty joins the port list as a simulated port, the first one listed.
  setenv("TESSAVO_EXTRA_PORTS", pty.path.c_str(), 1);

  forms::Application->Initialize();
  forms::qt::UseQt(argc, argv);
  forms::Application->CreateForm(app::frmMain);
  app::TfrmMain &w = *app::frmMain;
  w.Show();
  // Opening the port starts auto-send, and each send pauses the window for
  // 100 ms without handling messages. Measure the log alone: the first send
  // goes out on open, the next one only after this interval.
  w.edtAutoSend->SetText("999999");
  w.btnOpenClose->UserClick();
  if (w.btnOpenClose->Caption() != app::CloseComCaption) {
    std::fprintf(stderr, "the port did not open\n");
    return 1;
  }

  std::printf("%zu MiB from a pty peer into the Qt window's log (offscreen)\n", total >> 20);
  std::printf("%-8s %-19s %6s %11s %16s %16s %9s %9s\n", "shape", "reader", "MB/s", "longest gap",
              "(CPU, CPU wait)", "longest chunk", "peak MiB", "peak/held");
  for (Shape shape : {Shape::Lines, Shape::Endless}) {
    const char *name = shape == Shape::Lines ? "lines" : "endless";
    const Plain plain1k = PlainRead(shape, total, 1024);
    const Plain plain64k = PlainRead(shape, total, 64 * 1024);
    const Figures f = ThroughWindow(w, pty, shape, total);
    std::printf("%-8s %-19s %6.1f %8.1f ms\n", name, "plain read(1 KiB)", plain1k.mbps,
                plain1k.longestGapMs);
    std::printf("%-8s %-19s %6.1f %8.1f ms\n", name, "plain read(64 KiB)", plain64k.mbps,
                plain64k.longestGapMs);
    std::printf("%-8s %-19s %6.1f %8.1f ms (%4.1f, %5.1f ms) %6.2f ms (CPU %4.2f) %9.1f %9.2f\n",
                name, "window log", f.mbps, f.longestGapMs, f.gapCpuMs, f.gapWaitMs,
                f.longestHandlerMs, f.handlerCpuMs, f.peakKiB / 1024.0, f.peakOverHeld);
    std::printf(
        "%-8s window / plain(64 KiB) = %.2f; %zu chunks; the window's thread ran %.2f s"
        " of CPU (%.0f MB per CPU second)\n",
        name, f.mbps / plain64k.mbps, f.chunks, f.mainCpuS,
        static_cast<double>(total) / f.mainCpuS / 1e6);
    std::fflush(stdout);
  }
  w.btnOpenClose->UserClick();
  forms::Application->DestroyForms();
  return 0;
}
