// Any baud rate, standard or not, through the kernel's termios2 ioctls. Kept
// apart because the kernel's termios headers clash with the C library's.
#pragma once

namespace platform::posix {

// The output speed in bits per second; false if the ioctl is not available.
bool GetTtySpeed(int fd, unsigned *speed);
// Sets both speeds to `speed` (BOTHER); false with errno set on failure.
bool SetTtySpeed(int fd, unsigned speed);

}  // namespace platform::posix
