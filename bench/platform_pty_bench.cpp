// Throughput of the POSIX backend's overlapped reads and writes on a
// pseudo-terminal, side by side with plain read/write loops on the same kind
// of pty, in one run. The reader does what the engine's reader does: 1024-byte
// ReadFile calls with a 10 ms interval time-out, each re-issued right after
// the last one completed. Prints MB/s and ratios.
//
//   platform_pty_bench [MiB]   (default 128)
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/osapi.h"
#include "support/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;

void WriteAll(int fd, std::size_t total, std::size_t chunkSize = 65536) {
  std::vector<char> chunk(chunkSize, 'x');
  while (total > 0) {
    const std::size_t n = total < chunk.size() ? total : chunk.size();
    const ssize_t w = write(fd, chunk.data(), n);
    if (w <= 0) return;
    total -= static_cast<std::size_t>(w);
  }
}

void ReadAll(int fd, std::size_t total) {
  std::vector<char> chunk(65536);
  while (total > 0) {
    const ssize_t r = read(fd, chunk.data(), chunk.size());
    if (r <= 0) return;
    total -= static_cast<std::size_t>(r);
  }
}

double MBps(std::size_t bytes, Clock::duration d) {
  return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(d).count();
}

// Peer writes into the master; a plain loop reads the slave 1024 bytes at a time.
double PlainRead(std::size_t total) {
  Pty pty;
  const auto start = Clock::now();
  std::thread peer([&] { WriteAll(pty.master, total); });
  std::vector<char> buffer(1024);
  std::size_t got = 0;
  while (got < total) {
    const ssize_t r = read(pty.slave, buffer.data(), buffer.size());
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  peer.join();
  return MBps(got, Clock::now() - start);
}

double PlainWrite(std::size_t total) {
  Pty pty;
  const auto start = Clock::now();
  std::thread peer(ReadAll, pty.master, total);
  WriteAll(pty.slave, total, 1024);  // as WriteFile below: one call per KiB
  peer.join();
  return MBps(total, Clock::now() - start);
}

HANDLE OpenDevice(platform::OsApi &api, const std::string &path) {
  HANDLE device =
      api.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "CreateFileA %s: error %u\n", path.c_str(), api.GetLastError());
    std::exit(1);
  }
  COMMTIMEOUTS t{10, 0, 0, 0, 0};
  api.SetCommTimeouts(device, &t);
  return device;
}

double OverlappedRead(std::size_t total, std::size_t *calls, std::size_t *atOnce) {
  platform::OsApi &api = platform::DefaultOsApi();
  Pty pty;
  HANDLE device = OpenDevice(api, pty.path);
  OVERLAPPED ov{};
  ov.hEvent = api.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  BYTE buffer[1024];
  const auto start = Clock::now();
  std::thread peer([&] { WriteAll(pty.master, total); });
  std::size_t got = 0;
  while (got < total) {
    DWORD n = 0;
    ++*calls;
    if (api.ReadFile(device, buffer, sizeof buffer, &n, &ov)) {
      ++*atOnce;
    } else if (api.GetLastError() != ERROR_IO_PENDING ||
               !api.GetOverlappedResult(device, &ov, &n, TRUE)) {
      std::fprintf(stderr, "read failed: error %u\n", api.GetLastError());
      break;
    }
    got += n;
  }
  peer.join();
  const double rate = MBps(got, Clock::now() - start);
  api.CloseHandle(ov.hEvent);
  api.CloseHandle(device);
  return rate;
}

double OverlappedWrite(std::size_t total) {
  platform::OsApi &api = platform::DefaultOsApi();
  Pty pty;
  HANDLE device = OpenDevice(api, pty.path);
  OVERLAPPED ov{};
  ov.hEvent = api.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<BYTE> block(1024, 'y');  // the size of a typical send
  const auto start = Clock::now();
  std::thread peer(ReadAll, pty.master, total);
  std::size_t sent = 0;
  while (sent < total) {
    DWORD n = 0;
    const DWORD size =
        static_cast<DWORD>(total - sent < block.size() ? total - sent : block.size());
    if (!api.WriteFile(device, block.data(), size, &n, &ov) &&
        (api.GetLastError() != ERROR_IO_PENDING ||
         !api.GetOverlappedResult(device, &ov, &n, TRUE))) {
      std::fprintf(stderr, "write failed: error %u\n", api.GetLastError());
      break;
    }
    sent += n;
  }
  peer.join();
  const double rate = MBps(sent, Clock::now() - start);
  api.CloseHandle(ov.hEvent);
  api.CloseHandle(device);
  return rate;
}

}  // namespace

int main(int argc, char **argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 128;
  const std::size_t total = mib << 20;
  const double target = 50.0;

  const double plainRead = PlainRead(total);
  std::size_t calls = 0;
  std::size_t atOnce = 0;
  const double read = OverlappedRead(total, &calls, &atOnce);
  std::printf(
      "read   plain loop %8.1f MB/s | ReadFile 1024 %8.1f MB/s | ratio %.2f | "
      "vs %.0f MB/s target %.2f | %.0f%% completed at once\n",
      plainRead, read, read / plainRead, target, read / target,
      calls ? 100.0 * static_cast<double>(atOnce) / static_cast<double>(calls) : 0.0);

  const double plainWrite = PlainWrite(total);
  const double write = OverlappedWrite(total);
  std::printf("write  plain loop %8.1f MB/s | WriteFile 1024 %7.1f MB/s | ratio %.2f\n", plainWrite,
              write, write / plainWrite);
  return 0;
}
