// The device front: open, close and the simple calls. Lock rule: every call
// takes mutex_ for its whole length; Close drops it only to join the helper
// threads (see device.h).
#include "platform/posix/device.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace platform::posix {

namespace {

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kErrorEvents = EV_ERR | EV_BREAK;

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

Device::Device() : modem_(mutex_, [this](DWORD events) { RaiseEventsLocked(events); }) {}

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
  device->takeoverFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (device->wakeFd_ < 0 || device->takeoverFd_ < 0) {
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
    device->ApplyRawModeLocked();
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
  if (device->modemSupported_ && !device->modem_.Start(fd, device->icountSupported_)) {
    *error = LastError();
    return nullptr;
  }
  return device;
}

// A serial port has no line discipline on Windows: whatever the tty did
// before (echo, line editing, CR/LF mapping), bytes now pass unchanged. The
// line settings themselves are left as they were.
void Device::ApplyRawModeLocked() {
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
  AbortAllLocked(reads_);
  AbortAllLocked(writes_);
  AbortAllLocked(waits_);
  stopping_ = true;
  if (service_.joinable()) WakeLocked();
  lock.unlock();
  if (service_.joinable()) service_.join();
  modem_.Stop();
  lock.lock();
  if (fd_ >= 0) {
    if (exclusive_) ioctl(fd_, TIOCNXCL);
    close(fd_);  // also releases the flock
    fd_ = -1;
  }
  if (wakeFd_ >= 0) close(wakeFd_);
  wakeFd_ = -1;
  if (takeoverFd_ >= 0) close(takeoverFd_);
  takeoverFd_ = -1;
}

bool Device::CheckOpenLocked() {
  if (!closed_) return true;
  SetError(ERROR_INVALID_HANDLE);
  return false;
}

bool Device::CheckTtyLocked() {
  if (!CheckOpenLocked()) return false;
  if (tty_) return true;
  SetError(ERROR_NOT_SUPPORTED);
  return false;
}

// ---- simple calls -------------------------------------------------------------

DWORD Device::FileType() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!CheckOpenLocked()) return FILE_TYPE_UNKNOWN;
  return fileType_;
}

BOOL Device::Setup() {
  std::lock_guard<std::mutex> lock(mutex_);
  return CheckTtyLocked() ? TRUE : FALSE;  // the queues are the driver's
}

BOOL Device::Purge(DWORD flags) {
  if ((flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!CheckTtyLocked()) return FALSE;
  if (flags & PURGE_RXABORT) AbortAllLocked(reads_);
  if (flags & PURGE_TXABORT) AbortAllLocked(writes_);
  DWORD error = ERROR_SUCCESS;
  if ((flags & PURGE_RXCLEAR) && tcflush(fd_, TCIFLUSH) != 0) error = ErrorFromErrno(errno);
  if ((flags & PURGE_TXCLEAR) && tcflush(fd_, TCOFLUSH) != 0) error = ErrorFromErrno(errno);
  if (service_.joinable()) WakeLocked();
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
  if (!CheckTtyLocked()) return FALSE;
  timeouts_ = timeouts;  // applies to operations issued from now on
  return TRUE;
}

BOOL Device::SetMask(DWORD mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!CheckTtyLocked()) return FALSE;
  mask_ = mask;
  history_ = 0;
  // As on Windows, a new mask ends a pending wait with an empty mask.
  if (!waits_.empty()) {
    CompleteLocked(waits_.front(), ERROR_SUCCESS, 0);
    waits_.pop_front();
  }
  if ((mask & kErrorEvents) && icountSupported_) ioctl(fd_, TIOCGICOUNT, &eventCounts_);
  modem_.SetWatchingLocked((mask & kModemEvents) != 0);
  return TRUE;
}

BOOL Device::ClearError(DWORD *errors, COMSTAT *stat) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!CheckTtyLocked()) return FALSE;
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

// ---- threads that end -------------------------------------------------------------

void DropIoOfThread(DWORD threadId) {
  for (auto &device : ObjectsOfKind<Device>()) device->Drop(threadId);
}

}  // namespace platform::posix
