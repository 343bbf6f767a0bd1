#include "comm_bench_core.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include "comm/comm.h"

namespace bench {

namespace {

void PumpOnce(platform::OsApi &api) {
  api.MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
  MSG msg{};
  while (api.PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    api.TranslateMessage(&msg);
    api.DispatchMessageA(&msg);
  }
}

// The window's line settings: no flow control, 30 ms between bytes ends a chunk.
std::unique_ptr<comm::TComm> MakePort(const std::string &path) {
  auto c = std::make_unique<comm::TComm>(nullptr);
  c->SetCommName(path);
  c->SetOutx_CtsFlow(false);
  c->SetOutx_DsrFlow(false);
  c->SetDtrControl(comm::TDtrControl::DtrDisable);
  c->SetRtsControl(comm::TRtsControl::RtsDisable);
  c->SetReadIntervalTimeout(30);
  return c;
}

}  // namespace

Bytes RandomBytes(std::size_t n) {
  Bytes v(n);
  std::mt19937_64 rng(12345);
  for (std::size_t i = 0; i < n; i += 8) {
    const auto x = rng();
    std::memcpy(&v[i], &x, std::min<std::size_t>(8, n - i));
  }
  return v;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double MegabytesPerSecond(std::size_t bytes, Clock::time_point a, Clock::time_point b) {
  return static_cast<double>(bytes) / Seconds(a, b) / 1e6;
}

double EngineReceive(const std::string &devicePath, const Bytes &data,
                     const std::function<void()> &peerWrite, bool &ok) {
  platform::OsApi &api = platform::DefaultOsApi();
  auto c = MakePort(devicePath);
  std::size_t got = 0;
  ok = true;
  c->OnReceiveData = [&](platform::TObject *, void *b, std::uint16_t n) {
    if (got + n > data.size() || std::memcmp(b, &data[got], n) != 0) ok = false;
    got += n;
  };
  c->OpenPort();
  const auto t0 = Clock::now();
  std::thread writer(peerWrite);
  while (got < data.size() && ok) PumpOnce(api);
  const auto t1 = Clock::now();
  writer.join();
  c->ClosePort();
  return MegabytesPerSecond(data.size(), t0, t1);
}

double EngineSend(const std::string &devicePath, const Bytes &data,
                  const std::function<bool()> &peerReadAndVerify, bool &ok) {
  platform::OsApi &api = platform::DefaultOsApi();
  auto c = MakePort(devicePath);
  bool ready = false;
  c->OnSendDataEmpty = [&](platform::TObject *) { ready = true; };
  c->OpenPort();
  while (!ready) PumpOnce(api);  // the writer takes requests once it has a queue
  const auto t0 = Clock::now();
  bool peerOk = false;
  std::thread peer([&] { peerOk = peerReadAndVerify(); });
  std::size_t refused = 0, inARow = 0;
  for (std::size_t i = 0; i < data.size();) {
    const auto n = static_cast<std::uint16_t>(std::min<std::size_t>(1024, data.size() - i));
    if (c->SendBytes(&data[i], n)) {
      i += n;
      inARow = 0;
      continue;
    }
    // A full thread queue (Windows caps it) refuses for a moment; a writer
    // that has ended refuses for good.
    ++refused;
    if (++inARow > 10000) {
      std::fprintf(stderr, "SendBytes refused\n");
      std::exit(1);
    }
    api.Sleep(1);
  }
  peer.join();
  const auto t1 = Clock::now();
  PumpOnce(api);
  c->ClosePort();
  ok = peerOk;
  if (refused > 0)
    std::printf("  (the writer's queue refused %zu requests for a moment)\n", refused);
  return MegabytesPerSecond(data.size(), t0, t1);
}

}  // namespace bench
