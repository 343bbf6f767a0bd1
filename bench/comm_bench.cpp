// Engine throughput on a pseudo-terminal, side by side with plain read and
// write loops on the same kind of pty, in one run. Prints MB/s and ratios.
//
//   comm_bench [MiB]   (default 64)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

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

// Reads n bytes from fd and checks them against `expect`; returns false on a mismatch.
bool ReadAndVerify(int fd, const std::vector<unsigned char> &expect) {
  std::vector<unsigned char> buf(65536);
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

double PlainReceive(const std::vector<unsigned char> &data) {
  Pty p;
  const auto t0 = Clock::now();
  std::thread writer([&] { WriteAll(p.master, data.data(), data.size()); });
  const bool ok = ReadAndVerify(p.slave, data);
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

}  // namespace

int main(int argc, char **argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const auto data = bench::RandomBytes(mib << 20);
  std::printf("engine benchmark: %zu MiB of random bytes through a pseudo-terminal\n", mib);

  const double plainRx = PlainReceive(data);
  bool rxOk = false;
  double engineRx;
  {
    Pty p;
    engineRx = bench::EngineReceive(
        p.path, data, [&] { WriteAll(p.master, data.data(), data.size()); }, rxOk);
  }
  std::printf(
      "receive: engine %.1f MB/s, plain read loop %.1f MB/s, ratio %.2f (target >= 0.5)%s\n",
      engineRx, plainRx, engineRx / plainRx, rxOk ? "" : "  DATA MISMATCH");

  const double plainTx = PlainSend(data);
  bool txOk = false;
  double engineTx;
  {
    Pty p;
    engineTx = bench::EngineSend(
        p.path, data, [&] { return ReadAndVerify(p.master, data); }, txOk);
  }
  std::printf(
      "send:    engine %.1f MB/s, plain write loop %.1f MB/s, ratio %.2f (target >= 0.5)%s\n",
      engineTx, plainTx, engineTx / plainTx, txOk ? "" : "  DATA MISMATCH");
  return rxOk && txOk ? 0 : 1;
}
