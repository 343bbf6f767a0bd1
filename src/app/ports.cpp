#include "app/ports.h"

#include <utility>
#include <vector>

namespace app {

const char kSerialCommKey[] = "hardware\\devicemap\\serialcomm";

namespace {

const char kCom[] = "COM";
const char kComPrefix[] = "\\\\.\\com";

// Every occurrence of "COM", left to right without overlaps, replaced by `with`.
std::string ReplaceCom(const std::string &text, const std::string &with) {
  std::string out;
  out.reserve(text.size() + with.size());
  std::size_t from = 0;
  for (std::size_t at = text.find(kCom); at != std::string::npos; at = text.find(kCom, from)) {
    out.append(text, from, at - from);
    out += with;
    from = at + 3;
  }
  out.append(text, from, std::string::npos);
  return out;
}

}  // namespace

std::string ComPathAtStart(const std::string &shown) { return kComPrefix + ReplaceCom(shown, ""); }

std::string ComPathOnPick(const std::string &shown) { return ReplaceCom(shown, kComPrefix); }

PortSource ComNameSource(RegistryFactory createRegistry) {
  return PortSource{std::move(createRegistry), ComPathAtStart, ComPathOnPick};
}

PortSource DevicePathSource(RegistryFactory createRegistry) {
  auto asShown = [](const std::string &shown) { return shown; };
  return PortSource{std::move(createRegistry), asShown, asShown};
}

std::string ReadStringValue(TRegistry &reg, const std::string &name) {
  std::uint32_t type = kRegNone;
  std::string data;
  if (!reg.QueryValue(name, type, data)) {
    throw ERegistryError("Unable to read the registry value '" + name + "'");
  }
  if (type != kRegSz && type != kRegExpandSz) {
    throw ERegistryError("Invalid data type for '" + name + "'");
  }
  const std::size_t zero = data.find('\0');
  if (zero != std::string::npos) data.resize(zero);
  return data;
}

PortListResult ReadRegisteredPorts(const RegistryFactory &createRegistry,
                                   const std::function<void(const std::string &)> &addItem,
                                   const std::function<void()> &afterListed) {
  std::unique_ptr<TRegistry> reg;
  std::unique_ptr<std::vector<std::string>> names;
  PortListResult result = PortListResult::Failed;
  try {
    reg = createRegistry();
    // A key that is missing or refused lists no values below, and that is all.
    reg->OpenKeyReadOnly(kSerialCommKey);
    names = std::make_unique<std::vector<std::string>>();
    std::string name;
    for (std::uint32_t i = 0; reg->EnumValueName(i, name); ++i) names->push_back(name);
    if (names->empty()) {
      result = PortListResult::Empty;
    } else {
      for (const std::string &value : *names) addItem(ReadStringValue(*reg, value));
      afterListed();
      result = PortListResult::Listed;
    }
  } catch (...) {
    result = PortListResult::Failed;
  }
  // Clean-up in a fixed order, whatever happened above.
  names.reset();
  if (reg) reg->CloseKey();
  reg.reset();
  return result;
}

}  // namespace app
