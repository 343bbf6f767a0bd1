// The serial ports of a Linux system, presented as the registry key the window
// reads its port list from.
//
// Listed, each group in natural order ("ttyS2" before "ttyS10"):
//   0. first, the paths in the environment variable TESSAVO_EXTRA_PORTS,
//      separated by ":", in their own order, whether or not they exist yet.
//      This is how a simulated port (a pseudo-terminal link) joins the list;
//      the first of them is the port selected at start.
//   1. hardware UARTs that really exist: every /sys/class/tty/<name> with a
//      device link whose UART type is not 0 (unknown); the 8250 driver keeps
//      placeholders of type 0 for ports the machine does not have. USB and
//      ACM adapters come in their own groups;
//   2. /dev/ttyUSB*   3. /dev/ttyACM*   4. /dev/rfcomm*
//   5. the links in /dev/serial/by-id   6. the links in /dev/serial/by-path
// A path already listed is not listed again. Each port is shown and opened by
// its device path.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/ports.h"

namespace app::posix {

struct ScanRoots {
  std::string Sys = "/sys";
  std::string Dev = "/dev";
};

// The device paths, in list order. `extraPorts` is the TESSAVO_EXTRA_PORTS text.
std::vector<std::string> ListSerialDevices(const ScanRoots &roots, const std::string &extraPorts);

// "a10" after "a9": runs of digits compare by value.
bool NaturalLess(const std::string &a, const std::string &b);

// A read-only registry with one key, kSerialCommKey, whose values are the
// devices ListSerialDevices finds when the key is opened: each value's name
// and string data are the device path.
std::unique_ptr<TRegistry> CreateDeviceRegistry(const ScanRoots &roots,
                                                const std::string &extraPorts);

}  // namespace app::posix
