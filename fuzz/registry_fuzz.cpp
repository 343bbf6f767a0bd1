// The registry reader that fills the port list, over registry contents the
// fuzzer makes up, and the Linux device list presented as that registry.
//
// Checked against the reader's rules, written out again here:
// - a missing key or a key without values lists nothing (Empty);
// - values are listed in enumeration order, each as its string data cut at
//   the first zero; a value that cannot be read, a value of another type, or
//   a failure while adding stops the list there (Failed), keeping what was
//   added; the after-list step runs only when every value was listed;
// - clean-up always closes the key and then releases the accessor;
// - the device registry lists the extra ports in their order, without empty
//   or repeated ones.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/ports.h"
#include "app/posix/serial_devices.h"
#include "fake_registry.h"

namespace {

void Check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "registry_fuzz: %s\n", what);
    std::abort();
  }
}

std::string CutAtZero(const std::string &s) { return s.substr(0, s.find('\0')); }

void FuzzReader(FuzzedDataProvider &in) {
  app::FakeRegistryData reg;
  reg.keyExists = in.ConsumeBool();
  const bool factoryThrows = in.ConsumeIntegralInRange(0, 15) == 0;
  const int count = in.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < count; ++i) {
    app::FakeValue v;
    v.name = in.ConsumeRandomLengthString(16);
    v.type = in.ConsumeIntegralInRange<std::uint32_t>(0, 5);
    v.data = in.ConsumeRandomLengthString(32);
    reg.values.push_back(v);
  }
  if (count > 0 && in.ConsumeIntegralInRange(0, 7) == 0) {
    reg.unreadable = reg.values[in.ConsumeIntegralInRange(0, count - 1)].name;
  }
  const int addThrowsAt = in.ConsumeIntegralInRange(-8, 8);  // negative: never
  const bool afterThrows = in.ConsumeIntegralInRange(0, 7) == 0;

  std::vector<std::string> items;
  bool afterRan = false;
  const app::RegistryFactory factory = [&]() -> std::unique_ptr<app::TRegistry> {
    if (factoryThrows) throw std::runtime_error("no registry");
    return reg.Factory()();
  };
  const app::PortListResult result = app::ReadRegisteredPorts(
      factory,
      [&](const std::string &item) {
        if (static_cast<int>(items.size()) == addThrowsAt) throw std::runtime_error("add");
        items.push_back(item);
      },
      [&] {
        afterRan = true;
        if (afterThrows) throw std::runtime_error("after");
      });

  // What the rules say should have happened.
  std::vector<std::string> want;
  app::PortListResult expected = app::PortListResult::Listed;
  if (factoryThrows) {
    expected = app::PortListResult::Failed;
  } else if (!reg.keyExists || reg.values.empty()) {
    expected = app::PortListResult::Empty;
  } else {
    for (const app::FakeValue &listed : reg.values) {
      // A value is read by name: the first value of that name answers.
      const app::FakeValue *v = &listed;
      for (const app::FakeValue &other : reg.values) {
        if (other.name == listed.name) {
          v = &other;
          break;
        }
      }
      // The scripted registry refuses the value named `unreadable` (an
      // empty name too, while none is set).
      if (v->name == reg.unreadable) {
        expected = app::PortListResult::Failed;
        break;
      }
      if (v->type != app::kRegSz && v->type != app::kRegExpandSz) {
        expected = app::PortListResult::Failed;
        break;
      }
      if (static_cast<int>(want.size()) == addThrowsAt) {
        expected = app::PortListResult::Failed;
        break;
      }
      want.push_back(CutAtZero(v->data));
    }
    if (expected == app::PortListResult::Listed && afterThrows) {
      expected = app::PortListResult::Failed;
    }
  }
  Check(result == expected, "result");
  Check(items == want, "items listed");
  Check(afterRan == (!factoryThrows && reg.keyExists && !reg.values.empty() &&
                     want.size() == reg.values.size()),
        "the after-list step runs exactly when every value was listed");
  if (factoryThrows) {
    Check(reg.log.empty(), "no accessor, no calls");
  } else {
    Check(reg.created == 1, "one accessor");
    Check(reg.log.size() >= 3 && reg.log.front() == "create", "created first");
    Check(reg.log[reg.log.size() - 2] == "close" && reg.log.back() == "destroy",
          "closed, then released, last");
  }
}

void FuzzDeviceRegistry(FuzzedDataProvider &in) {
  // Roots that do not exist: the list is the extra ports alone.
  const app::posix::ScanRoots roots{"/nonexistent-tessavo-fuzz/sys",
                                    "/nonexistent-tessavo-fuzz/dev"};
  const std::string extra = in.ConsumeRemainingBytesAsString();
  std::vector<std::string> want;
  std::size_t from = 0;
  for (;;) {
    std::size_t to = extra.find(':', from);
    const std::string part = extra.substr(from, to == std::string::npos ? to : to - from);
    bool seen = part.empty();
    for (const std::string &w : want) seen = seen || w == part;
    if (!seen) want.push_back(part);
    if (to == std::string::npos) break;
    from = to + 1;
  }
  Check(app::posix::ListSerialDevices(roots, extra) == want, "device list");

  std::vector<std::string> items;
  int after = 0;
  const app::PortListResult result = app::ReadRegisteredPorts(
      [&] { return app::posix::CreateDeviceRegistry(roots, extra); },
      [&](const std::string &item) { items.push_back(item); }, [&] { ++after; });
  Check(result == (want.empty() ? app::PortListResult::Empty : app::PortListResult::Listed),
        "device registry result");
  std::vector<std::string> cut;
  for (const std::string &w : want) cut.push_back(CutAtZero(w));
  Check(items == cut, "device registry items");
  Check(after == (want.empty() ? 0 : 1), "after-list step once");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    FuzzReader(in);
  } else {
    FuzzDeviceRegistry(in);
  }
  return 0;
}
