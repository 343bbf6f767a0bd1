#include "app/posix/serial_devices.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace app::posix {

namespace {

bool StartsWith(const std::string &s, const std::string &prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Names of the entries of `dir` (links included, whatever they point to).
std::vector<std::string> EntryNames(const fs::path &dir) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return names;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

bool Exists(const fs::path &p) {
  std::error_code ec;
  return fs::exists(p, ec);
}

// A hardware UART: bound to a device, and not a placeholder of unknown type.
bool IsRealUart(const fs::path &ttyDir) {
  if (!Exists(ttyDir / "device")) return false;
  std::ifstream typeFile(ttyDir / "type");
  if (!typeFile) return true;  // drivers without the attribute list only real ports
  long type = 0;
  if (!(typeFile >> type)) return false;
  return type != 0;
}

void AddUnique(std::vector<std::string> &list, const std::string &path) {
  if (path.empty()) return;
  if (std::find(list.begin(), list.end(), path) == list.end()) list.push_back(path);
}

class DeviceRegistry : public TRegistry {
 public:
  DeviceRegistry(ScanRoots roots, std::string extra)
      : roots_(std::move(roots)), extra_(std::move(extra)) {}

  bool OpenKeyReadOnly(const std::string &key) override {
    CloseKey();
    if (!SameKey(key, kSerialCommKey)) return false;
    devices_ = ListSerialDevices(roots_, extra_);
    open_ = true;
    return true;
  }

  bool EnumValueName(std::uint32_t index, std::string &name) override {
    if (!open_ || index >= devices_.size()) return false;
    name = devices_[index];
    return true;
  }

  bool QueryValue(const std::string &name, std::uint32_t &type, std::string &data) override {
    if (!open_ || std::find(devices_.begin(), devices_.end(), name) == devices_.end()) {
      return false;
    }
    type = kRegSz;
    data = name;
    return true;
  }

  void CloseKey() override {
    open_ = false;
    devices_.clear();
  }

 private:
  // Registry key names ignore case.
  static bool SameKey(const std::string &a, const std::string &b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
             return std::tolower(x) == std::tolower(y);
           });
  }

  ScanRoots roots_;
  std::string extra_;
  std::vector<std::string> devices_;
  bool open_ = false;
};

}  // namespace

bool NaturalLess(const std::string &a, const std::string &b) {
  std::size_t i = 0;
  std::size_t j = 0;
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ei = i;
      std::size_t ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      // Compare the values without leading zeros: longer means larger.
      std::size_t si = a.find_first_not_of('0', i);
      std::size_t sj = b.find_first_not_of('0', j);
      si = std::min(si, ei);
      sj = std::min(sj, ej);
      const std::size_t li = ei - si;
      const std::size_t lj = ej - sj;
      if (li != lj) return li < lj;
      const int c = a.compare(si, li, b, sj, lj);
      if (c != 0) return c < 0;
      if (ei - i != ej - j) return ei - i < ej - j;  // fewer leading zeros first
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

std::vector<std::string> ListSerialDevices(const ScanRoots &roots, const std::string &extraPorts) {
  const fs::path dev(roots.Dev);
  const fs::path ttyClass = fs::path(roots.Sys) / "class" / "tty";
  std::vector<std::string> list;

  // Ports named by the user come first, so the one asked for is selected.
  std::size_t from = 0;
  while (from <= extraPorts.size()) {
    std::size_t to = extraPorts.find(':', from);
    if (to == std::string::npos) to = extraPorts.size();
    AddUnique(list, extraPorts.substr(from, to - from));
    from = to + 1;
  }
  for (const std::string &name : EntryNames(ttyClass)) {
    if (StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM")) continue;
    if (IsRealUart(ttyClass / name) && Exists(dev / name)) AddUnique(list, (dev / name).string());
  }
  const std::vector<std::string> devNames = EntryNames(dev);
  for (const char *prefix : {"ttyUSB", "ttyACM", "rfcomm"}) {
    for (const std::string &name : devNames) {
      if (StartsWith(name, prefix)) AddUnique(list, (dev / name).string());
    }
  }
  for (const char *sub : {"by-id", "by-path"}) {
    const fs::path dir = dev / "serial" / sub;
    for (const std::string &name : EntryNames(dir)) AddUnique(list, (dir / name).string());
  }
  return list;
}

std::unique_ptr<TRegistry> CreateDeviceRegistry(const ScanRoots &roots,
                                                const std::string &extraPorts) {
  return std::make_unique<DeviceRegistry>(roots, extraPorts);
}

}  // namespace app::posix
