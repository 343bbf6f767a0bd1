// Engine throughput on a pseudo-terminal, side by side with plain read and
// write loops on the same kind of pty, in one run. Prints MB/s and ratios.
//
//   comm_bench [MiB [rounds [receive|send]]]   (default 64 MiB, 3 rounds)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "comm_bench_core.h"
#include "support/pty_pair.h"

namespace {

using bench::Clock;
using bench::Seconds;

void WriteAll(int fd, const unsigned char *p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EAGAIN || errno == EINTR) {
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
}

// Reads n bytes from fd, `chunk` bytes at most per read, and checks them
// against `expect`; returns false on a mismatch.
bool ReadAndVerify(int fd, const std::vector<unsigned char> &expect, std::size_t chunk = 65536) {
  std::vector<unsigned char> buf(chunk);
  std::size_t got = 0;
  while (got < expect.size()) {
    const ssize_t r = read(fd, buf.data(), std::min(buf.size(), expect.size() - got));
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    if (r == 0) return false;
    if (std::memcmp(buf.data(), &expect[got], static_cast<std::size_t>(r)) != 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

// CPU time of the whole process (every thread) so far, in seconds.
double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double PlainReceive(const std::vector<unsigned char> &data) {
  Pty p;
  const auto t0 = Clock::now();
  std::thread writer([&] { WriteAll(p.master, data.data(), data.size()); });
  const bool ok = ReadAndVerify(p.slave, data, 1024);  // the engine's read size
  writer.join();
  const auto t1 = Clock::now();
  if (!ok) std::fprintf(stderr, "plain receive: data mismatch\n");
  return data.size() / Seconds(t0, t1) / 1e6;
}

double PlainSend(const std::vector<unsigned char> &data) {
  Pty p;
  const auto t0 = Clock::now();
  bool ok = false;
  std::thread peer([&] { ok = ReadAndVerify(p.master, data); });
  for (std::size_t i = 0; i < data.size(); i += 1024)
    WriteAll(p.slave, &data[i], std::min<std::size_t>(1024, data.size() - i));
  peer.join();
  const auto t1 = Clock::now();
  if (!ok) std::fprintf(stderr, "plain send: data mismatch\n");
  return data.size() / Seconds(t0, t1) / 1e6;
}

// The engine's side, on a pty of its own each time.
double EngineReceive(const std::vector<unsigned char> &data, bool &ok) {
  Pty p;
  return bench::EngineReceive(
      p.path, data, [&] { WriteAll(p.master, data.data(), data.size()); }, ok);
}

double EngineSend(const std::vector<unsigned char> &data, bool &ok) {
  Pty p;
  return bench::EngineSend(
      p.path, data, [&] { return ReadAndVerify(p.master, data); }, ok);
}

struct Figures {
  double plain = 0;  // MB/s
  double engine = 0;
  double plainCpu = 0;  // CPU seconds of the process for the whole transfer
  double engineCpu = 0;
  double Ratio() const { return engine / plain; }
};

// Runs one measurement and notes the process's CPU time it took.
template <class F>
double Timed(double *cpu, F &&run) {
  const double before = CpuSeconds();
  const double rate = run();
  *cpu = CpuSeconds() - before;
  return rate;
}

void Report(const char *what, const char *loop, std::vector<Figures> rounds) {
  std::sort(rounds.begin(), rounds.end(),
            [](const Figures &a, const Figures &b) { return a.Ratio() < b.Ratio(); });
  const Figures &mid = rounds[rounds.size() / 2];
  std::printf("%s engine %6.1f MB/s, plain %s loop %6.1f MB/s, ratio %.2f (target >= 0.8)", what,
              mid.engine, loop, mid.plain, mid.Ratio());
  if (rounds.size() > 1) {
    std::printf("; %zu rounds: %.2f to %.2f", rounds.size(), rounds.front().Ratio(),
                rounds.back().Ratio());
  }
  // CPU time is what a busy machine cannot blur: engine against plain loop,
  // both including the peer's share.
  std::printf(
      "\n         CPU for the transfer: engine %.2f s, plain loop %.2f s, plain/engine %.2f\n",
      mid.engineCpu, mid.plainCpu, mid.plainCpu / mid.engineCpu);
}

}  // namespace

// comm_bench [MiB [rounds [receive|send]]]: each round measures a plain loop
// and the engine side by side; the median round is shown with the spread.
// Naming one direction runs the engine alone (for strace or perf).
int main(int argc, char **argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const std::string only = argc > 3 ? argv[3] : "";
  const auto data = bench::RandomBytes(mib << 20);
  bool ok = true;
  if (!only.empty()) {
    const double rate = only == "send" ? EngineSend(data, ok) : EngineReceive(data, ok);
    std::printf("%s: engine %.1f MB/s%s\n", only.c_str(), rate, ok ? "" : "  DATA MISMATCH");
    return ok ? 0 : 1;
  }
  std::printf(
      "engine benchmark: %zu MiB of random bytes through a pseudo-terminal, 1 KiB "
      "reads and requests, %d rounds\n",
      mib, rounds);
  std::vector<Figures> rx(static_cast<std::size_t>(rounds));
  std::vector<Figures> tx(static_cast<std::size_t>(rounds));
  for (int r = 0; r < rounds; ++r) {
    bool rxOk = false;
    bool txOk = false;
    rx[r].plain = Timed(&rx[r].plainCpu, [&] { return PlainReceive(data); });
    rx[r].engine = Timed(&rx[r].engineCpu, [&] { return EngineReceive(data, rxOk); });
    tx[r].plain = Timed(&tx[r].plainCpu, [&] { return PlainSend(data); });
    tx[r].engine = Timed(&tx[r].engineCpu, [&] { return EngineSend(data, txOk); });
    if (!rxOk) std::printf("receive: DATA MISMATCH in round %d\n", r + 1);
    if (!txOk) std::printf("send: DATA MISMATCH in round %d\n", r + 1);
    ok = ok && rxOk && txOk;
  }
  Report("receive:", "read ", rx);
  Report("send:   ", "write", tx);
  return ok ? 0 : 1;
}
