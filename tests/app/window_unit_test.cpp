// The window on the headless backend, without a device: start-up, the port
// list read through the registry, the Upgrade box and escaped failures.
#include <gtest/gtest.h>

#include "app/system_text.h"
#include "fake_registry.h"
#include "window_fixture.h"

namespace app {
namespace {

using namespace forms;  // MB_* are macros on Windows and constants here

const std::string P = "\\\\.\\com";
const char kInitFailed[] = "The serial port initialization configuration failed.";

TEST_F(WindowTest, StartsInItsDocumentedState) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  EXPECT_EQ(frmMain, &w);
  EXPECT_EQ(forms::Application->MainForm(), &w);
  EXPECT_EQ(w.btnOpenClose->Caption(), "&Open Com");
  EXPECT_EQ(w.memSend->Text(), "AT");
  EXPECT_EQ(w.memLog->Text(), "");
  EXPECT_EQ(w.edtAutoSend->Text(), "1000");
  EXPECT_EQ(w.cbBaudRate->Text(), "9600");
  EXPECT_EQ(w.cbParity->Text(), "None");
  EXPECT_EQ(w.cbStop->Text(), "1");
  EXPECT_EQ(w.cb40AT->Text(), "Choose");
  EXPECT_EQ(w.cb20AT->Text(), "Choose");
  EXPECT_FALSE(w.cbHEXSend->Checked());
  EXPECT_FALSE(w.cbHexDisplay->Checked());
  EXPECT_FALSE(w.cbAutoSend->Checked());
  EXPECT_TRUE(w.DoubleBuffered());
  EXPECT_TRUE(w.memLog->DoubleBuffered());
  ASSERT_EQ(w.sbTitle->Panels().Count(), 4);
  EXPECT_EQ(w.sbTitle->Panels()[0].Text(), MakerHost);
  EXPECT_EQ(w.sbTitle->Panels()[1].Text(), " Recv:0");
  EXPECT_EQ(w.sbTitle->Panels()[2].Text(), " Send:0");
  EXPECT_EQ(w.sbTitle->Panels()[3].Text(), " Korrin perfect support IOS, Android, PC");
  // The last panel reaches the right end whatever its stored width.
  EXPECT_EQ(w.sbTitle->PanelLeft(1), 160);
  EXPECT_EQ(w.sbTitle->PanelLeft(2), 280);
  EXPECT_EQ(w.sbTitle->PanelLeft(3), 400);
  EXPECT_EQ(w.sbTitle->PanelShownWidth(3), 691 - 400);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(w.ComPort->DeviceHandle(), nullptr);
}

TEST_F(WindowTest, TheStoredPortValuesReplaceTheComponentDefaults) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  comm::TComm &c = *w.ComPort;
  EXPECT_EQ(c.CommName(), "COM68");
  EXPECT_EQ(c.BaudRate(), 9600u);
  EXPECT_FALSE(c.ParityCheck());
  EXPECT_FALSE(c.Outx_CtsFlow());
  EXPECT_FALSE(c.Outx_DsrFlow());
  EXPECT_EQ(c.DtrControl(), comm::TDtrControl::DtrDisable);
  EXPECT_FALSE(c.DsrSensitivity());
  EXPECT_FALSE(c.TxContinueOnXoff());
  EXPECT_FALSE(c.Outx_XonXoffFlow());
  EXPECT_FALSE(c.Inx_XonXoffFlow());
  EXPECT_FALSE(c.ReplaceWhenParityError());
  EXPECT_FALSE(c.IgnoreNullChar());
  EXPECT_EQ(c.RtsControl(), comm::TRtsControl::RtsDisable);
  EXPECT_EQ(c.XonLimit(), 500);
  EXPECT_EQ(c.XoffLimit(), 500);
  EXPECT_EQ(c.ByteSize(), comm::TByteSize::_8);
  EXPECT_EQ(c.Parity(), comm::TParity::None);
  EXPECT_EQ(c.StopBits(), comm::TStopBits::_1);
  EXPECT_EQ(c.XonChar(), 17);
  EXPECT_EQ(c.XoffChar(), 19);
  EXPECT_EQ(c.ReplacedChar(), 0);
  EXPECT_EQ(c.ReadIntervalTimeout(), 30u);
  EXPECT_EQ(c.ReadTotalTimeoutMultiplier(), 0u);
  EXPECT_EQ(c.ReadTotalTimeoutConstant(), 0u);
  EXPECT_EQ(c.WriteTotalTimeoutMultiplier(), 0u);
  EXPECT_EQ(c.WriteTotalTimeoutConstant(), 0u);
  EXPECT_EQ(c.Owner(), &w);
}

TEST_F(WindowTest, TheListsHoldTheirItemsWithTwoFullWidthQuestionMarks) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  EXPECT_EQ(w.cbBaudRate->Items().ToVector(),
            (std::vector<std::string>{"1200", "2400", "4800", "9600", "14400", "19200", "38400",
                                      "57600", "115200", "230400"}));
  EXPECT_EQ(w.cbParity->Items().ToVector(),
            (std::vector<std::string>{"None", "Odd", "Even", "Mark", "Space"}));
  EXPECT_EQ(w.cbStop->Items().ToVector(), (std::vector<std::string>{"1", "2"}));
  ASSERT_EQ(w.cb40AT->Items().Count(), 27);
  EXPECT_EQ(w.cb40AT->Items()[11], "AT+PIO1?");
  EXPECT_EQ(w.cb40AT->Items()[26], "AT+VERR?");
  ASSERT_EQ(w.cb20AT->Items().Count(), 37);
  EXPECT_EQ(w.cb20AT->Items()[2], "AT+NAME?");
  // Stored in Unicode, shown in the system's code page (UTF-8 here, the
  // ANSI code page on Windows, which may substitute the character).
  EXPECT_EQ(w.cb20AT->Items()[13], SystemText("AT+PIO\xEF\xBC\x9F"));
  EXPECT_EQ(w.cb20AT->Items()[14], SystemText("AT+NAME\xEF\xBC\x9F"));
  EXPECT_EQ(w.cb20AT->Items()[36], "AT+COD?");
  // Every other query ends in the plain "?".
  for (int i = 0; i < w.cb20AT->Items().Count(); ++i) {
    if (i == 13 || i == 14) continue;
    EXPECT_EQ(w.cb20AT->Items()[i].find('\xEF'), std::string::npos) << i;
  }
}

TEST_F(WindowTest, NoRegisteredPortLeavesTheListEmptyAndTheButtonIdle) {
  for (bool keyExists : {false, true}) {
    FakeRegistryData data;
    data.keyExists = keyExists;
    TfrmMain &w = Create(ComNameSource(data.Factory()));
    EXPECT_EQ(w.cbCom->Items().Count(), 0);
    EXPECT_EQ(w.cbCom->ItemIndex(), -1);
    EXPECT_EQ(w.ComPort->CommName(), "COM68");
    EXPECT_TRUE(Boxes().empty());

    w.btnOpenClose->UserClick();
    EXPECT_EQ(w.btnOpenClose->Caption(), "&Open Com");
    EXPECT_EQ(w.ComPort->DeviceHandle(), nullptr);
    EXPECT_TRUE(Boxes().empty());
    forms::Application->DestroyForms();
  }
}

TEST_F(WindowTest, RegisteredPortsAreListedAndTheFirstIsChosen) {
  FakeRegistryData data;
  data.values = {{"\\Device\\Serial0", app::kRegSz, std::string("COM1\0", 5)},
                 {"\\Device\\Serial2", app::kRegSz, std::string("COM3\0", 5)}};
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  EXPECT_EQ(w.cbCom->Items().ToVector(), (std::vector<std::string>{"COM1", "COM3"}));
  EXPECT_EQ(w.cbCom->ItemIndex(), 0);
  EXPECT_EQ(w.ComPort->CommName(), P + "1");
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(data.created, 1);
  EXPECT_EQ(data.log.back(), "destroy");  // the accessor is gone once the window stands

  w.cbCom->UserSelect(1);
  EXPECT_EQ(w.ComPort->CommName(), P + "3");
  w.cbCom->UserSelect(0);
  EXPECT_EQ(w.ComPort->CommName(), P + "1");
  EXPECT_EQ(data.created, 1);  // the list is read once only
}

TEST_F(WindowTest, StartUsesTheStartRuleAndNoChangeEventRuns) {
  // For a name without "COM" the two rules differ: at start the prefix is
  // added; the pick rule would leave the name alone.
  FakeRegistryData data;
  data.values = {{"a", app::kRegSz, "USB7"}, {"b", app::kRegSz, "USB8"}};
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  EXPECT_EQ(w.ComPort->CommName(), P + "USB7");
  EXPECT_EQ(w.memLog->Text(), "");
  w.cbCom->UserSelect(1);
  EXPECT_EQ(w.ComPort->CommName(), "USB8");
}

TEST_F(WindowTest, ANonStringValueShowsOneBoxAndKeepsTheEarlierPort) {
  FakeRegistryData data;
  data.values = {{"a", app::kRegSz, "COM1"},
                 {"b", app::kRegDword, std::string("\x03\0\0\0", 4)},
                 {"c", app::kRegSz, "COM3"}};
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].Text, kInitFailed);
  EXPECT_EQ(Boxes()[0].Caption, PromptTitle);
  EXPECT_EQ(Boxes()[0].Flags, 0u);  // OK only, no icon
  EXPECT_EQ(Boxes()[0].Owner, &w);
  EXPECT_EQ(w.cbCom->Items().ToVector(), std::vector<std::string>{"COM1"});
  EXPECT_EQ(w.cbCom->ItemIndex(), -1);
  EXPECT_EQ(w.ComPort->CommName(), "COM68");
  // The registry was closed before the box came up.
  EXPECT_EQ(data.log.back(), "destroy");
  // Start-up went on.
  EXPECT_EQ(w.memSend->Text(), "AT");
  EXPECT_EQ(w.btnOpenClose->Caption(), "&Open Com");
}

TEST_F(WindowTest, UpgradeShowsTheMakersAddressAndChangesNothing) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  w.btnUpdate->UserClick();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].Text,
            "Welcome to Zelvane technology products, please visit http://www.zelvane.example for "
            "more information");
  EXPECT_EQ(Boxes()[0].Caption, "The system prompts");
  EXPECT_EQ(Boxes()[0].Flags, static_cast<unsigned>(MB_ICONINFORMATION));
  EXPECT_EQ(w.memSend->Text(), "AT");
  EXPECT_EQ(w.memLog->Text(), "");
  EXPECT_EQ(w.btnOpenClose->Caption(), "&Open Com");
  EXPECT_EQ(std::string(MakerUrl), std::string("http://") + MakerHost);
}

TEST_F(WindowTest, AnEscapedFailureIsShownUnderTheProgramsTitle) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  forms::Application->SetExeName("/opt/tessavo/TESSAVO.BIN.EXE");
  // A handler without a guard of its own, as the interval box's will be.
  w.edtAutoSend->OnChange = [&](platform::TObject *) { platform::StrToInt(w.edtAutoSend->Text()); };
  w.btnClearSend->OnClick = [](platform::TObject *) { throw platform::Exception("Line busy!"); };
  w.btnClearRecv->OnClick = [](platform::TObject *) { throw platform::Exception("code 0x2F/"); };

  w.edtAutoSend->SelectAll();
  w.edtAutoSend->UserPaste("12a");
  w.btnClearSend->UserClick();
  w.btnClearRecv->UserClick();

  ASSERT_EQ(Boxes().size(), 3u);
  for (const auto &box : Boxes()) {
    EXPECT_EQ(box.Caption, "Tessavo");
    EXPECT_EQ(box.Flags, static_cast<unsigned>(MB_ICONERROR | MB_OK));
  }
  EXPECT_EQ(Boxes()[0].Text, "'12a' is not a valid integer value.");
  EXPECT_EQ(Boxes()[1].Text, "Line busy!");   // '!' sorts before '.'
  EXPECT_EQ(Boxes()[2].Text, "code 0x2F/.");  // '/' sorts right after '.'
  // The program went on.
  EXPECT_EQ(w.edtAutoSend->Text(), "12a");
}

}  // namespace
}  // namespace app
