// A scripted registry for the port list: one key whose values are given in
// enumeration order, with a log of every call so tests can check the order of
// reads and clean-up.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/ports.h"

namespace app {

struct FakeValue {
  std::string name;
  std::uint32_t type;
  std::string data;
};

struct FakeRegistryData {
  bool keyExists = true;
  std::vector<FakeValue> values;
  std::string unreadable;  // a value name whose query fails
  std::vector<std::string> log;
  int created = 0;

  RegistryFactory Factory();
};

class FakeRegistry : public TRegistry {
 public:
  explicit FakeRegistry(FakeRegistryData &data) : data_(data) { data_.log.push_back("create"); }
  ~FakeRegistry() override { data_.log.push_back("destroy"); }

  bool OpenKeyReadOnly(const std::string &key) override {
    data_.log.push_back("open " + key);
    open_ = data_.keyExists && key == kSerialCommKey;
    return open_;
  }
  bool EnumValueName(std::uint32_t index, std::string &name) override {
    data_.log.push_back("enum " + std::to_string(index));
    if (!open_ || index >= data_.values.size()) return false;
    name = data_.values[index].name;
    return true;
  }
  bool QueryValue(const std::string &name, std::uint32_t &type, std::string &data) override {
    data_.log.push_back("query " + name);
    if (!open_ || name == data_.unreadable) return false;
    auto it = std::find_if(data_.values.begin(), data_.values.end(),
                           [&](const FakeValue &v) { return v.name == name; });
    if (it == data_.values.end()) return false;
    type = it->type;
    data = it->data;
    return true;
  }
  void CloseKey() override {
    data_.log.push_back("close");
    open_ = false;
  }

 private:
  FakeRegistryData &data_;
  bool open_ = false;
};

inline RegistryFactory FakeRegistryData::Factory() {
  return [this]() -> std::unique_ptr<TRegistry> {
    ++created;
    return std::make_unique<FakeRegistry>(*this);
  };
}

}  // namespace app
