// The port list's pure parts: the two path rules and the registry reader.
#include "app/ports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "fake_registry.h"

namespace app {
namespace {

const std::string P = "\\\\.\\com";  // the seven-character prefix

TEST(PathRules, StartRuleRemovesEveryComAndAlwaysPrefixes) {
  EXPECT_EQ(ComPathAtStart("COM3"), P + "3");
  EXPECT_EQ(ComPathAtStart("COM12"), P + "12");
  EXPECT_EQ(ComPathAtStart("COMCOM1"), P + "1");
  EXPECT_EQ(ComPathAtStart("xCOMyCOMz"), P + "xyz");
  // Only the upper-case letters match.
  EXPECT_EQ(ComPathAtStart("com3"), P + "com3");
  EXPECT_EQ(ComPathAtStart("Com3"), P + "Com3");
  // A name without "COM" still gets the prefix.
  EXPECT_EQ(ComPathAtStart("/dev/ttyUSB0"), P + "/dev/ttyUSB0");
  EXPECT_EQ(ComPathAtStart(""), P);
  // One pass: what the removal joins is not removed again.
  EXPECT_EQ(ComPathAtStart("CCOMOM"), P + "COM");
}

TEST(PathRules, PickRuleReplacesEveryComAndLeavesOtherNamesAlone) {
  EXPECT_EQ(ComPathOnPick("COM3"), P + "3");
  EXPECT_EQ(ComPathOnPick("xCOMyCOM"), "x" + P + "y" + P);
  EXPECT_EQ(ComPathOnPick("com3"), "com3");
  EXPECT_EQ(ComPathOnPick("/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(ComPathOnPick(""), "");
  // The inserted prefix holds "com" in lower case, so it is not matched again.
  EXPECT_EQ(ComPathOnPick("COMCOM"), P + P);
}

TEST(PathRules, BothRulesAgreeOnComAndDigits) {
  for (const std::string name : {"COM1", "COM9", "COM10", "COM255"}) {
    EXPECT_EQ(ComPathAtStart(name), ComPathOnPick(name)) << name;
  }
  EXPECT_NE(ComPathAtStart("USB0"), ComPathOnPick("USB0"));
}

TEST(PathRules, EachSourceNamesItsPortsItsOwnWay) {
  const PortSource paths = DevicePathSource(nullptr);
  for (const std::string name : {"/dev/ttyUSB0", "/tmp/COM5", ""}) {
    EXPECT_EQ(paths.PathAtStart(name), name);
    EXPECT_EQ(paths.PathOnPick(name), name);
  }
  const PortSource com = ComNameSource(nullptr);
  EXPECT_EQ(com.PathAtStart("COM7"), P + "7");
  EXPECT_EQ(com.PathAtStart("/tmp/x"), P + "/tmp/x");
  EXPECT_EQ(com.PathOnPick("/tmp/COM5"), "/tmp/" + P + "5");
}

struct ReadResult {
  PortListResult result;
  std::vector<std::string> items;
  int afterListedRuns = 0;
};

ReadResult Read(FakeRegistryData &data) {
  ReadResult r;
  r.result = ReadRegisteredPorts(
      data.Factory(), [&](const std::string &item) { r.items.push_back(item); },
      [&] { ++r.afterListedRuns; });
  return r;
}

TEST(RegistryReader, NoKeyListsNothingAndCleansUp) {
  FakeRegistryData data;
  data.keyExists = false;
  ReadResult r = Read(data);
  EXPECT_EQ(r.result, PortListResult::Empty);
  EXPECT_TRUE(r.items.empty());
  EXPECT_EQ(r.afterListedRuns, 0);
  EXPECT_EQ(data.log, (std::vector<std::string>{"create", "open " + std::string(kSerialCommKey),
                                                "enum 0", "close", "destroy"}));
}

TEST(RegistryReader, KeyWithoutValuesListsNothing) {
  FakeRegistryData data;
  ReadResult r = Read(data);
  EXPECT_EQ(r.result, PortListResult::Empty);
  EXPECT_TRUE(r.items.empty());
  EXPECT_EQ(r.afterListedRuns, 0);
}

TEST(RegistryReader, ListsTheDataInEnumerationOrderNotTheNames) {
  FakeRegistryData data;
  data.values = {{"\\Device\\Serial1", kRegSz, std::string("COM3\0", 5)},
                 {"\\Device\\Serial0", kRegSz, std::string("COM1\0", 5)}};
  ReadResult r = Read(data);
  EXPECT_EQ(r.result, PortListResult::Listed);
  EXPECT_EQ(r.items, (std::vector<std::string>{"COM3", "COM1"}));
  EXPECT_EQ(r.afterListedRuns, 1);
  // Every name is listed before any data is read; clean-up closes then releases.
  const std::vector<std::string> expected = {"create",
                                             "open " + std::string(kSerialCommKey),
                                             "enum 0",
                                             "enum 1",
                                             "enum 2",
                                             "query \\Device\\Serial1",
                                             "query \\Device\\Serial0",
                                             "close",
                                             "destroy"};
  EXPECT_EQ(data.log, expected);
}

TEST(RegistryReader, StringDataIsCutAtItsFirstZeroAndNeverExpanded) {
  FakeRegistryData data;
  data.values = {{"a", kRegSz, std::string("COM4\0junk", 9)},
                 {"b", kRegExpandSz, std::string("%SystemRoot%COM5", 16)},
                 {"c", kRegSz, std::string("", 0)},
                 {"d", kRegSz, std::string("\0COM6", 5)},
                 {"e", kRegSz, std::string("COM7", 4)}};
  ReadResult r = Read(data);
  EXPECT_EQ(r.result, PortListResult::Listed);
  EXPECT_EQ(r.items, (std::vector<std::string>{"COM4", "%SystemRoot%COM5", "", "", "COM7"}));
}

TEST(RegistryReader, ANonStringValueFailsThereAndKeepsEarlierItems) {
  for (std::uint32_t badType : {kRegDword, kRegBinary, kRegNone, 7u /* multi-string */}) {
    FakeRegistryData data;
    data.values = {{"a", kRegSz, "COM1"}, {"b", badType, "\x05\0\0\0"}, {"c", kRegSz, "COM3"}};
    ReadResult r = Read(data);
    EXPECT_EQ(r.result, PortListResult::Failed) << badType;
    EXPECT_EQ(r.items, std::vector<std::string>{"COM1"}) << badType;
    EXPECT_EQ(r.afterListedRuns, 0);
    ASSERT_GE(data.log.size(), 2u);
    EXPECT_EQ(data.log[data.log.size() - 2], "close");
    EXPECT_EQ(data.log.back(), "destroy");
    EXPECT_EQ(std::count(data.log.begin(), data.log.end(), "query c"), 0);
  }
}

TEST(RegistryReader, AnyFailureAfterTheOpenStillCleansUp) {
  {  // a value that cannot be read
    FakeRegistryData data;
    data.values = {{"a", kRegSz, "COM1"}, {"b", kRegSz, "COM2"}};
    data.unreadable = "b";
    ReadResult r = Read(data);
    EXPECT_EQ(r.result, PortListResult::Failed);
    EXPECT_EQ(r.items, std::vector<std::string>{"COM1"});
    EXPECT_EQ(data.log.back(), "destroy");
  }
  {  // the caller's own step fails
    FakeRegistryData data;
    data.values = {{"a", kRegSz, "COM1"}};
    PortListResult result = ReadRegisteredPorts(
        data.Factory(), [](const std::string &) {},
        [] { throw std::runtime_error("select failed"); });
    EXPECT_EQ(result, PortListResult::Failed);
    EXPECT_EQ(data.log.back(), "destroy");
    EXPECT_EQ(data.log[data.log.size() - 2], "close");
  }
  {  // no accessor at all
    PortListResult result = ReadRegisteredPorts(
        []() -> std::unique_ptr<TRegistry> { throw std::runtime_error("no registry"); },
        [](const std::string &) {}, [] {});
    EXPECT_EQ(result, PortListResult::Failed);
  }
}

}  // namespace
}  // namespace app
