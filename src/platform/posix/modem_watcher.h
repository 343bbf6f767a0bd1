// The modem-line watcher of a tty that has modem lines: a thread that blocks
// in TIOCMIWAIT while the device's event mask asks for CTS, DSR, RLSD or
// RING changes, and reports them to the device.
//
// Threads: the watcher's own; the device calls SetWatchingLocked (with the
// device lock) and Stop (without it).
// Lock: the device's mutex guards every member but the thread object; the
// watcher holds it except while it blocks in TIOCMIWAIT, and reports with it
// held. Stop wakes the ioctl with a real-time signal whose handler does
// nothing, repeated until the watcher is out.
#pragma once

#include <linux/serial.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/posix/kernel.h"

namespace platform::posix {

// EV_ERR, EV_BREAK and, with `lines`, the modem-line events between two
// readings of a tty's interrupt counters.
DWORD CounterEvents(const serial_icounter_struct &before, const serial_icounter_struct &after,
                    bool lines);

class ModemWatcher {
 public:
  // raiseLocked(events) is called with the device lock held.
  ModemWatcher(std::mutex &deviceMutex, std::function<void(DWORD)> raiseLocked);
  ~ModemWatcher() { Stop(); }
  ModemWatcher(const ModemWatcher &) = delete;
  ModemWatcher &operator=(const ModemWatcher &) = delete;

  // Starts the thread on `fd` (kept open by the device until Stop returns).
  // False, with ERROR_NOT_ENOUGH_MEMORY set, when no thread can be had; a
  // system without a spare real-time signal gets no watcher and true.
  bool Start(int fd, bool haveCounts);
  // Whether the event mask asks for modem-line events.
  void SetWatchingLocked(bool watching);
  // Ends the thread; call without the device lock.
  void Stop();

 private:
  void Loop();

  std::mutex &mutex_;
  const std::function<void(DWORD)> raiseLocked_;
  std::condition_variable cv_;
  std::thread thread_;
  int fd_ = -1;
  bool haveCounts_ = false;
  bool watching_ = false;
  bool stop_ = false;
  bool exited_ = false;
};

}  // namespace platform::posix
