// The Linux port list, scanned from a made-up /sys and /dev tree.
#include "app/posix/serial_devices.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace app::posix {
namespace {

class SerialDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tessavo-devscan-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    roots_.Sys = (root_ / "sys").string();
    roots_.Dev = (root_ / "dev").string();
    fs::create_directories(root_ / "sys/class/tty");
    fs::create_directories(root_ / "dev");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // A tty class entry; `type` empty means no type attribute.
  void SysTty(const std::string &name, bool device, const std::string &type) {
    const fs::path dir = root_ / "sys/class/tty" / name;
    fs::create_directories(dir);
    if (device) fs::create_directories(dir / "device");
    if (!type.empty()) std::ofstream(dir / "type") << type << "\n";
  }
  void DevNode(const std::string &relative) {
    const fs::path p = root_ / "dev" / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p).put('\0');
  }
  void DevLink(const std::string &relative, const std::string &target) {
    const fs::path p = root_ / "dev" / relative;
    fs::create_directories(p.parent_path());
    fs::create_symlink(target, p);
  }
  std::string Dev(const std::string &relative) const { return (root_ / "dev" / relative).string(); }

  fs::path root_;
  ScanRoots roots_;
};

TEST_F(SerialDevices, ListsRealDevicesGroupedAndInNaturalOrder) {
  SysTty("ttyS0", true, "4");
  SysTty("ttyS1", true, "0");  // placeholder of a port the machine does not have
  SysTty("ttyS2", true, "4");
  SysTty("ttyS10", true, "4");
  SysTty("ttyS3", true, "4");  // no device node: not listed
  SysTty("ttyAMA0", true, "");
  SysTty("tty0", false, "");    // a virtual console
  SysTty("ttyUSB0", true, "");  // listed with the USB group, not twice
  for (const char *n : {"ttyS0", "ttyS1", "ttyS2", "ttyS10", "ttyAMA0", "tty0", "ttyUSB10",
                        "ttyUSB0", "ttyUSB2", "ttyACM0", "rfcomm1", "ptmx", "console"}) {
    DevNode(n);
  }
  DevLink("serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB0");
  DevLink("serial/by-id/usb-FTDI_FT232R-if00-port0", "../../ttyUSB0");
  DevLink("serial/by-id/usb-Dangling-if00", "../../ttyUSB9");

  const std::vector<std::string> expected = {
      Dev("ttyAMA0"),
      Dev("ttyS0"),
      Dev("ttyS2"),
      Dev("ttyS10"),
      Dev("ttyUSB0"),
      Dev("ttyUSB2"),
      Dev("ttyUSB10"),
      Dev("ttyACM0"),
      Dev("rfcomm1"),
      Dev("serial/by-id/usb-Dangling-if00"),
      Dev("serial/by-id/usb-FTDI_FT232R-if00-port0"),
      Dev("serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0")};
  EXPECT_EQ(ListSerialDevices(roots_, ""), expected);
}

TEST_F(SerialDevices, ExtraPortsComeFirstInTheirOwnOrderOnce) {
  DevNode("ttyUSB0");
  DevNode("ttyUSB1");
  const std::string extra = "/tmp/sim-b::" + Dev("ttyUSB1") + ":/tmp/sim-a:/tmp/sim-b:";
  EXPECT_EQ(ListSerialDevices(roots_, extra),
            (std::vector<std::string>{"/tmp/sim-b", Dev("ttyUSB1"), "/tmp/sim-a", Dev("ttyUSB0")}));
}

TEST_F(SerialDevices, MissingTreesListNothing) {
  ScanRoots nowhere{(root_ / "no-sys").string(), (root_ / "no-dev").string()};
  EXPECT_TRUE(ListSerialDevices(nowhere, "").empty());
}

TEST_F(SerialDevices, TheRegistryViewShowsEachPathAsNameAndString) {
  DevNode("ttyACM0");
  std::unique_ptr<TRegistry> reg = CreateDeviceRegistry(roots_, "/tmp/sim");
  std::string name;
  EXPECT_FALSE(reg->EnumValueName(0, name));  // no key open yet
  EXPECT_FALSE(reg->OpenKeyReadOnly("hardware\\devicemap\\other"));
  ASSERT_TRUE(reg->OpenKeyReadOnly("HARDWARE\\DEVICEMAP\\SERIALCOMM"));

  std::vector<std::string> items;
  PortListResult result =
      ReadRegisteredPorts([&] { return CreateDeviceRegistry(roots_, "/tmp/sim"); },
                          [&](const std::string &item) { items.push_back(item); }, [] {});
  EXPECT_EQ(result, PortListResult::Listed);
  EXPECT_EQ(items, (std::vector<std::string>{"/tmp/sim", Dev("ttyACM0")}));

  std::uint32_t type = kRegNone;
  std::string data;
  EXPECT_FALSE(reg->QueryValue("/dev/not-listed", type, data));
  reg->CloseKey();
  EXPECT_FALSE(reg->EnumValueName(0, name));
}

TEST_F(SerialDevices, TheDefaultSourceAddsSimulatedPortsFromTheEnvironment) {
  const std::string sim = Dev("sim-port");
  const char *old = getenv("TESSAVO_EXTRA_PORTS");
  const std::string saved = old != nullptr ? old : "";
  setenv("TESSAVO_EXTRA_PORTS", sim.c_str(), 1);
  std::vector<std::string> items;
  const PortSource source = DefaultPortSource();
  const PortListResult result = ReadRegisteredPorts(
      source.CreateRegistry, [&](const std::string &item) { items.push_back(item); }, [] {});
  if (old != nullptr) {
    setenv("TESSAVO_EXTRA_PORTS", saved.c_str(), 1);
  } else {
    unsetenv("TESSAVO_EXTRA_PORTS");
  }
  EXPECT_EQ(result, PortListResult::Listed);
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(items.front(), sim);  // before whatever this machine really has
  EXPECT_EQ(source.PathAtStart(sim), sim);
  EXPECT_EQ(source.PathOnPick(sim), sim);
}

TEST(NaturalOrder, DigitRunsCompareByValue) {
  EXPECT_TRUE(NaturalLess("ttyS9", "ttyS10"));
  EXPECT_FALSE(NaturalLess("ttyS10", "ttyS9"));
  EXPECT_TRUE(NaturalLess("ttyS1", "ttyS1a"));
  EXPECT_TRUE(NaturalLess("a2b9", "a2b10"));
  EXPECT_TRUE(NaturalLess("ttyACM0", "ttyS0"));
  EXPECT_FALSE(NaturalLess("x", "x"));
  // Equal values with different leading zeros still order one way only.
  EXPECT_NE(NaturalLess("a01", "a1"), NaturalLess("a1", "a01"));
}

}  // namespace
}  // namespace app::posix
