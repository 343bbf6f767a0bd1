#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "line_probe.h"
#include "platform/posix/termios2.h"

// A tty's settings belong to the tty, not to a descriptor: a second
// descriptor on the same device reads what the window's descriptor set.
LineProbe::LineProbe(const std::string &devicePath) {
  fd_ = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

LineProbe::~LineProbe() {
  if (fd_ >= 0) close(fd_);
}

unsigned LineProbe::Baud() const {
  unsigned speed = 0;
  if (!platform::posix::GetTtySpeed(fd_, &speed)) return 0;
  return speed;
}

bool LineProbe::TwoStopBits() const {
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return false;
  return (t.c_cflag & CSTOPB) != 0;
}
