// The window with a real serial line (a pseudo-terminal on Linux): opening
// and closing through the button caption, failures in the window's words, and
// line settings as the device receives them.
#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>

#include "fake_registry.h"
#include "line_probe.h"
#include "platform/forwarding_api.h"
#include "test_port.h"
#include "window_fixture.h"

namespace app {
namespace {

using namespace forms;  // MB_* are macros on Windows and constants here

const char kMissingPort[] = "/nonexistent/tessavo-tty0";
const char kNotOpened[] = "The port does not exist or occupied";

// Passes every call on, and keeps the line settings and device opens the
// window's port component asked for.
class RecordingApi : public platform::ForwardingOsApi {
 public:
  BOOL SetCommState(HANDLE file, DCB *dcb) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      states_.push_back(*dcb);
    }
    return ForwardingOsApi::SetCommState(file, dcb);
  }
  HANDLE CreateFileA(const char *fileName, DWORD desiredAccess, DWORD shareMode,
                     void *securityAttributes, DWORD creationDisposition, DWORD flags,
                     HANDLE templateFile) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      opened_.push_back(fileName);
    }
    return ForwardingOsApi::CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                                        creationDisposition, flags, templateFile);
  }
  std::vector<DCB> States() {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_;
  }
  std::vector<std::string> Opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
  }

 private:
  std::mutex mutex_;
  std::vector<DCB> states_;
  std::vector<std::string> opened_;
};

class PortWindowTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    if (!TestPort::Available()) GTEST_SKIP() << "no serial pair on this machine";
    port_ = std::make_unique<TestPort>();
    ASSERT_TRUE(port_->Ok());
    probe_ = std::make_unique<LineProbe>(port_->DevicePath());
    forms::Application->SetApi(api_);
    data_.values = {{"good", kRegSz, port_->DevicePath()}, {"missing", kRegSz, kMissingPort}};
  }
  void TearDown() override {
    WindowTest::TearDown();  // the window goes first: it still uses the port and the api
    probe_.reset();
    port_.reset();
  }

  TfrmMain &NewWindow() { return Create(DevicePathSource(data_.Factory())); }
  bool IsOpen(TfrmMain &w) const { return w.ComPort->DeviceHandle() != nullptr; }

  RecordingApi api_;
  FakeRegistryData data_;
  std::unique_ptr<TestPort> port_;
  std::unique_ptr<LineProbe> probe_;
};

TEST_F(PortWindowTest, TheCaptionFollowsOpeningAndClosing) {
  TfrmMain &w = NewWindow();
  EXPECT_EQ(w.ComPort->CommName(), port_->DevicePath());

  for (int round = 0; round < 2; ++round) {
    w.btnOpenClose->UserClick();
    EXPECT_EQ(w.btnOpenClose->Caption(), "&Close Com");
    EXPECT_TRUE(IsOpen(w));
    w.btnOpenClose->UserClick();
    EXPECT_EQ(w.btnOpenClose->Caption(), "&Open Com");
    EXPECT_FALSE(IsOpen(w));
  }
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(api_.Opened(), std::vector<std::string>(2, port_->DevicePath()));
}

TEST_F(PortWindowTest, AFailedOpenShowsOneBoxAndStaysClosed) {
  TfrmMain &w = NewWindow();
  w.cbCom->UserSelect(1);
  EXPECT_EQ(w.ComPort->CommName(), kMissingPort);
  w.btnOpenClose->UserClick();

  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].Text, kNotOpened);
  EXPECT_EQ(Boxes()[0].Caption, "The system prompts");
  EXPECT_EQ(Boxes()[0].Flags, static_cast<unsigned>(MB_ICONINFORMATION));
  EXPECT_EQ(w.btnOpenClose->Caption(), "&Open Com");
  EXPECT_FALSE(IsOpen(w));

  // Nothing of the failure is left behind: the good port opens.
  w.cbCom->UserSelect(0);
  w.btnOpenClose->UserClick();
  EXPECT_EQ(w.btnOpenClose->Caption(), "&Close Com");
  EXPECT_EQ(Boxes().size(), 1u);
  w.btnOpenClose->UserClick();
}

TEST_F(PortWindowTest, APickWhileOpenTakesEffectAtTheNextOpening) {
  TfrmMain &w = NewWindow();
  w.btnOpenClose->UserClick();
  const HANDLE device = w.ComPort->DeviceHandle();
  ASSERT_NE(device, nullptr);

  w.cbCom->UserSelect(1);
  EXPECT_EQ(w.ComPort->CommName(), kMissingPort);
  EXPECT_EQ(w.ComPort->DeviceHandle(), device);
  EXPECT_EQ(w.btnOpenClose->Caption(), "&Close Com");
  EXPECT_TRUE(port_->PeerWrite("x", 1));  // the line still works

  w.btnOpenClose->UserClick();
  w.btnOpenClose->UserClick();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].Text, kNotOpened);
  EXPECT_EQ(api_.Opened().back(), kMissingPort);
}

TEST_F(PortWindowTest, ClosingTheWindowClosesAnOpenPort) {
  TfrmMain &w = NewWindow();
  w.btnOpenClose->UserClick();
  ASSERT_TRUE(IsOpen(w));
  w.Show();
  EXPECT_TRUE(w.UserClose());
  EXPECT_FALSE(IsOpen(w));
  EXPECT_EQ(w.btnOpenClose->Caption(), "&Open Com");
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(PortWindowTest, ClosingTheWindowNeverOpensAClosedPort) {
  for (int selected : {0, 1}) {  // a port that would open, and one that would not
    TfrmMain &w = NewWindow();
    w.cbCom->UserSelect(selected);
    w.Show();
    EXPECT_TRUE(w.UserClose());
    EXPECT_FALSE(IsOpen(w));
    EXPECT_EQ(w.btnOpenClose->Caption(), "&Open Com");
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(api_.Opened().empty());
    forms::Application->DestroyForms();
  }
}

TEST_F(PortWindowTest, StopBitTwoAsksForTwoStopBits) {
  TfrmMain &w = NewWindow();
  w.cbStop->UserSelect(1);  // while closed: stored for the opening
  EXPECT_EQ(w.ComPort->StopBits(), comm::TStopBits::_2);
  w.btnOpenClose->UserClick();
  ASSERT_FALSE(api_.States().empty());
  EXPECT_EQ(api_.States().back().StopBits, TWOSTOPBITS);
  if (probe_->Ok()) {
    EXPECT_TRUE(probe_->TwoStopBits());
  }

  w.cbStop->UserSelect(0);  // while open: applied at once
  EXPECT_EQ(w.ComPort->StopBits(), comm::TStopBits::_1);
  EXPECT_EQ(api_.States().back().StopBits, ONESTOPBIT);
  if (probe_->Ok()) {
    EXPECT_FALSE(probe_->TwoStopBits());
  }

  w.cbStop->UserSelect(1);
  EXPECT_EQ(api_.States().back().StopBits, TWOSTOPBITS);
  if (probe_->Ok()) {
    EXPECT_TRUE(probe_->TwoStopBits());
  }
  w.btnOpenClose->UserClick();
}

TEST_F(PortWindowTest, AParityPickedWhileOpenReachesTheLineAtOnce) {
  TfrmMain &w = NewWindow();
  w.btnOpenClose->UserClick();
  ASSERT_FALSE(api_.States().empty());
  EXPECT_EQ(api_.States().back().Parity, NOPARITY);

  // A pseudo-terminal may refuse parity; what the window asked for is what counts.
  const std::pair<int, BYTE> picks[] = {
      {2, EVENPARITY}, {1, ODDPARITY}, {3, MARKPARITY}, {4, SPACEPARITY}, {0, NOPARITY}};
  for (const auto &[position, code] : picks) {
    const std::size_t before = api_.States().size();
    w.cbParity->UserSelect(position);
    EXPECT_EQ(w.ComPort->Parity(), static_cast<comm::TParity>(position));
    ASSERT_EQ(api_.States().size(), before + 1) << position;
    EXPECT_EQ(api_.States().back().Parity, code) << position;
  }
  EXPECT_EQ(w.memLog->Text(), "");  // a refusal by the device is not reported
  w.btnOpenClose->UserClick();
}

TEST_F(PortWindowTest, TheBaudRateReachesTheLineOnOpenAndOnChange) {
  TfrmMain &w = NewWindow();
  w.btnOpenClose->UserClick();
  ASSERT_FALSE(api_.States().empty());
  const DCB opened = api_.States().back();
  EXPECT_EQ(opened.BaudRate, 9600u);
  EXPECT_EQ(opened.ByteSize, 8);
  EXPECT_EQ(opened.Parity, NOPARITY);
  EXPECT_EQ(opened.StopBits, ONESTOPBIT);
  EXPECT_EQ(opened.fOutxCtsFlow, 0u);
  EXPECT_EQ(opened.fOutX, 0u);
  if (probe_->Ok()) {
    EXPECT_EQ(probe_->Baud(), 9600u);
    EXPECT_FALSE(probe_->TwoStopBits());
  }

  w.cbBaudRate->UserSelect(8);
  EXPECT_EQ(api_.States().back().BaudRate, 115200u);
  if (probe_->Ok()) {
    EXPECT_EQ(probe_->Baud(), 115200u);
  }
  // The rate already set applies nothing.
  const std::size_t applied = api_.States().size();
  w.cbBaudRate->UserSelect(8);
  EXPECT_EQ(api_.States().size(), applied);

  // Chosen while closed, a rate waits for the next opening.
  w.btnOpenClose->UserClick();
  w.cbBaudRate->UserSelect(2);
  EXPECT_EQ(w.ComPort->BaudRate(), 4800u);
  w.btnOpenClose->UserClick();
  EXPECT_EQ(api_.States().back().BaudRate, 4800u);
  if (probe_->Ok()) {
    EXPECT_EQ(probe_->Baud(), 4800u);
  }
  w.btnOpenClose->UserClick();
  EXPECT_TRUE(Boxes().empty());
}

// No device needed: each failing setting handler adds its own line to the log.
TEST_F(WindowTest, EachFailedSettingAddsALineOfItsOwn) {
  FakeRegistryData data;
  data.values = {{"a", kRegSz, "COM1"}, {"b", kRegSz, "COM2"}};
  PortSource source = ComNameSource(data.Factory());
  source.PathOnPick = [](const std::string &) -> std::string {
    throw std::length_error("name too long");
  };
  TfrmMain &w = Create(source);
  const std::string path = w.ComPort->CommName();
  // Received text that does not end its line.
  w.memLog->Append("partial");

  w.cbBaudRate->Items().Add("fast");
  w.cbBaudRate->UserSelect(w.cbBaudRate->Items().Count() - 1);
  w.cbStop->Items().Add("1.5");
  w.cbStop->UserSelect(2);
  w.cbParity->Items().Add("Block");
  w.cbParity->UserSelect(5);
  w.cbCom->UserSelect(1);

  EXPECT_EQ(
      w.memLog->Lines().ToVector(),
      (std::vector<std::string>{"partial", "Set the baud rate failed!", "Set stop bit failed!",
                                "Set parity bit failed!", "Set the serial number failed!"}));
  EXPECT_EQ(w.ComPort->BaudRate(), 9600u);
  EXPECT_EQ(w.ComPort->StopBits(), comm::TStopBits::_1);
  EXPECT_EQ(w.ComPort->Parity(), comm::TParity::None);
  EXPECT_EQ(w.ComPort->CommName(), path);
  EXPECT_TRUE(Boxes().empty());
}

}  // namespace
}  // namespace app
