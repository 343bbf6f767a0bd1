#include "test_port.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include "platform/winapi.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

#if defined(_WIN32)

namespace {

const char *EnvOrNull(const char *name) {
  const char *value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : nullptr;
}

std::string DosDevicePath(const std::string &name) {
  if (name.rfind("\\\\.\\", 0) == 0) return name;
  return "\\\\.\\" + name;
}

// Plain 8N1 without flow control, so the peer passes every byte unchanged.
void SetRawLine(HANDLE h) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return;
  dcb.BaudRate = 115200;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = FALSE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  SetCommState(h, &dcb);  // a pty may refuse parts of it; the defaults are raw already
}

// Reads return at once with whatever has arrived (possibly nothing); a write
// into a line nobody drains gives up instead of hanging the test.
void SetPeerTimeouts(HANDLE h) {
  COMMTIMEOUTS t;
  std::memset(&t, 0, sizeof t);
  t.ReadIntervalTimeout = MAXDWORD;
  t.WriteTotalTimeoutConstant = 10000;
  SetCommTimeouts(h, &t);
}

HANDLE OpenPort(const std::string &path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool TestPort::Available() {
  return EnvOrNull("TESSAVO_TEST_PORT") != nullptr && EnvOrNull("TESSAVO_TEST_PEER") != nullptr;
}

TestPort::TestPort() {
  if (!Available()) return;
  devicePath_ = DosDevicePath(EnvOrNull("TESSAVO_TEST_PORT"));
  HANDLE peer = OpenPort(DosDevicePath(EnvOrNull("TESSAVO_TEST_PEER")));
  if (peer == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "TestPort: cannot open the peer port (error %lu)\n",
                 static_cast<unsigned long>(GetLastError()));
    return;
  }
  peer_ = peer;
  SetRawLine(peer);
  SetPeerTimeouts(peer);
  PurgeComm(peer, PURGE_RXCLEAR | PURGE_TXCLEAR);

  // The pair lives for the whole run: drop what an earlier test left unread on
  // either side, so each test starts on an empty line. A purge makes room in a
  // full line, so what was still in flight follows: drain until quiet, then
  // purge once more.
  HANDLE device = OpenPort(devicePath_);
  if (device != INVALID_HANDLE_VALUE) PurgeComm(device, PURGE_RXCLEAR | PURGE_TXCLEAR);
  PeerDrain(20);
  if (device != INVALID_HANDLE_VALUE) {
    PurgeComm(device, PURGE_RXCLEAR | PURGE_TXCLEAR);
    CloseHandle(device);
  }
  ok_ = true;
}

TestPort::~TestPort() {
  if (peer_ != nullptr) CloseHandle(static_cast<HANDLE>(peer_));
}

std::string TestPort::DevicePath() const { return devicePath_; }

bool TestPort::PeerWrite(const void *data, std::size_t size) {
  if (peer_ == nullptr) return false;
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    DWORD chunk = size > 0x10000 ? 0x10000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(static_cast<HANDLE>(peer_), p, chunk, &written, nullptr)) return false;
    if (written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

std::size_t TestPort::PeerRead(void *buffer, std::size_t max, int timeoutMs) {
  if (peer_ == nullptr) return 0;
  char *p = static_cast<char *>(buffer);
  std::size_t got = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got < max) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(max - got > 0x10000 ? 0x10000 : max - got);
    if (!ReadFile(static_cast<HANDLE>(peer_), p + got, want, &n, nullptr)) break;
    got += n;
    if (n > 0) continue;
    if (MsLeft(deadline) == 0) break;
    // Test-only polling: the peer is a plain blocking handle with reads that
    // return at once, which keeps this portable to every COM driver.
    Sleep(2);
  }
  return got;
}

std::size_t TestPort::PeerDrain(int quietMs) {
  char buffer[4096];
  std::size_t total = 0;
  for (;;) {
    std::size_t n = PeerRead(buffer, sizeof buffer, quietMs);
    total += n;
    if (n == 0) return total;
  }
}

bool TestPort::ClosePeerSupported() { return false; }

void TestPort::ClosePeer() {
  // Closing our handle does not drop the line: socat keeps the other pty open.
  if (peer_ != nullptr) CloseHandle(static_cast<HANDLE>(peer_));
  peer_ = nullptr;
}

#else  // POSIX

bool TestPort::Available() { return true; }

TestPort::TestPort() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    std::perror("TestPort: openpty");
    master_ = slave_ = -1;
    return;
  }
  devicePath_ = name;
  termios tio;
  if (tcgetattr(slave_, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(slave_, TCSANOW, &tio);
  }
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  int flags = fcntl(master_, F_GETFL);
  fcntl(master_, F_SETFL, flags | O_NONBLOCK);
  ok_ = true;
}

TestPort::~TestPort() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

std::string TestPort::DevicePath() const { return devicePath_; }

bool TestPort::PeerWrite(const void *data, std::size_t size) {
  if (master_ < 0) return false;
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = write(master_, p, size);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The line is full: wait until the device side reads some of it.
      pollfd pfd{master_, POLLOUT, 0};
      if (poll(&pfd, 1, 10000) <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

std::size_t TestPort::PeerRead(void *buffer, std::size_t max, int timeoutMs) {
  if (master_ < 0) return 0;
  char *p = static_cast<char *>(buffer);
  std::size_t got = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got < max) {
    ssize_t n = read(master_, p + got, max - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;  // EIO: nobody holds the slave
    int left = MsLeft(deadline);
    if (left == 0) break;
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, left) <= 0) break;
  }
  return got;
}

std::size_t TestPort::PeerDrain(int quietMs) {
  char buffer[4096];
  std::size_t total = 0;
  for (;;) {
    std::size_t n = PeerRead(buffer, sizeof buffer, quietMs);
    total += n;
    if (n == 0) return total;
  }
}

bool TestPort::ClosePeerSupported() { return true; }

void TestPort::ClosePeer() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

#endif
