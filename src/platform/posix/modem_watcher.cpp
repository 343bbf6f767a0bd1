#include "platform/posix/modem_watcher.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace platform::posix {

namespace {

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

// A signal whose only job is to interrupt the watcher's blocking TIOCMIWAIT
// when the device closes. Its handler does nothing.
int ModemWakeSignal() {
  static const int sig = [] {
    for (int s = SIGRTMIN + 7; s <= SIGRTMAX; ++s) {
      struct sigaction old {};
      if (sigaction(s, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
      struct sigaction sa {};
      sa.sa_handler = [](int) {};
      sigemptyset(&sa.sa_mask);
      sa.sa_flags = 0;  // no SA_RESTART: the ioctl must return EINTR
      if (sigaction(s, &sa, nullptr) == 0) return s;
    }
    return 0;
  }();
  return sig;
}

}  // namespace

DWORD CounterEvents(const serial_icounter_struct &a, const serial_icounter_struct &b, bool lines) {
  DWORD events = 0;
  if (a.frame != b.frame || a.overrun != b.overrun || a.parity != b.parity ||
      a.buf_overrun != b.buf_overrun) {
    events |= EV_ERR;
  }
  if (a.brk != b.brk) events |= EV_BREAK;
  if (lines) {
    if (a.cts != b.cts) events |= EV_CTS;
    if (a.dsr != b.dsr) events |= EV_DSR;
    if (a.dcd != b.dcd) events |= EV_RLSD;
    if (a.rng != b.rng) events |= EV_RING;
  }
  return events;
}

ModemWatcher::ModemWatcher(std::mutex &deviceMutex, std::function<void(DWORD)> raiseLocked)
    : mutex_(deviceMutex), raiseLocked_(std::move(raiseLocked)) {}

bool ModemWatcher::Start(int fd, bool haveCounts) {
  if (ModemWakeSignal() == 0) return true;  // cannot be stopped: no watcher
  fd_ = fd;
  haveCounts_ = haveCounts;
  return StartHelperThread(thread_, [this] { Loop(); });
}

void ModemWatcher::SetWatchingLocked(bool watching) {
  watching_ = watching;
  cv_.notify_all();
}

// The line changes are read from the interrupt counters where the driver
// keeps them (a ring pulse leaves no trace in the line state), else from
// TIOCMGET.
void ModemWatcher::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  serial_icounter_struct counts{};
  const bool haveCounts = haveCounts_ && ioctl(fd_, TIOCGICOUNT, &counts) == 0;
  int lines = 0;
  ioctl(fd_, TIOCMGET, &lines);
  while (!stop_) {
    if (!watching_) {
      cv_.wait(lock);
      continue;
    }
    lock.unlock();
    const int rc = ioctl(fd_, TIOCMIWAIT, TIOCM_CD | TIOCM_RI | TIOCM_DSR | TIOCM_CTS);
    const int err = errno;
    lock.lock();
    if (stop_) break;
    if (rc != 0 && err == EINTR) continue;
    if (rc != 0) break;  // the driver cannot wait for line changes, or the device is gone
    DWORD events = 0;
    serial_icounter_struct now{};
    int nowLines = 0;
    if (haveCounts && ioctl(fd_, TIOCGICOUNT, &now) == 0) {
      events = CounterEvents(counts, now, true) & kModemEvents;
      counts = now;
    } else if (ioctl(fd_, TIOCMGET, &nowLines) == 0) {
      const int changed = lines ^ nowLines;
      if (changed & TIOCM_CTS) events |= EV_CTS;
      if (changed & TIOCM_DSR) events |= EV_DSR;
      if (changed & TIOCM_CD) events |= EV_RLSD;
      if (changed & TIOCM_RI) events |= EV_RING;
      lines = nowLines;
    }
    raiseLocked_(events);
  }
  exited_ = true;
  cv_.notify_all();
}

void ModemWatcher::Stop() {
  if (!thread_.joinable()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  stop_ = true;
  cv_.notify_all();
  // The signal may arrive just before the watcher enters the ioctl: repeat it
  // until the watcher is out.
  while (!exited_) {
    pthread_kill(thread_.native_handle(), ModemWakeSignal());
    cv_.wait_for(lock, std::chrono::milliseconds(10));
  }
  lock.unlock();
  thread_.join();
}

}  // namespace platform::posix
