// DCB <-> termios.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "platform/posix/device.h"
#include "platform/posix/termios2.h"

namespace platform::posix {

namespace {

struct BaudCode {
  DWORD rate;
  speed_t code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool CodeOfRate(DWORD rate, speed_t *code) {
  for (const BaudCode &b : kBaudCodes) {
    if (b.rate == rate) {
      *code = b.code;
      return true;
    }
  }
  return false;
}

DWORD RateOfCode(speed_t code) {
  for (const BaudCode &b : kBaudCodes) {
    if (b.code == code) return b.rate;
  }
  return 0;
}

}  // namespace

BOOL Device::GetState(DCB *dcb) {
  if (dcb == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!CheckTtyLocked()) return FALSE;
  termios t{};
  if (tcgetattr(fd_, &t) != 0) {
    SetError(ErrorFromErrno(errno));
    return FALSE;
  }
  DCB d = dcb_;  // what termios cannot hold comes from the last settings applied
  d.DCBlength = sizeof(DCB);
  d.fBinary = 1;
  unsigned speed = 0;
  d.BaudRate = GetTtySpeed(fd_, &speed) ? speed : RateOfCode(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5:
      d.ByteSize = 5;
      break;
    case CS6:
      d.ByteSize = 6;
      break;
    case CS7:
      d.ByteSize = 7;
      break;
    default:
      d.ByteSize = 8;
      break;
  }
  if ((t.c_cflag & PARENB) == 0) {
    d.Parity = NOPARITY;
  } else if (t.c_cflag & CMSPAR) {
    d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  }
  if ((t.c_cflag & CSTOPB) == 0) {
    d.StopBits = ONESTOPBIT;
  } else {
    d.StopBits = d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  }
  d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
  d.fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
  d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
  d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
  d.XonChar = static_cast<char>(t.c_cc[VSTART]);
  d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  d.fNull = stripNulls_ ? 1 : 0;
  int lines = 0;
  const bool haveLines = ioctl(fd_, TIOCMGET, &lines) == 0;  // a pty has none
  if (t.c_cflag & CRTSCTS) {
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
  } else if (haveLines) {
    d.fRtsControl =
        (lines & TIOCM_RTS)
            ? (dcb_.fRtsControl == RTS_CONTROL_TOGGLE ? RTS_CONTROL_TOGGLE : RTS_CONTROL_ENABLE)
            : RTS_CONTROL_DISABLE;
  } else if (d.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    d.fRtsControl = RTS_CONTROL_ENABLE;
  }
  if (haveLines) {
    d.fDtrControl = (lines & TIOCM_DTR)
                        ? (dcb_.fDtrControl == DTR_CONTROL_HANDSHAKE ? DTR_CONTROL_HANDSHAKE
                                                                     : DTR_CONTROL_ENABLE)
                        : DTR_CONTROL_DISABLE;
  }
  *dcb = d;
  return TRUE;
}

BOOL Device::SetState(const DCB &dcb) {
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
      dcb.StopBits > TWOSTOPBITS || ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!CheckTtyLocked()) return FALSE;
  termios t{};
  if (tcgetattr(fd_, &t) != 0) {
    SetError(ErrorFromErrno(errno));
    return FALSE;
  }
  MakeRawTermios(t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[dcb.ByteSize - 5];
  switch (dcb.Parity) {
    case ODDPARITY:
      t.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      t.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  // 1.5 stop bits: Linux drivers send 1.5 for CSTOPB with 5 data bits.
  if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | INPCK | IGNPAR);
  if (dcb.fOutX) t.c_iflag |= IXON;
  if (dcb.fInX) t.c_iflag |= IXOFF;
  if (dcb.fParity) t.c_iflag |= INPCK;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  speed_t code = B0;
  const bool standard = CodeOfRate(dcb.BaudRate, &code);
  if (standard) {
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
  }

  DWORD failure = ERROR_SUCCESS;
  if (tcsetattr(fd_, TCSANOW, &t) != 0) {
    // Some kernels refuse parity on a pseudo-terminal: apply the rest.
    if (errno != EINVAL || (t.c_cflag & PARENB) == 0) {
      SetError(ErrorFromErrno(errno));
      return FALSE;
    }
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB);
    if (tcsetattr(fd_, TCSANOW, &t) != 0) {
      SetError(ErrorFromErrno(errno));
      return FALSE;
    }
    failure = ERROR_INVALID_PARAMETER;
  }
  if (!standard && !SetTtySpeed(fd_, dcb.BaudRate)) failure = ERROR_INVALID_PARAMETER;

  // Modem lines, where the device has them.
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  ioctl(fd_, dcb.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
  if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
    ioctl(fd_, dcb.fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &rts);
  }
  stripNulls_ = dcb.fNull != 0;
  dcb_ = dcb;
  dcb_.DCBlength = sizeof(DCB);
  if (failure != ERROR_SUCCESS) {
    SetError(failure);
    return FALSE;
  }
  return TRUE;
}

}  // namespace platform::posix
