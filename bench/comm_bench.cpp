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

#include "comm/comm.h"
#include "support/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<unsigned char> RandomBytes(std::size_t n) {
  std::vector<unsigned char> v(n);
  std::mt19937_64 rng(12345);
  for (std::size_t i = 0; i < n; i += 8) {
    const auto x = rng();
    std::memcpy(&v[i], &x, std::min<std::size_t>(8, n - i));
  }
  return v;
}

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

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
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

void PumpOnce(platform::OsApi &api) {
  api.MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
  MSG msg{};
  while (api.PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    api.TranslateMessage(&msg);
    api.DispatchMessageA(&msg);
  }
}

comm::TComm *MakePort(const std::string &path) {
  auto *c = new comm::TComm(nullptr);
  c->SetCommName(path);
  c->SetOutx_CtsFlow(false);
  c->SetOutx_DsrFlow(false);
  c->SetDtrControl(comm::TDtrControl::DtrDisable);
  c->SetRtsControl(comm::TRtsControl::RtsDisable);
  c->SetReadIntervalTimeout(30);
  return c;
}

double EngineReceive(const std::vector<unsigned char> &data, bool &ok) {
  Pty p;
  platform::OsApi &api = platform::DefaultOsApi();
  comm::TComm *c = MakePort(p.path);
  std::size_t got = 0;
  ok = true;
  c->OnReceiveData = [&](platform::TObject *, void *b, std::uint16_t n) {
    if (got + n > data.size() || std::memcmp(b, &data[got], n) != 0) ok = false;
    got += n;
  };
  c->OpenPort();
  const auto t0 = Clock::now();
  std::thread writer([&] { WriteAll(p.master, data.data(), data.size()); });
  while (got < data.size() && ok) PumpOnce(api);
  const auto t1 = Clock::now();
  writer.join();
  c->ClosePort();
  delete c;
  return data.size() / Seconds(t0, t1) / 1e6;
}

double EngineSend(const std::vector<unsigned char> &data, bool &ok) {
  Pty p;
  platform::OsApi &api = platform::DefaultOsApi();
  comm::TComm *c = MakePort(p.path);
  bool ready = false;
  c->OnSendDataEmpty = [&](platform::TObject *) { ready = true; };
  c->OpenPort();
  while (!ready) PumpOnce(api);  // the writer takes requests once it has a queue
  const auto t0 = Clock::now();
  bool peerOk = false;
  std::thread peer([&] { peerOk = ReadAndVerify(p.master, data); });
  for (std::size_t i = 0; i < data.size(); i += 1024) {
    const auto n = static_cast<std::uint16_t>(std::min<std::size_t>(1024, data.size() - i));
    if (!c->SendBytes(&data[i], n)) {
      std::fprintf(stderr, "SendBytes refused\n");
      std::exit(1);
    }
  }
  peer.join();
  const auto t1 = Clock::now();
  PumpOnce(api);
  c->ClosePort();
  delete c;
  ok = peerOk;
  return data.size() / Seconds(t0, t1) / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const auto data = RandomBytes(mib << 20);
  std::printf("engine benchmark: %zu MiB of random bytes through a pseudo-terminal\n", mib);

  const double plainRx = PlainReceive(data);
  bool rxOk = false;
  const double engineRx = EngineReceive(data, rxOk);
  std::printf(
      "receive: engine %.1f MB/s, plain read loop %.1f MB/s, ratio %.2f (target >= 0.5)%s\n",
      engineRx, plainRx, engineRx / plainRx, rxOk ? "" : "  DATA MISMATCH");

  const double plainTx = PlainSend(data);
  bool txOk = false;
  const double engineTx = EngineSend(data, txOk);
  std::printf(
      "send:    engine %.1f MB/s, plain write loop %.1f MB/s, ratio %.2f (target >= 0.5)%s\n",
      engineTx, plainTx, engineTx / plainTx, txOk ? "" : "  DATA MISMATCH");
  return rxOk && txOk ? 0 : 1;
}
