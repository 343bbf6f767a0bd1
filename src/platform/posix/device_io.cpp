// The operation service: pending overlapped reads, writes and event waits,
// and the service thread that completes them. Lock rule: everything here
// runs under mutex_, which the service thread drops only inside poll() and a
// call without an OVERLAPPED record drops only while it waits (device.h).
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/device.h"

namespace platform::posix {

namespace {

constexpr DWORD kErrorEvents = EV_ERR | EV_BREAK;

void StoreStatus(OVERLAPPED *ov, ULONG_PTR status) {
  __atomic_store_n(&ov->Internal, status, __ATOMIC_RELEASE);
}

std::size_t StripZeros(BYTE *data, std::size_t size) {
  return static_cast<std::size_t>(std::remove(data, data + size, BYTE{0}) - data);
}

}  // namespace

// ---- overlapped operations ------------------------------------------------------

BOOL Device::WaitEvent(DWORD *eventMask, OVERLAPPED *overlapped) {
  if (eventMask == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Op op{};
  op.kind = Kind::kWaitEvent;
  op.maskOut = eventMask;
  return Submit(std::move(op), overlapped, nullptr);
}

BOOL Device::Read(void *buffer, DWORD toRead, DWORD *read, OVERLAPPED *overlapped) {
  if (buffer == nullptr && toRead > 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Op op{};
  op.kind = Kind::kRead;
  op.data = static_cast<BYTE *>(buffer);
  op.size = toRead;
  return Submit(std::move(op), overlapped, read);
}

BOOL Device::Write(const void *buffer, DWORD toWrite, DWORD *written, OVERLAPPED *overlapped) {
  if (buffer == nullptr && toWrite > 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Op op{};
  op.kind = Kind::kWrite;
  // Never written through: the same field serves reads.
  op.data = const_cast<BYTE *>(static_cast<const BYTE *>(buffer));
  op.size = toWrite;
  return Submit(std::move(op), overlapped, written);
}

BOOL Device::Submit(Op &&op, OVERLAPPED *overlapped, DWORD *count) {
  if (count != nullptr) *count = 0;
  // Without a record the call is synchronous: it runs as an overlapped one on
  // a private record and waits for it here.
  OVERLAPPED local{};
  std::shared_ptr<Event> syncEvent;
  if (overlapped == nullptr) {
    syncEvent = std::make_shared<Event>(true, false);
    if (!syncEvent->Valid()) {
      SetError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    op.event = syncEvent;
    overlapped = &local;
  } else if (overlapped->hEvent != nullptr) {
    op.event = std::dynamic_pointer_cast<Event>(LookupHandle(overlapped->hEvent));
    if (!op.event) {
      SetError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  op.ov = overlapped;
  op.issuer = CurrentThreadId();
  if (regular_) op.offset = overlapped->Offset | (std::uint64_t{overlapped->OffsetHigh} << 32);

  std::unique_lock<std::mutex> lock(mutex_);
  if (!(op.kind == Kind::kWaitEvent ? CheckTtyLocked() : CheckOpenLocked())) return FALSE;
  if (op.kind == Kind::kWaitEvent && (mask_ == 0 || !waits_.empty())) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!syncEvent) NoteThreadIssuedIo();
  if (op.event) op.event->Reset();
  overlapped->InternalHigh = 0;
  StoreStatus(overlapped, kOverlappedPending);
  const BOOL done = IssueLocked(std::move(op), count);
  if (!syncEvent || done || LastError() != ERROR_IO_PENDING) return done;

  lock.unlock();
  std::vector<std::shared_ptr<KernelObject>> waitOn{syncEvent};
  WaitAny(waitOn, nullptr, INFINITE);
  const ULONG_PTR status = __atomic_load_n(&local.Internal, __ATOMIC_ACQUIRE);
  if (count != nullptr) *count = static_cast<DWORD>(local.InternalHigh);
  if (status != ERROR_SUCCESS) {
    SetError(static_cast<DWORD>(status));
    return FALSE;
  }
  return TRUE;
}

// With mutex_ held. Completes the operation at once (TRUE) when it can, else
// queues it for the service thread (FALSE, ERROR_IO_PENDING); a failure that
// happens at once is returned as FALSE with its error and no completion.
BOOL Device::IssueLocked(Op &&op, DWORD *count) {
  const Clock::time_point now = Clock::now();
  if (op.kind == Kind::kWaitEvent) {
    if ((history_ & mask_) != 0) {
      const DWORD events = history_ & mask_;
      history_ = 0;
      CompleteLocked(op, ERROR_SUCCESS, events);
      return TRUE;
    }
    waits_.push_back(std::move(op));
    SetError(ERROR_IO_PENDING);
    return FALSE;
  }

  const bool isRead = op.kind == Kind::kRead;
  op.timing = isRead ? OpTiming::ForRead(timeouts_, op.size, MediumLocked(), now)
                     : OpTiming::ForWrite(timeouts_, op.size, MediumLocked(), now);

  std::deque<Op> &queue = isRead ? reads_ : writes_;
  if (queue.empty()) {
    int err = 0;
    const Fill fill = isRead ? FillReadLocked(op, &err) : FillWriteLocked(op, &err);
    DWORD status = ERROR_SUCCESS;
    if (FinishedLocked(op, fill, err, now, &status)) {
      if (status != ERROR_SUCCESS && op.done == 0) {
        StoreStatus(op.ov, status);
        SetError(status);
        return FALSE;
      }
      CompleteLocked(op, status);
      if (count != nullptr) *count = op.done;
      if (status != ERROR_SUCCESS) {
        SetError(status);
        return FALSE;
      }
      return TRUE;
    }
  }
  // Pending: whoever waits for the event drives it; the service thread
  // looks a moment later in case nobody does.
  std::shared_ptr<Event> event = op.event;
  op.queued = event != nullptr;
  op.seq = ++opSeq_;
  queue.push_back(std::move(op));
  if (event) {
    event->SetDriver(weak_from_this());
    ArmTakeoverLocked();
  } else {
    WakeLocked();  // WaitCompletion does not drive
  }
  SetError(ERROR_IO_PENDING);
  return FALSE;
}

Device::Fill Device::FillReadLocked(Op &op, int *err) {
  Fill fill = Fill::kFull;
  bool got = false;
  while (op.done < op.size) {
    BYTE *at = op.data + op.done;
    const std::size_t want = op.size - op.done;
    const ssize_t n = regular_ ? pread(fd_, at, want, static_cast<off_t>(op.offset + op.done))
                               : read(fd_, at, want);
    if (n > 0) {
      const std::size_t kept =
          stripNulls_ ? StripZeros(at, static_cast<std::size_t>(n)) : static_cast<std::size_t>(n);
      op.done += static_cast<DWORD>(kept);
      got = true;
      // A tty or pipe that gave less than asked has nothing more now: asking
      // again would only answer EAGAIN (a file's short read is its end, which
      // the next read reports).
      if (!regular_ && static_cast<std::size_t>(n) < want) {
        fill = Fill::kPartial;
        break;
      }
      continue;
    }
    if (n == 0) {
      // A tty in raw non-blocking mode reads 0 only once it has hung up.
      fill = tty_ ? Fill::kHangup : Fill::kEof;
      break;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      fill = Fill::kPartial;
      break;
    }
    *err = errno;
    fill = Fill::kError;
    break;
  }
  if (got) {
    op.lastByte = Clock::now();
    if (icountSupported_ && (mask_ & kErrorEvents)) CheckLineErrorsLocked();
  }
  return fill;
}

Device::Fill Device::FillWriteLocked(Op &op, int *err) {
  while (op.done < op.size) {
    const BYTE *at = op.data + op.done;
    const std::size_t want = op.size - op.done;
    const ssize_t n = regular_ ? pwrite(fd_, at, want, static_cast<off_t>(op.offset + op.done))
                               : write(fd_, at, want);
    if (n > 0) {
      op.done += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return Fill::kPartial;
    *err = n < 0 ? errno : EIO;
    return Fill::kError;
  }
  return Fill::kFull;
}

OpTiming::Medium Device::MediumLocked() const {
  if (regular_) return OpTiming::Medium::kFile;
  return tty_ ? OpTiming::Medium::kTty : OpTiming::Medium::kStream;
}

// After a fill: is the operation over, and with what status?
bool Device::FinishedLocked(const Op &op, Fill fill, int err, Clock::time_point now,
                            DWORD *status) {
  const bool isRead = op.kind == Kind::kRead;
  *status = ERROR_SUCCESS;
  switch (fill) {
    case Fill::kFull:
    case Fill::kEof:
      return true;
    case Fill::kHangup:
      // Bytes read before the hang-up are delivered first; the next read
      // reports the failure. A write to a line that hung up ends as it is.
      if (isRead && op.done == 0) *status = ERROR_GEN_FAILURE;
      return true;
    case Fill::kError:
      if (!isRead || op.done == 0) *status = ErrorFromErrno(err);
      return true;
    case Fill::kPartial:
      break;
  }
  return op.timing.Finished(op.done, op.lastByte, now);
}

// The record's status is stored last but one: whoever sees the event set, or
// the status no longer pending, finds the count and the data in place.
void Device::CompleteLocked(Op &op, DWORD status, DWORD eventMask) {
  if (op.maskOut != nullptr) *op.maskOut = eventMask;
  op.ov->InternalHigh = op.done;
  StoreStatus(op.ov, status);
  if (op.queued) op.event->SetDriver({});
  if (op.event) op.event->Set();
  completed_.notify_all();
}

void Device::AbortAllLocked(std::deque<Op> &ops) {
  for (Op &op : ops) CompleteLocked(op, ERROR_OPERATION_ABORTED);
  ops.clear();
}

void Device::Cancel(DWORD threadId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return;  // Close ended everything already
  for (std::deque<Op> *ops : {&reads_, &writes_, &waits_}) {
    for (auto it = ops->begin(); it != ops->end();) {
      if (it->issuer != threadId) {
        ++it;
        continue;
      }
      CompleteLocked(*it, ERROR_OPERATION_ABORTED);
      it = ops->erase(it);
    }
  }
  if (service_.joinable()) WakeLocked();
}

void Device::Drop(DWORD threadId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return;
  for (std::deque<Op> *ops : {&reads_, &writes_, &waits_}) {
    for (auto it = ops->begin(); it != ops->end();) {
      if (it->issuer != threadId) {
        ++it;
        continue;
      }
      if (it->queued) it->event->SetDriver({});  // the event outlives the operation
      it = ops->erase(it);
    }
  }
  if (service_.joinable()) WakeLocked();
}

void Device::WaitCompletion(const OVERLAPPED *overlapped) {
  std::unique_lock<std::mutex> lock(mutex_);
  completed_.wait(lock, [overlapped] {
    return __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE) != kOverlappedPending;
  });
}

// ---- the service thread -----------------------------------------------------------

void Device::WakeLocked() {
  if (wakePending_ || wakeFd_ < 0) return;
  wakePending_ = true;
  const std::uint64_t one = 1;
  while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Device::ProgressLocked() {
  for (std::deque<Op> *queue : {&reads_, &writes_}) {
    while (!queue->empty()) {
      Op &op = queue->front();
      int err = 0;
      const Fill fill =
          op.kind == Kind::kRead ? FillReadLocked(op, &err) : FillWriteLocked(op, &err);
      DWORD status;
      if (!FinishedLocked(op, fill, err, Clock::now(), &status)) break;
      CompleteLocked(op, status);
      queue->pop_front();
    }
  }
}

int Device::NextTimeoutMsLocked(Clock::time_point now) const {
  int timeout = -1;
  for (const std::deque<Op> *queue : {&reads_, &writes_}) {
    if (queue->empty()) continue;
    const Op &op = queue->front();
    const int next = op.timing.NextWakeMs(op.done, op.lastByte, now);
    if (next >= 0 && (timeout < 0 || next < timeout)) timeout = next;
  }
  return timeout;
}

void Device::ArmTakeoverLocked() {
  if (takeoverArmed_ || takeoverFd_ < 0) return;
  takeoverArmed_ = true;
  itimerspec at{};
  at.it_value.tv_nsec = 2L * 1000 * 1000;  // far below any interval time-out worth setting
  timerfd_settime(takeoverFd_, 0, &at, nullptr);
}

// ---- drivers: waiters that watch the tty themselves ---------------------------------

bool Device::BeginDrive() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  ++driving_;
  return true;
}

void Device::EndDrive() {
  std::lock_guard<std::mutex> lock(mutex_);
  --driving_;
  if (reads_.empty() && writes_.empty()) return;
  // Operations stay behind: whether another driver watches them is not
  // known, so the service thread looks.
  coveredSeq_ = 0;
  if (driving_ == 0) {
    WakeLocked();
  } else {
    ArmTakeoverLocked();
  }
}

bool Device::UndrivenLocked() const {
  if (driving_ == 0) return !reads_.empty() || !writes_.empty();
  for (const std::deque<Op> *queue : {&reads_, &writes_}) {
    for (const Op &op : *queue) {
      if (op.seq > coveredSeq_) return true;
    }
  }
  return false;
}

bool Device::DriveInterest(pollfd *watch, int *timeoutMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  short events = 0;
  if (!reads_.empty()) events |= POLLIN;
  if (!writes_.empty()) events |= POLLOUT;
  *timeoutMs = NextTimeoutMsLocked(Clock::now());
  *watch = pollfd{events != 0 ? fd_ : -1, events, 0};
  coveredSeq_ = opSeq_;
  return events != 0;
}

void Device::Drive() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!closed_) ProgressLocked();
}

// Sleeps in poll() on the wake and take-over descriptors, and on the tty
// only while operations wait that no waiter drives (a hung-up tty is always
// "ready"); the poll has a time-out only while such an operation's interval
// or total timer runs.
void Device::ServiceLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    const bool mine = UndrivenLocked();
    if (mine) ProgressLocked();
    short events = 0;
    if (mine && !reads_.empty()) events |= POLLIN;
    if (mine && !writes_.empty()) events |= POLLOUT;
    const int timeout = mine ? NextTimeoutMsLocked(Clock::now()) : -1;
    pollfd fds[3] = {
        {events != 0 ? fd_ : -1, events, 0}, {wakeFd_, POLLIN, 0}, {takeoverFd_, POLLIN, 0}};
    lock.unlock();
    poll(fds, 3, timeout);
    lock.lock();
    std::uint64_t value;
    if (fds[1].revents != 0) {
      while (read(wakeFd_, &value, sizeof value) < 0 && errno == EINTR) {
      }
      wakePending_ = false;
    }
    if (fds[2].revents != 0) {
      while (read(takeoverFd_, &value, sizeof value) < 0 && errno == EINTR) {
      }
      takeoverArmed_ = false;
    }
  }
}

// ---- line events ------------------------------------------------------------------

void Device::RaiseEventsLocked(DWORD events) {
  events &= mask_;
  if (events == 0) return;
  if (!waits_.empty()) {
    CompleteLocked(waits_.front(), ERROR_SUCCESS, events);
    waits_.pop_front();
  } else {
    history_ |= events;  // reported by the next wait, as Windows does
  }
}

void Device::CheckLineErrorsLocked() {
  serial_icounter_struct now{};
  if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return;
  const DWORD events = CounterEvents(eventCounts_, now, false);
  eventCounts_ = now;
  RaiseEventsLocked(events);
}

}  // namespace platform::posix
