// The port list: how the window learns which serial ports the system has and
// which device path a listed name stands for.
//
// The system's list is read through TRegistry, shaped after the Windows
// registry key the ports are registered under. On Windows it is the real
// registry; on Linux a device scan presents the same key (see
// posix/serial_devices.h), with each value's name and data being the device
// path. That way the window reads ports one way on every platform, and only
// the naming rule differs:
//
// - Windows (ComNameSource): the list shows names such as "COM3", and the
//   two "\\.\com" rules below turn a shown name into a device path.
// - Linux (DevicePathSource): the list shows device paths such as
//   "/dev/ttyUSB0", which are opened as shown; the rules do not apply.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/rtl.h"

namespace app {

// The registry value types (the system's REG_* codes) the reader tells apart.
constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;

// The key under HKEY_LOCAL_MACHINE where the system registers its serial ports.
extern const char kSerialCommKey[];

// A registry accessor rooted at HKEY_LOCAL_MACHINE with at most one key open.
class TRegistry {
 public:
  virtual ~TRegistry() = default;
  // Opens `key` without write access. False when it is missing or refused.
  virtual bool OpenKeyReadOnly(const std::string &key) = 0;
  // The name of the value at `index` of the open key, in the registry's own
  // enumeration order. False past the last value, or with no key open.
  virtual bool EnumValueName(std::uint32_t index, std::string &name) = 0;
  // The type (a REG_* code) and raw data of a value of the open key. False
  // when the value cannot be read.
  virtual bool QueryValue(const std::string &name, std::uint32_t &type, std::string &data) = 0;
  // Closes the open key; nothing when none is open.
  virtual void CloseKey() = 0;
};

using RegistryFactory = std::function<std::unique_ptr<TRegistry>()>;

// Where the window's port list comes from, and how a listed name becomes
// the device path the port component opens.
struct PortSource {
  RegistryFactory CreateRegistry;
  // The path for the name selected at start, and for a name the user picks.
  std::function<std::string(const std::string &)> PathAtStart;
  std::function<std::string(const std::string &)> PathOnPick;
};

// Windows port names ("COM3"): the two "\\.\com" rules below.
PortSource ComNameSource(RegistryFactory createRegistry);
// Device paths ("/dev/ttyUSB0"): opened as shown.
PortSource DevicePathSource(RegistryFactory createRegistry);

// This platform's port source (defined in the platform's backend folder).
PortSource DefaultPortSource();

// A registry value that cannot serve as a port name.
class ERegistryError : public platform::Exception {
 public:
  using platform::Exception::Exception;
};

// The start-up rule: every "COM" removed and "\\.\com" put in front, so a
// name without "COM" gets the prefix too. Case-sensitive.
std::string ComPathAtStart(const std::string &shown);
// The pick rule: every "COM" replaced by "\\.\com"; a name without "COM"
// passes unchanged. Case-sensitive.
std::string ComPathOnPick(const std::string &shown);

// The data of a string or expandable-string value, taken as stored (no
// expansion) and cut at its first zero. Any other type, or a value that
// cannot be read, throws ERegistryError.
std::string ReadStringValue(TRegistry &reg, const std::string &name);

enum class PortListResult { Empty, Listed, Failed };

// Reads the registered ports: creates an accessor, opens kSerialCommKey
// read-only (a missing key simply lists nothing), lists the value names in
// enumeration order and hands each value's string data to `addItem`, in that
// order. When at least one name was listed, `afterListed` runs last. A
// failure at any of these steps skips the rest. Clean-up always runs, in this
// order: the name list is released, the key closed, the accessor released.
// Returns Empty when no value was listed, Failed after a failure (items
// already added stay added), Listed otherwise.
PortListResult ReadRegisteredPorts(const RegistryFactory &createRegistry,
                                   const std::function<void(const std::string &)> &addItem,
                                   const std::function<void()> &afterListed);

}  // namespace app
