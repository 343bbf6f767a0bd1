// Windows: the port list is the values under HKEY_LOCAL_MACHINE\<kSerialCommKey>,
// shown as registered ("COM3") and turned into "\\.\com3" by the path rules.
#include <windows.h>

#include <vector>

#include "app/ports.h"

namespace app {

namespace {

class Win32Registry : public TRegistry {
 public:
  ~Win32Registry() override { CloseKey(); }

  bool OpenKeyReadOnly(const std::string &key) override {
    CloseKey();
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
      return false;
    }
    key_ = opened;
    return true;
  }

  bool EnumValueName(std::uint32_t index, std::string &name) override {
    if (key_ == nullptr) return false;
    DWORD longest = 0;
    if (RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &longest, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    std::vector<char> buffer(longest + 1);
    DWORD length = static_cast<DWORD>(buffer.size());
    if (RegEnumValueA(key_, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    name.assign(buffer.data(), length);
    return true;
  }

  bool QueryValue(const std::string &name, std::uint32_t &type, std::string &data) override {
    if (key_ == nullptr) return false;
    DWORD valueType = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &valueType, nullptr, &size) !=
        ERROR_SUCCESS) {
      return false;
    }
    std::vector<BYTE> buffer(size + 1);
    DWORD got = size;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &valueType, buffer.data(), &got) !=
        ERROR_SUCCESS) {
      return false;
    }
    type = valueType;
    data.assign(reinterpret_cast<const char *>(buffer.data()), got);
    return true;
  }

  void CloseKey() override {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

PortSource DefaultPortSource() {
  return ComNameSource([] { return std::make_unique<Win32Registry>(); });
}

}  // namespace app
