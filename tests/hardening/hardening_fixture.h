// The real window logic (headless backend) and the real engine on a
// pseudo-terminal, for tests that push data through both, break the line
// under them, and watch the process's resources.
//
// The port is listed under a symbolic link in a private temporary folder, as
// a simulator publishes its port: removing the link makes the device path
// disappear, as a USB adapter's node does when it is pulled.
//
// On Windows (under Wine in our runs) the line is the COM pair of
// tests/support/test_port.h: the integrity and bad-input tests run on it; the
// peer cannot be dropped nor the path removed there.
#pragma once

#if defined(_WIN32)
#include "test_port.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "app/send_thread.h"
#include "fake_registry.h"
#include "send_fixture.h"  // PumpUntil, PumpFor, Sent, Received
#include "window_fixture.h"

namespace hardening {

using app::PumpFor;
using app::PumpUntil;

// A size or count from the environment, for the benchmark-sized runs.
inline long EnvNumber(const char *name, long fallback) {
  const char *v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? std::strtol(v, nullptr, 10) : fallback;
}

// Seeded from TESSAVO_SEED when set, so a failing run can be repeated.
inline std::mt19937_64 &Random() {
  static std::mt19937_64 rng(static_cast<std::uint64_t>(EnvNumber("TESSAVO_SEED", 20261207)));
  return rng;
}

inline std::string RandomBytes(std::size_t n) {
  std::string s(n, '\0');
  std::uniform_int_distribution<int> byte(0, 255);
  for (char &c : s) c = static_cast<char>(byte(Random()));
  return s;
}

inline std::size_t RandomSize(std::size_t lo, std::size_t hi) {
  return std::uniform_int_distribution<std::size_t>(lo, hi)(Random());
}

#if defined(_WIN32)
// The COM pair: the device side is LinkPath(), the test drives the peer.
class LinkedPty {
 public:
  bool Ok() const { return port_.Ok(); }
  const std::string &LinkPath() const { return path_; }
  std::size_t Write(const char *p, std::size_t n, const std::atomic<bool> *stop = nullptr) {
    std::size_t done = 0;
    while (done < n) {
      if (stop != nullptr && stop->load()) break;
      const std::size_t k = std::min<std::size_t>(4096, n - done);
      if (!port_.PeerWrite(p + done, k)) break;
      done += k;
    }
    return done;
  }
  std::size_t Read(std::string &out, int ms) {
    char buffer[65536];
    const std::size_t k = port_.PeerRead(buffer, sizeof buffer, ms);
    out.append(buffer, k);
    return k;
  }
  // The pair lasts the whole run: the line cannot be dropped per test.
  void ClosePeer() {}
  void RemoveLink() {}

 private:
  TestPort port_;
  std::string path_ = port_.DevicePath();
};
#else
// A pseudo-terminal pair: the device side is reached through LinkPath(),
// the test drives the peer (the master).
class LinkedPty {
 public:
  LinkedPty() {
    char dir[] = "/tmp/tessavo-hardening-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    char name[256] = {};
    int master = -1;
    if (openpty(&master, &slave_, name, nullptr, nullptr) != 0) return;
    master_ = master;
    termios tio;
    if (tcgetattr(slave_, &tio) == 0) {
      cfmakeraw(&tio);
      tio.c_cflag |= CLOCAL | CREAD;
      tcsetattr(slave_, TCSANOW, &tio);
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    link_ = dir_ + "/port";
    ok_ = symlink(name, link_.c_str()) == 0;
  }
  ~LinkedPty() {
    ClosePeer();
    RemoveLink();
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  LinkedPty(const LinkedPty &) = delete;
  LinkedPty &operator=(const LinkedPty &) = delete;

  bool Ok() const { return ok_; }
  const std::string &LinkPath() const { return link_; }

  // Writes everything unless the peer is closed meanwhile or `stop` is set;
  // returns the count written.
  std::size_t Write(const char *p, std::size_t n, const std::atomic<bool> *stop = nullptr) {
    std::size_t done = 0;
    while (done < n) {
      if (stop != nullptr && stop->load()) break;
      const int fd = master_.load();
      if (fd < 0) break;
      const ssize_t k = write(fd, p + done, n - done);
      if (k > 0) {
        done += static_cast<std::size_t>(k);
        continue;
      }
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && errno != EAGAIN) break;
      pollfd pfd{fd, POLLOUT, 0};
      poll(&pfd, 1, 20);  // the line is full until the device side reads
    }
    return done;
  }
  // Appends to `out` what arrives within `ms` (returns at the first pause).
  std::size_t Read(std::string &out, int ms) {
    const int fd = master_.load();
    if (fd < 0) return 0;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, ms) <= 0) return 0;
    char buffer[65536];
    const ssize_t k = read(fd, buffer, sizeof buffer);
    if (k <= 0) return 0;
    out.append(buffer, static_cast<std::size_t>(k));
    return static_cast<std::size_t>(k);
  }
  // The far end goes away: the device side sees the line hang up.
  void ClosePeer() {
    const int m = master_.exchange(-1);
    if (m >= 0) close(m);
    if (slave_ >= 0) close(slave_);
    slave_ = -1;
  }
  // The device path disappears.
  void RemoveLink() {
    if (!link_.empty()) unlink(link_.c_str());
  }

 private:
  bool ok_ = false;
  std::string dir_, link_;
  std::atomic<int> master_{-1};
  int slave_ = -1;  // held so the peer never reads EIO while the port is closed
};
#endif

// A peer that streams a known byte sequence (position i holds Pattern(i)) and
// drains whatever the device side sends, on a thread of its own, until
// stopped; asked to, it closes the peer itself, between two writes, so no
// other thread ever touches a closed descriptor.
class StreamingPeer {
 public:
  static char Pattern(std::uint64_t i) { return static_cast<char>((i * 131 + (i >> 8)) & 0xFF); }

  // `pauseMs` between 512-byte blocks: 0 streams as fast as the line takes.
  explicit StreamingPeer(LinkedPty &pty, int pauseMs = 0)
      : pty_(pty), pauseMs_(pauseMs), thread_([this] { Run(); }) {}
  ~StreamingPeer() { Stop(); }

  std::uint64_t Written() const { return written_; }
  std::uint64_t Drained() const { return drained_; }
  bool Closed() const { return closed_; }
  // Closes the peer (and, with removeLink, the device path first) and waits
  // until it is done.
  void ClosePeer(bool removeLink) {
    removeLink_ = removeLink;
    closeRequested_ = true;
    interrupt_ = true;
    while (!closed_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Stop() {
    stop_ = true;
    interrupt_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    char block[512];
    std::string sink;
    while (!stop_) {
      if (closeRequested_) {
        if (removeLink_) pty_.RemoveLink();
        pty_.ClosePeer();
        closed_ = true;
        return;
      }
      for (std::size_t i = 0; i < sizeof block; ++i) block[i] = Pattern(written_ + i);
      written_ += pty_.Write(block, sizeof block, &interrupt_);
      sink.clear();
      drained_ += pty_.Read(sink, pauseMs_);
    }
  }

  LinkedPty &pty_;
  const int pauseMs_;
  std::atomic<bool> stop_{false}, closeRequested_{false}, closed_{false}, removeLink_{false};
  std::atomic<bool> interrupt_{false};  // ends a write waiting on a full line
  std::atomic<std::uint64_t> written_{0}, drained_{0};
  std::thread thread_;
};

class HardeningTest : public app::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    ASSERT_TRUE(pty_.Ok());
    ports_.values = {{"line", app::kRegSz, pty_.LinkPath()}};
  }

  app::TfrmMain &NewWindow() { return Create(app::DevicePathSource(ports_.Factory())); }

  // Opens the port with auto-send held back: one extra suspension takes up
  // the resume that opening always gives.
  void OpenQuietly(app::TfrmMain &w) {
    w.AutoSendThread()->Suspend();
    ASSERT_TRUE(w.btnOpenClose->UserClick());
    ASSERT_EQ(w.btnOpenClose->Caption(), app::CloseComCaption);
  }

  // After the line has gone: closing works, and opening again reports the
  // port as gone, in one box, and leaves it closed. (A send that auto-send
  // queued just before the close may still run and ask for an open port.)
  void ExpectClosesAndCannotReopen(app::TfrmMain &w) {
    headless_->ClearMessageBoxes();
    ASSERT_TRUE(w.btnOpenClose->UserClick());
    EXPECT_EQ(w.btnOpenClose->Caption(), app::OpenComCaption);
    EXPECT_EQ(w.ComPort->DeviceHandle(), nullptr);
    ASSERT_TRUE(w.btnOpenClose->UserClick());
    int gone = 0;
    for (const forms::TMessageBoxRecord &box : Boxes()) {
      if (box.Text == "The port does not exist or occupied") {
        ++gone;
        EXPECT_EQ(box.Caption, app::PromptTitle);
      } else {
        EXPECT_EQ(box.Text, "Please configure and open serial port");
      }
    }
    EXPECT_EQ(gone, 1);
    EXPECT_EQ(w.btnOpenClose->Caption(), app::OpenComCaption);
    EXPECT_EQ(w.ComPort->DeviceHandle(), nullptr);
  }

  LinkedPty pty_;
  app::FakeRegistryData ports_;
};

// Where two byte strings first differ, for a readable failure.
inline std::string FirstDifference(const std::string &want, const std::string &got) {
  std::size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) ++i;
  char text[160];
  std::snprintf(text, sizeof text, "sizes %zu (expected) and %zu; first difference at byte %zu",
                want.size(), got.size(), i);
  return text;
}

}  // namespace hardening
