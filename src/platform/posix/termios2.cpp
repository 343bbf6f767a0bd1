#include "platform/posix/termios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

// <sys/ioctl.h> would pull in the C library's termios types.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace platform::posix {

bool GetTtySpeed(int fd, unsigned *speed) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  *speed = tio.c_ospeed;
  return true;
}

bool SetTtySpeed(int fd, unsigned speed) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ospeed = speed;
  tio.c_ispeed = speed;
  return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace platform::posix
