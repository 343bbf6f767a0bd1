#include "platform/posix/device.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::posix {

namespace {

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kErrorEvents = EV_ERR | EV_BREAK;

void StoreStatus(OVERLAPPED *ov, ULONG_PTR status) {
  __atomic_store_n(&ov->Internal, status, __ATOMIC_RELEASE);
}

std::size_t StripZeros(BYTE *data, std::size_t size) {
  return static_cast<std::size_t>(std::remove(data, data + size, BYTE{0}) - data);
}

// A signal whose only job is to interrupt the modem watcher's blocking
// TIOCMIWAIT when the device closes. Its handler does nothing.
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

void MakeRawTermios(termios &t) {
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IUCLC | IXANY | IMAXBEL);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

// ---- open and close -----------------------------------------------------------

std::shared_ptr<Device> Device::Open(const char *path, DWORD access, DWORD shareMode,
                                     DWORD creationDisposition, DWORD *error) {
  if (path == nullptr || *path == '\0') {
    *error = ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  if (creationDisposition != OPEN_EXISTING) {  // we open devices; we do not create files
    *error = ERROR_NOT_SUPPORTED;
    return nullptr;
  }
  const bool wantRead = (access & GENERIC_READ) != 0;
  const bool wantWrite = (access & GENERIC_WRITE) != 0;
  const int mode = wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  const int fd = open(path, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrorFromErrno(errno);
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  const bool tty = isatty(fd) != 0;
  // Share mode 0 is exclusive: flock works for root too, and a second open
  // in this process fails as well because the lock belongs to the open file.
  if (flock(fd, (shareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(fd);
    *error = tty ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION;  // what Windows answers
    return nullptr;
  }
  std::shared_ptr<Device> device(new Device());
  device->fd_ = fd;
  device->wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (device->wakeFd_ < 0) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;  // the destructor closes fd
  }
  device->tty_ = tty;
  device->regular_ = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
  if (S_ISCHR(st.st_mode)) {
    device->fileType_ = FILE_TYPE_CHAR;
  } else if (device->regular_) {
    device->fileType_ = FILE_TYPE_DISK;
  } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    device->fileType_ = FILE_TYPE_PIPE;
  }
  if (tty) {
    if (shareMode == 0) device->exclusive_ = ioctl(fd, TIOCEXCL) == 0;
    device->ApplyRawMode();
    device->icountSupported_ = ioctl(fd, TIOCGICOUNT, &device->errorCounts_) == 0;
    device->eventCounts_ = device->errorCounts_;
    int lines = 0;
    device->modemSupported_ = ioctl(fd, TIOCMGET, &lines) == 0;
    DCB &d = device->dcb_;
    d.DCBlength = sizeof(DCB);
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.XonLim = 2048;
    d.XoffLim = 512;
  }
  // The helper threads are had here, where a failure can be reported as a
  // failed open; no later call needs a new thread.
  if (!device->regular_ &&
      !StartHelperThread(device->service_, [raw = device.get()] { raw->ServiceLoop(); })) {
    *error = LastError();
    return nullptr;
  }
  if (device->modemSupported_ && ModemWakeSignal() != 0 &&
      !StartHelperThread(device->modem_, [raw = device.get()] { raw->ModemLoop(); })) {
    *error = LastError();
    return nullptr;
  }
  return device;
}

// A serial port has no line discipline on Windows: whatever the tty did
// before (echo, line editing, CR/LF mapping), bytes now pass unchanged. The
// line settings themselves are left as they were.
void Device::ApplyRawMode() {
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return;
  MakeRawTermios(t);
  tcsetattr(fd_, TCSANOW, &t);
}

Device::~Device() {
  Close();
  if (fd_ >= 0) close(fd_);
}

void Device::Close() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) return;
  closed_ = true;
  AbortAll(reads_);
  AbortAll(writes_);
  AbortAll(waits_);
  stopping_ = true;
  if (service_.joinable()) Wake();
  lock.unlock();
  if (service_.joinable()) service_.join();
  StopModemWatcher();
  lock.lock();
  if (fd_ >= 0) {
    if (exclusive_) ioctl(fd_, TIOCNXCL);
    close(fd_);  // also releases the flock
    fd_ = -1;
  }
  if (wakeFd_ >= 0) close(wakeFd_);
  wakeFd_ = -1;
}

bool Device::CheckOpen() {
  if (!closed_) return true;
  SetError(ERROR_INVALID_HANDLE);
  return false;
}

bool Device::CheckTty() {
  if (!CheckOpen()) return false;
  if (tty_) return true;
  SetError(ERROR_NOT_SUPPORTED);
  return false;
}

// ---- simple calls -------------------------------------------------------------

DWORD Device::FileType() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!CheckOpen()) return FILE_TYPE_UNKNOWN;
  return fileType_;
}

BOOL Device::Setup() {
  std::lock_guard<std::mutex> lock(mutex_);
  return CheckTty() ? TRUE : FALSE;  // the queues are the driver's
}

BOOL Device::Purge(DWORD flags) {
  if ((flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!CheckTty()) return FALSE;
  if (flags & PURGE_RXABORT) AbortAll(reads_);
  if (flags & PURGE_TXABORT) AbortAll(writes_);
  DWORD error = ERROR_SUCCESS;
  if ((flags & PURGE_RXCLEAR) && tcflush(fd_, TCIFLUSH) != 0) error = ErrorFromErrno(errno);
  if ((flags & PURGE_TXCLEAR) && tcflush(fd_, TCOFLUSH) != 0) error = ErrorFromErrno(errno);
  if (service_.joinable()) Wake();
  if (error != ERROR_SUCCESS) {
    SetError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL Device::SetTimeouts(const COMMTIMEOUTS &timeouts) {
  if (timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
      timeouts.ReadTotalTimeoutConstant == MAXDWORD) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!CheckTty()) return FALSE;
  timeouts_ = timeouts;  // applies to operations issued from now on
  return TRUE;
}

BOOL Device::SetMask(DWORD mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!CheckTty()) return FALSE;
  mask_ = mask;
  history_ = 0;
  // As on Windows, a new mask ends a pending wait with an empty mask.
  if (!waits_.empty()) {
    Complete(waits_.front(), ERROR_SUCCESS, 0);
    waits_.pop_front();
  }
  if ((mask & kErrorEvents) && icountSupported_) ioctl(fd_, TIOCGICOUNT, &eventCounts_);
  modemCv_.notify_all();
  return TRUE;
}

BOOL Device::ClearError(DWORD *errors, COMSTAT *stat) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!CheckTty()) return FALSE;
  DWORD bits = 0;
  serial_icounter_struct now{};
  if (icountSupported_ && ioctl(fd_, TIOCGICOUNT, &now) == 0) {
    if (now.frame != errorCounts_.frame) bits |= CE_FRAME;
    if (now.overrun != errorCounts_.overrun) bits |= CE_OVERRUN;
    if (now.parity != errorCounts_.parity) bits |= CE_RXPARITY;
    if (now.brk != errorCounts_.brk) bits |= CE_BREAK;
    if (now.buf_overrun != errorCounts_.buf_overrun) bits |= CE_RXOVER;
    errorCounts_ = now;
  }
  if (stat != nullptr) {
    int in = 0;
    int out = 0;
    if (ioctl(fd_, FIONREAD, &in) != 0) {
      SetError(ErrorFromErrno(errno));  // a line that has hung up answers EIO
      return FALSE;
    }
    if (ioctl(fd_, TIOCOUTQ, &out) != 0) out = 0;
    stat->Flags = 0;
    stat->cbInQue = static_cast<DWORD>(in);
    stat->cbOutQue = static_cast<DWORD>(out);
  }
  if (errors != nullptr) *errors = bits;
  return TRUE;
}

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
  if (!(op.kind == Kind::kWaitEvent ? CheckTty() : CheckOpen())) return FALSE;
  if (op.kind == Kind::kWaitEvent && (mask_ == 0 || !waits_.empty())) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!syncEvent) NoteThreadIssuedIo();
  if (op.event) op.event->Reset();
  overlapped->InternalHigh = 0;
  StoreStatus(overlapped, kOverlappedPending);
  const BOOL done = Issue(std::move(op), count);
  if (!syncEvent || done || LastError() != ERROR_IO_PENDING) return done;

  lock.unlock();
  std::vector<std::shared_ptr<KernelObject>> waitOn{syncEvent};
  WaitAny(waitOn, -1, nullptr, INFINITE);
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
BOOL Device::Issue(Op &&op, DWORD *count) {
  const Clock::time_point now = Clock::now();
  if (op.kind == Kind::kWaitEvent) {
    if ((history_ & mask_) != 0) {
      const DWORD events = history_ & mask_;
      history_ = 0;
      Complete(op, ERROR_SUCCESS, events);
      return TRUE;
    }
    waits_.push_back(std::move(op));
    SetError(ERROR_IO_PENDING);
    return FALSE;
  }

  const bool isRead = op.kind == Kind::kRead;
  if (regular_) {
    op.returnAtOnce = true;
  } else if (!tty_) {
    op.anyByteCompletes = isRead;
  } else if (isRead) {
    const COMMTIMEOUTS &t = timeouts_;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
      op.returnAtOnce = true;
    } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
      op.anyByteCompletes = true;
      op.hasDeadline = true;
      op.deadline = now + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    } else {
      op.interval = t.ReadIntervalTimeout == MAXDWORD ? 0 : t.ReadIntervalTimeout;
      const std::uint64_t total =
          std::uint64_t{t.ReadTotalTimeoutMultiplier} * op.size + t.ReadTotalTimeoutConstant;
      op.hasDeadline = total > 0;
      op.deadline = now + std::chrono::milliseconds(total);
    }
  } else {
    const std::uint64_t total = std::uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * op.size +
                                timeouts_.WriteTotalTimeoutConstant;
    op.hasDeadline = total > 0;
    op.deadline = now + std::chrono::milliseconds(total);
  }

  std::deque<Op> &queue = isRead ? reads_ : writes_;
  if (queue.empty()) {
    int err = 0;
    const Fill fill = isRead ? FillRead(op, &err) : FillWrite(op, &err);
    DWORD status = ERROR_SUCCESS;
    if (isRead ? ReadFinished(op, fill, err, now, &status)
               : WriteFinished(op, fill, err, now, &status)) {
      if (status != ERROR_SUCCESS && op.done == 0) {
        StoreStatus(op.ov, status);
        SetError(status);
        return FALSE;
      }
      Complete(op, status);
      if (count != nullptr) *count = op.done;
      if (status != ERROR_SUCCESS) {
        SetError(status);
        return FALSE;
      }
      return TRUE;
    }
  }
  queue.push_back(std::move(op));
  Wake();
  SetError(ERROR_IO_PENDING);
  return FALSE;
}

Device::Fill Device::FillRead(Op &op, int *err) {
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
    if (icountSupported_ && (mask_ & kErrorEvents)) CheckLineErrors();
  }
  return fill;
}

Device::Fill Device::FillWrite(Op &op, int *err) {
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

bool Device::ReadFinished(const Op &op, Fill fill, int err, Clock::time_point now, DWORD *status) {
  *status = ERROR_SUCCESS;
  switch (fill) {
    case Fill::kFull:
    case Fill::kEof:
      return true;
    case Fill::kHangup:
      // Bytes read before the hang-up are delivered first; the next read
      // reports the failure.
      if (op.done == 0) *status = ERROR_GEN_FAILURE;
      return true;
    case Fill::kError:
      if (op.done == 0) *status = ErrorFromErrno(err);
      return true;
    case Fill::kPartial:
      break;
  }
  if (op.returnAtOnce) return true;
  if (op.anyByteCompletes && op.done > 0) return true;
  if (op.interval != 0 && op.done > 0 &&
      now - op.lastByte >= std::chrono::milliseconds(op.interval)) {
    return true;
  }
  return op.hasDeadline && now >= op.deadline;
}

bool Device::WriteFinished(const Op &op, Fill fill, int err, Clock::time_point now, DWORD *status) {
  *status = ERROR_SUCCESS;
  switch (fill) {
    case Fill::kFull:
    case Fill::kEof:
    case Fill::kHangup:
      return true;
    case Fill::kError:
      *status = ErrorFromErrno(err);
      return true;
    case Fill::kPartial:
      break;
  }
  return op.hasDeadline && now >= op.deadline;  // a total time-out ends it short
}

// The record's status is stored last but one: whoever sees the event set, or
// the status no longer pending, finds the count and the data in place.
void Device::Complete(Op &op, DWORD status, DWORD eventMask) {
  if (op.maskOut != nullptr) *op.maskOut = eventMask;
  op.ov->InternalHigh = op.done;
  StoreStatus(op.ov, status);
  if (op.event) op.event->Set();
  completed_.notify_all();
}

void Device::AbortAll(std::deque<Op> &ops) {
  for (Op &op : ops) Complete(op, ERROR_OPERATION_ABORTED);
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
      Complete(*it, ERROR_OPERATION_ABORTED);
      it = ops->erase(it);
    }
  }
  if (service_.joinable()) Wake();
}

void Device::Drop(DWORD threadId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return;
  for (std::deque<Op> *ops : {&reads_, &writes_, &waits_}) {
    ops->erase(std::remove_if(ops->begin(), ops->end(),
                              [threadId](const Op &op) { return op.issuer == threadId; }),
               ops->end());
  }
  if (service_.joinable()) Wake();
}

void Device::WaitCompletion(const OVERLAPPED *overlapped) {
  std::unique_lock<std::mutex> lock(mutex_);
  completed_.wait(lock, [overlapped] {
    return __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE) != kOverlappedPending;
  });
}

// ---- the service thread -----------------------------------------------------------

void Device::Wake() {
  if (wakePending_ || wakeFd_ < 0) return;
  wakePending_ = true;
  const std::uint64_t one = 1;
  while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Device::Progress(Clock::time_point now) {
  while (!reads_.empty()) {
    Op &op = reads_.front();
    int err = 0;
    const Fill fill = FillRead(op, &err);
    DWORD status;
    if (!ReadFinished(op, fill, err, fill == Fill::kPartial ? Clock::now() : now, &status)) break;
    Complete(op, status);
    reads_.pop_front();
  }
  while (!writes_.empty()) {
    Op &op = writes_.front();
    int err = 0;
    const Fill fill = FillWrite(op, &err);
    DWORD status;
    if (!WriteFinished(op, fill, err, Clock::now(), &status)) break;
    Complete(op, status);
    writes_.pop_front();
  }
}

int Device::NextTimeoutMs(Clock::time_point now) const {
  bool any = false;
  Clock::time_point next;
  auto consider = [&](Clock::time_point t) {
    if (!any || t < next) next = t;
    any = true;
  };
  if (!reads_.empty()) {
    const Op &op = reads_.front();
    if (op.returnAtOnce) return 0;
    if (op.interval != 0 && op.done > 0) {
      consider(op.lastByte + std::chrono::milliseconds(op.interval));
    }
    if (op.hasDeadline) consider(op.deadline);
  }
  if (!writes_.empty() && writes_.front().hasDeadline) consider(writes_.front().deadline);
  if (!any) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
  if (left <= 0) return 0;
  const auto ms = (left + 999) / 1000;  // rounded up: never wake before the time
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

// Sleeps in poll() on the tty and the wake descriptor; the tty is watched
// only while an operation needs it (a hung-up tty is always "ready"), and the
// poll has a time-out only while an interval or total timer runs.
void Device::ServiceLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    Progress(Clock::now());
    short events = 0;
    if (!reads_.empty()) events |= POLLIN;
    if (!writes_.empty()) events |= POLLOUT;
    const int timeout = NextTimeoutMs(Clock::now());
    pollfd fds[2] = {{events != 0 ? fd_ : -1, events, 0}, {wakeFd_, POLLIN, 0}};
    lock.unlock();
    poll(fds, 2, timeout);
    lock.lock();
    if (fds[1].revents != 0) {
      std::uint64_t value;
      while (read(wakeFd_, &value, sizeof value) < 0 && errno == EINTR) {
      }
      wakePending_ = false;
    }
  }
}

// ---- line events ------------------------------------------------------------------

void Device::RaiseEvents(DWORD events) {
  events &= mask_;
  if (events == 0) return;
  if (!waits_.empty()) {
    Complete(waits_.front(), ERROR_SUCCESS, events);
    waits_.pop_front();
  } else {
    history_ |= events;  // reported by the next wait, as Windows does
  }
}

DWORD Device::LineEvents(const serial_icounter_struct &a, const serial_icounter_struct &b,
                         bool lines) {
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

void Device::CheckLineErrors() {
  serial_icounter_struct now{};
  if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return;
  const DWORD events = LineEvents(eventCounts_, now, false);
  eventCounts_ = now;
  RaiseEvents(events);
}

// Blocks in TIOCMIWAIT while the mask asks for modem-line events; the line
// changes are read from the interrupt counters where the driver keeps them
// (a ring pulse leaves no trace in the line state), else from TIOCMGET.
void Device::ModemLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  serial_icounter_struct counts{};
  const bool haveCounts = icountSupported_ && ioctl(fd_, TIOCGICOUNT, &counts) == 0;
  int lines = 0;
  ioctl(fd_, TIOCMGET, &lines);
  while (!modemStop_) {
    if ((mask_ & kModemEvents) == 0) {
      modemCv_.wait(lock);
      continue;
    }
    const int fd = fd_;
    lock.unlock();
    const int rc = ioctl(fd, TIOCMIWAIT, TIOCM_CD | TIOCM_RI | TIOCM_DSR | TIOCM_CTS);
    const int err = errno;
    lock.lock();
    if (modemStop_) break;
    if (rc != 0 && err == EINTR) continue;
    if (rc != 0) break;  // the driver cannot wait for line changes, or the device is gone
    DWORD events = 0;
    serial_icounter_struct now{};
    int nowLines = 0;
    if (haveCounts && ioctl(fd_, TIOCGICOUNT, &now) == 0) {
      events = LineEvents(counts, now, true) & kModemEvents;
      counts = now;
    } else if (ioctl(fd_, TIOCMGET, &nowLines) == 0) {
      const int changed = lines ^ nowLines;
      if (changed & TIOCM_CTS) events |= EV_CTS;
      if (changed & TIOCM_DSR) events |= EV_DSR;
      if (changed & TIOCM_CD) events |= EV_RLSD;
      if (changed & TIOCM_RI) events |= EV_RING;
      lines = nowLines;
    }
    RaiseEvents(events);
  }
  modemExited_ = true;
  modemCv_.notify_all();
}

void Device::StopModemWatcher() {
  if (!modem_.joinable()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  modemStop_ = true;
  modemCv_.notify_all();
  // The signal may arrive just before the watcher enters the ioctl: repeat it
  // until the watcher is out.
  while (!modemExited_) {
    pthread_kill(modem_.native_handle(), ModemWakeSignal());
    modemCv_.wait_for(lock, std::chrono::milliseconds(10));
  }
  lock.unlock();
  modem_.join();
}

// ---- threads that end -------------------------------------------------------------

void DropIoOfThread(DWORD threadId) {
  for (auto &device : ObjectsOfKind<Device>()) device->Drop(threadId);
}

}  // namespace platform::posix
