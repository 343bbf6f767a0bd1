// A serial device (or any file) opened with CreateFileA.
//
// Parts, one job per file:
// - device.cpp: the front: open, close and the simple calls (purge, time-outs,
//   mask, errors);
// - device_io.cpp: the operation service: the three queues of pending
//   overlapped operations (reads, writes, event waits), filling, completing
//   and cancelling them, and the service thread that sleeps in poll() while
//   they wait for the tty or a timer;
// - op_timing.h: when a read or write is finished, as a value fixed at issue;
// - modem_watcher.h: the modem-line watcher thread;
// - line_settings.cpp: DCB <-> termios.
//
// Threads: any thread may call any public member; the service thread and the
// modem watcher run inside. Operations complete on whichever thread finds
// them done: the caller's (at once, or in Purge, Cancel, SetMask, Close), a
// waiter's that drives them (below), the service thread's or the watcher's.
//
// Who watches the tty for a pending read or write: a thread that waits for
// the operation's event drives it from inside its wait (poll on the tty, the
// timers, the reads and writes), so the usual issue-then-wait costs no
// hand-off between threads. The service thread does it only for operations
// that nobody drives: a timer (takeoverFd_) that queueing arms has it look a
// moment later (at most one arming per period), and a driver that leaves
// with operations still pending wakes it or arms the timer; operations
// without an event wake it at once. An operation counts as driven once a
// driver has taken it into its watch (coveredSeq_).
//
// Lock: mutex_ guards every member below it, the queued operations and the
// watcher's state; members named ...Locked expect it held. It is dropped
// only around the service thread's poll(), a driver's poll(), the watcher's
// TIOCMIWAIT, the wait of a call made without an OVERLAPPED record, and in
// Close around the joins. Nothing else is locked while it is held except an Event's own
// signal lock (completing sets the record's event): the order is device,
// then event (an event's signal and its driver link), and an event never
// calls into a device: a waiter takes the driver from the event first and
// calls the device afterwards, holding nothing.
//
// Close's order: (1) mark closed and abort every queued operation, so no new
// one is accepted and no record is touched later; (2) stop the service
// thread and the watcher, without the lock, since both take it; (3) only
// then close the tty and the wake descriptor, which the threads' poll and
// ioctl still use until they are out.
#pragma once

#include <linux/serial.h>

#include <deque>
#include <thread>

#include "platform/posix/kernel.h"
#include "platform/posix/modem_watcher.h"
#include "platform/posix/op_timing.h"

struct termios;

namespace platform::posix {

// Clears what a line discipline would do to the bytes (echo, editing, CR/LF
// mapping, signals); keeps the line settings.
void MakeRawTermios(termios &t);

class Device : public KernelObject, public Drivable, public std::enable_shared_from_this<Device> {
 public:
  // Opens `path`; on failure returns null and stores the Win32 error.
  static std::shared_ptr<Device> Open(const char *path, DWORD access, DWORD shareMode,
                                      DWORD creationDisposition, DWORD *error);
  ~Device() override;

  void HandleClosed() override { Close(); }

  // The front (device.cpp) and line settings (line_settings.cpp).
  DWORD FileType();
  BOOL Setup();
  BOOL Purge(DWORD flags);
  BOOL GetState(DCB *dcb);
  BOOL SetState(const DCB &dcb);
  BOOL SetTimeouts(const COMMTIMEOUTS &timeouts);
  BOOL SetMask(DWORD mask);
  BOOL ClearError(DWORD *errors, COMSTAT *stat);
  void Close();

  // The operation service (device_io.cpp).
  BOOL WaitEvent(DWORD *eventMask, OVERLAPPED *overlapped);
  BOOL Read(void *buffer, DWORD toRead, DWORD *read, OVERLAPPED *overlapped);
  BOOL Write(const void *buffer, DWORD toWrite, DWORD *written, OVERLAPPED *overlapped);
  // Aborts (ERROR_OPERATION_ABORTED) the operations the thread issued.
  void Cancel(DWORD threadId);
  // Forgets the thread's operations without touching their records.
  void Drop(DWORD threadId);
  // Waits until the record is no longer pending (records without an event).
  void WaitCompletion(const OVERLAPPED *overlapped);

  // A thread that waits for a pending operation's event drives it
  // (device_io.cpp).
  bool BeginDrive() override;
  void EndDrive() override;
  bool DriveInterest(pollfd *watch, int *timeoutMs) override;
  void Drive() override;

 private:
  enum class Kind { kRead, kWrite, kWaitEvent };
  struct Op {
    Kind kind;
    OVERLAPPED *ov;
    std::shared_ptr<Event> event;
    BYTE *data = nullptr;
    DWORD size = 0;
    DWORD done = 0;
    DWORD *maskOut = nullptr;
    DWORD issuer = 0;
    std::uint64_t offset = 0;  // files
    OpTiming timing;
    Clock::time_point lastByte;
    bool queued = false;    // its event names this device as its driver
    std::uint64_t seq = 0;  // order of queueing, for coveredSeq_
  };
  enum class Fill { kFull, kPartial, kEof, kHangup, kError };

  Device();

  bool CheckOpenLocked();  // false (ERROR_INVALID_HANDLE) once closed
  bool CheckTtyLocked();   // also fails for devices that are not ttys
  void ApplyRawModeLocked();

  BOOL Submit(Op &&op, OVERLAPPED *overlapped, DWORD *count);
  BOOL IssueLocked(Op &&op, DWORD *count);
  OpTiming::Medium MediumLocked() const;
  Fill FillReadLocked(Op &op, int *err);
  Fill FillWriteLocked(Op &op, int *err);
  bool FinishedLocked(const Op &op, Fill fill, int err, Clock::time_point now, DWORD *status);
  void CompleteLocked(Op &op, DWORD status, DWORD eventMask = 0);
  void AbortAllLocked(std::deque<Op> &ops);
  void ProgressLocked();
  int NextTimeoutMsLocked(Clock::time_point now) const;
  void WakeLocked();
  void ArmTakeoverLocked();
  bool UndrivenLocked() const;
  void ServiceLoop();
  void RaiseEventsLocked(DWORD events);
  void CheckLineErrorsLocked();

  std::mutex mutex_;
  std::condition_variable completed_;  // for records without an event
  int fd_ = -1;
  int wakeFd_ = -1;
  bool closed_ = false;
  DWORD fileType_ = FILE_TYPE_UNKNOWN;
  bool tty_ = false;
  bool regular_ = false;
  bool exclusive_ = false;
  bool stripNulls_ = false;
  bool icountSupported_ = false;
  bool modemSupported_ = false;
  serial_icounter_struct errorCounts_{};  // ClearCommError's baseline
  serial_icounter_struct eventCounts_{};  // EV_ERR / EV_BREAK baseline
  COMMTIMEOUTS timeouts_{};
  DCB dcb_{};  // the last settings applied: fields termios cannot hold
  DWORD mask_ = 0;
  DWORD history_ = 0;  // events seen while no wait was pending
  std::deque<Op> reads_;
  std::deque<Op> writes_;
  std::deque<Op> waits_;
  std::thread service_;
  bool stopping_ = false;
  bool wakePending_ = false;
  int driving_ = 0;               // waiters driving the pending operations now
  std::uint64_t opSeq_ = 0;       // operations queued so far
  std::uint64_t coveredSeq_ = 0;  // queued operations up to here are in a driver's watch
  int takeoverFd_ = -1;           // timerfd: the service thread checks for undriven operations
  bool takeoverArmed_ = false;
  ModemWatcher modem_;
};

}  // namespace platform::posix
