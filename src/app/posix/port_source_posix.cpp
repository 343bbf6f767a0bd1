// Linux: the port list is the system's serial devices, shown and opened by
// their paths (see serial_devices.h).
#include <cstdlib>

#include "app/ports.h"
#include "app/posix/serial_devices.h"

namespace app {

PortSource DefaultPortSource() {
  return DevicePathSource([] {
    const char *extra = std::getenv("TESSAVO_EXTRA_PORTS");
    return posix::CreateDeviceRegistry(posix::ScanRoots{}, extra != nullptr ? extra : "");
  });
}

}  // namespace app
