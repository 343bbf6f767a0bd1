// Engine throughput in the Windows build, on two COM ports joined by a
// null-modem link (under Wine: two ptys joined by socat), side by side with
// plain ReadFile/WriteFile loops on the same pair, in one run, every byte
// checked. Prints MB/s and the engine's ratio to the best plain loop.
//
//   comm_bench [MiB]   (default 8), the pair named by TESSAVO_TEST_PORT (the
//                      side under test) and TESSAVO_TEST_PEER; bench/comm_bench_wine
//                      prepares both under Wine and runs this.
//
// The plain loops run on the side under test with the peer on a thread,
// synchronous and overlapped, with the engine's 1 KiB and with 64 KiB pieces:
// together they show where Wine's own limit lies.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "comm_bench_core.h"

namespace {

using bench::Bytes;
using bench::Clock;

constexpr DWORD kPiece = 65536;

std::string DosPath(const char *name) {
  const std::string s = name;
  return s.rfind("\\\\.\\", 0) == 0 ? s : "\\\\.\\" + s;
}

// 8N1 without flow control, and the given read time-outs.
HANDLE OpenLine(const std::string &path, bool overlapped, DWORD interval, DWORD totalConstant) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | (overlapped ? FILE_FLAG_OVERLAPPED : 0), nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %s (error %lu)\n", path.c_str(), GetLastError());
    std::exit(2);
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (GetCommState(h, &dcb)) {
    dcb.BaudRate = 115200;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(h, &dcb);
  }
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutConstant = totalConstant;
  SetCommTimeouts(h, &t);
  PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  return h;
}

// The far end, open for the whole run: blocking writes, and reads that end
// 30 ms after the last byte or after 2 s with nothing.
class Peer {
 public:
  explicit Peer(const std::string &path) : h_(OpenLine(path, false, 30, 2000)) {}
  ~Peer() { CloseHandle(h_); }
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;

  void WriteAll(const Bytes &data) {
    for (std::size_t at = 0; at < data.size();) {
      const DWORD n = static_cast<DWORD>(std::min<std::size_t>(kPiece, data.size() - at));
      DWORD written = 0;
      if (!WriteFile(h_, &data[at], n, &written, nullptr) || written == 0) {
        std::fprintf(stderr, "peer write failed (error %lu)\n", GetLastError());
        return;
      }
      at += written;
    }
  }

  // Reads data.size() bytes and compares them; false on a difference or
  // when nothing comes for 10 s.
  bool ReadAndVerify(const Bytes &data) {
    Bytes buffer(kPiece);
    std::size_t got = 0;
    auto lastData = Clock::now();
    while (got < data.size()) {
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(kPiece, data.size() - got));
      DWORD n = 0;
      // Wine answers a read whose time-out passed with ERROR_TIMEOUT.
      if (!ReadFile(h_, buffer.data(), want, &n, nullptr) && GetLastError() != ERROR_TIMEOUT) {
        return false;
      }
      if (n == 0) {
        if (Clock::now() - lastData > std::chrono::seconds(10)) return false;
        continue;
      }
      if (std::memcmp(buffer.data(), &data[got], n) != 0) return false;
      got += n;
      lastData = Clock::now();
    }
    return true;
  }

  // Drops what either end still holds, so each run starts on an empty line.
  void Quiet(const std::string &devicePath) {
    HANDLE device = OpenLine(devicePath, false, MAXDWORD, 0);
    SetReadTimeouts(MAXDWORD, 0);  // reads return at once
    Bytes sink(kPiece);
    DWORD n = 0;
    do {
      n = 0;
      Sleep(50);
      PurgeComm(device, PURGE_RXCLEAR);
      ReadFile(h_, sink.data(), kPiece, &n, nullptr);
    } while (n > 0);
    SetReadTimeouts(30, 2000);
    CloseHandle(device);
  }

 private:
  void SetReadTimeouts(DWORD interval, DWORD totalConstant) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutConstant = totalConstant;
    SetCommTimeouts(h_, &t);
  }

  HANDLE h_;
};

struct Result {
  double mbps = 0;
  bool ok = false;
};

Result PlainReceive(Peer &peer, const std::string &device, const Bytes &data, DWORD size,
                    bool overlapped) {
  // A read ends 30 ms after the last byte, as the engine's do, or after 2 s
  // with nothing (a lost byte then fails the run instead of hanging it).
  HANDLE h = OpenLine(device, overlapped, 30, 2000);
  Bytes buffer(size);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Result r{0, true};
  const auto t0 = Clock::now();
  auto lastData = t0;
  std::thread writer([&] { peer.WriteAll(data); });
  for (std::size_t got = 0; got < data.size() && r.ok;) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, data.size() - got));
    DWORD n = 0;
    BOOL done = ReadFile(h, buffer.data(), want, &n, overlapped ? &ov : nullptr);
    if (!done && overlapped && GetLastError() == ERROR_IO_PENDING) {
      done = GetOverlappedResult(h, &ov, &n, TRUE);
    }
    if (!done && GetLastError() != ERROR_TIMEOUT) r.ok = false;
    if (n > 0 && std::memcmp(buffer.data(), &data[got], n) != 0) r.ok = false;
    if (n > 0) lastData = Clock::now();
    if (Clock::now() - lastData > std::chrono::seconds(10)) r.ok = false;
    got += n;
  }
  const auto t1 = Clock::now();
  writer.join();
  CloseHandle(ov.hEvent);
  CloseHandle(h);
  r.mbps = bench::MegabytesPerSecond(data.size(), t0, t1);
  return r;
}

Result PlainSend(Peer &peer, const std::string &device, const Bytes &data, DWORD size,
                 bool overlapped) {
  HANDLE h = OpenLine(device, overlapped, 30, 0);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Result r{0, false};
  bool sent = true;
  const auto t0 = Clock::now();
  std::thread reader([&] { r.ok = peer.ReadAndVerify(data); });
  for (std::size_t at = 0; at < data.size() && sent;) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, data.size() - at));
    DWORD n = 0;
    BOOL done = WriteFile(h, &data[at], want, &n, overlapped ? &ov : nullptr);
    if (!done && overlapped && GetLastError() == ERROR_IO_PENDING) {
      done = GetOverlappedResult(h, &ov, &n, TRUE);
    }
    sent = done && n == want;
    at += n;
  }
  reader.join();
  const auto t1 = Clock::now();
  CloseHandle(ov.hEvent);
  CloseHandle(h);
  r.ok = r.ok && sent;
  r.mbps = bench::MegabytesPerSecond(data.size(), t0, t1);
  return r;
}

const char *Check(bool ok) { return ok ? "" : "  DATA MISMATCH"; }

// One plain loop's shape and its figure.
struct Plain {
  const char *name;
  DWORD size;
  bool overlapped;
  Result result;
};

// Runs each plain loop, then the engine, each on a quiet line; prints them
// and the engine's ratios to the best plain loop and to the overlapped 1 KiB
// loop (the engine's own shape without its threads). Returns false on a
// data mismatch.
bool Direction(const char *what, Peer &peer, const std::string &device, const Bytes &data,
               std::vector<Plain> plains, const std::function<double(bool &)> &engine) {
  bool allOk = true;
  double best = 0, sameShape = 0;
  for (Plain &p : plains) {
    peer.Quiet(device);
    p.result = std::string(what) == "receive"
                   ? PlainReceive(peer, device, data, p.size, p.overlapped)
                   : PlainSend(peer, device, data, p.size, p.overlapped);
    std::printf("%-8s plain %-32s %6.1f MB/s%s\n", what, p.name, p.result.mbps, Check(p.result.ok));
    allOk = allOk && p.result.ok;
    best = std::max(best, p.result.mbps);
    if (p.overlapped && p.size == 1024) sameShape = p.result.mbps;
  }
  peer.Quiet(device);
  bool ok = false;
  const double mbps = engine(ok);
  std::printf("%-8s engine %-31s %6.1f MB/s%s\n", what, "(1 KiB reads/requests)", mbps, Check(ok));
  std::printf(
      "%-8s ratio %.2f to the best plain loop (target >= 0.5), %.2f to the overlapped "
      "1 KiB loop\n",
      what, mbps / best, mbps / sameShape);
  return allOk && ok;
}

}  // namespace

int main(int argc, char **argv) {
  const char *port = std::getenv("TESSAVO_TEST_PORT");
  const char *peerName = std::getenv("TESSAVO_TEST_PEER");
  if (port == nullptr || peerName == nullptr) {
    std::fprintf(stderr,
                 "set TESSAVO_TEST_PORT and TESSAVO_TEST_PEER (bench/comm_bench_wine does)\n");
    return 2;
  }
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 8;
  const Bytes data = bench::RandomBytes(mib << 20);
  const std::string device = DosPath(port);
  Peer peer(DosPath(peerName));
  std::printf("engine benchmark: %zu MiB of random bytes through %s <-> %s\n", mib, port, peerName);
  const bool rx = Direction("receive", peer, device, data,
                            {{"synchronous 64 KiB reads", kPiece, false, {}},
                             {"synchronous 1 KiB reads", 1024, false, {}},
                             {"overlapped 64 KiB reads", kPiece, true, {}},
                             {"overlapped 1 KiB reads", 1024, true, {}}},
                            [&](bool &ok) {
                              return bench::EngineReceive(
                                  device, data, [&] { peer.WriteAll(data); }, ok);
                            });
  const bool tx = Direction("send", peer, device, data,
                            {{"synchronous 64 KiB writes", kPiece, false, {}},
                             {"synchronous 1 KiB writes", 1024, false, {}},
                             {"overlapped 1 KiB writes", 1024, true, {}}},
                            [&](bool &ok) {
                              return bench::EngineSend(
                                  device, data, [&] { return peer.ReadAndVerify(data); }, ok);
                            });
  return rx && tx ? 0 : 1;
}
