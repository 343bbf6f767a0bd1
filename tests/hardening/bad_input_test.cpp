// Bad input a user can give, with the port open and data on the line: a
// pasted non-numeric interval, a pasted 7-character interval, garbage in the
// hex send box, and a 1 MiB send box. Each gives its message or its sound
// behaviour, and nothing received or sent is lost around it.
#include <string>

#include "hardening_fixture.h"

namespace hardening {
namespace {

using app::TfrmMain;
using namespace forms;  // MB_* are macros on Windows and constants here

// Sends `data` from the peer and waits until the window has shown it all.
void Deliver(LinkedPty &pty, TfrmMain &w, const std::string &data) {
  const std::int64_t before = app::Received(w);
  ASSERT_EQ(pty.Write(data.data(), data.size()), data.size());
  ASSERT_TRUE(PumpUntil(
      [&] { return app::Received(w) >= before + static_cast<std::int64_t>(data.size()); }, 60000));
}

// What reaches the peer, while the main loop runs (auto-send's sends run on
// it).
std::string ReadPeer(LinkedPty &pty, std::size_t n) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
    forms::Application->ProcessMessages();
    pty.Read(got, 10);
  }
  return got;
}

TEST_F(HardeningTest, APastedNonNumericIntervalIsReportedAndLosesNothing) {
  const std::string exe = forms::Application->ExeName();
  forms::Application->SetExeName("/usr/bin/TESSAVO");
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  Deliver(pty_, w, "before ");

  w.edtAutoSend->SelectAll();
  ASSERT_TRUE(w.edtAutoSend->UserPaste("1O00"));  // a letter O among the digits
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].Text, "'1O00' is not a valid integer value.");
  EXPECT_EQ(Boxes()[0].Caption, "Tessavo");
  EXPECT_EQ(Boxes()[0].Flags, static_cast<unsigned>(MB_ICONERROR | MB_OK));
  EXPECT_EQ(w.edtAutoSend->Text(), "1O00");  // the box keeps what was pasted

  // The window goes on: data keeps arriving whole, and a send goes out.
  Deliver(pty_, w, "after");
  EXPECT_TRUE(w.memLog->Log().Equals("before after"));
  ASSERT_TRUE(w.btnSend->UserClick());
  EXPECT_EQ(ReadPeer(pty_, 2), "AT");
  EXPECT_EQ(Boxes().size(), 1u);
  forms::Application->SetExeName(exe);
}

TEST_F(HardeningTest, APastedSevenCharacterIntervalKeepsItsFirstSix) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  w.edtAutoSend->SelectAll();
  ASSERT_TRUE(w.edtAutoSend->UserPaste("1234567"));
  EXPECT_EQ(w.edtAutoSend->Text(), "123456");
  EXPECT_TRUE(w.cbAutoSend->Enabled());
  // Ticking it takes the six digits: auto-send runs every 123456 ms.
  ASSERT_TRUE(w.cbAutoSend->UserClick());
  EXPECT_TRUE(Boxes().empty());
  EXPECT_FALSE(w.btnSend->Enabled());
  EXPECT_EQ(w.AutoSendThread()->IntervalMs.load(), 123456);
  EXPECT_EQ(ReadPeer(pty_, 2), "AT");  // the first send goes out at once
  ASSERT_TRUE(w.cbAutoSend->UserClick());
  EXPECT_TRUE(w.btnSend->Enabled());
}

TEST_F(HardeningTest, GarbageInTheHexBoxSendsExactlyItsDigits) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  ASSERT_TRUE(w.cbHEXSend->UserClick());

  // Typed garbage never gets in; pasted garbage does, and only its digits
  // count: every byte value, 0 to 255, in a pasted box.
  w.memSend->UserTypeText("zq!G 4");
  EXPECT_EQ(w.memSend->Text(), "4");
  std::string garbage = RandomBytes(65536);
  for (int b = 0; b < 256; ++b) garbage += static_cast<char>(b);
  w.memSend->SelectAll();
  ASSERT_TRUE(w.memSend->UserPaste(garbage));
  ASSERT_EQ(w.memSend->Text(), garbage);

  std::string digits;
  for (char c : garbage) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) digits += c;
  }
  std::string want;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    want += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  }
  if (digits.size() % 2 != 0)
    want += static_cast<char>(std::stoi(digits.substr(digits.size() - 1), nullptr, 16));

  ASSERT_TRUE(w.btnSend->UserClick());
  EXPECT_EQ(app::Sent(w), static_cast<std::int64_t>(want.size()));
  const std::string got = ReadPeer(pty_, want.size());
  EXPECT_TRUE(got == want) << FirstDifference(want, got);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(w.memLog->TextLength(), 0u);
}

TEST_F(HardeningTest, AOneMebibyteSendBoxGoesOutWholeWhileDataArrives) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  std::string box(1 << 20, '\0');
  for (std::size_t i = 0; i < box.size(); ++i) box[i] = static_cast<char>(' ' + i * 7 % 95);
  for (std::size_t i = 100; i + 1 < box.size(); i += 997) box.replace(i, 2, "\r\n");
  w.memSend->SelectAll();
  ASSERT_TRUE(w.memSend->UserPaste(box));

  // The peer reads what comes and answers meanwhile.
  std::string got;
  std::thread peer([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (got.size() < box.size() && std::chrono::steady_clock::now() < deadline) {
      pty_.Read(got, 100);
    }
  });
  const std::string answer = RandomBytes(100000);
  std::thread talker([&] { pty_.Write(answer.data(), answer.size()); });
  ASSERT_TRUE(w.btnSend->UserClick());
  peer.join();
  talker.join();
  EXPECT_EQ(w.sbTitle->Panels()[2].Text(), " Send:1048576");
  EXPECT_TRUE(got == box) << FirstDifference(box, got);
  ASSERT_TRUE(PumpUntil([&] { return app::Received(w) >= 100000; }, 60000));
  EXPECT_TRUE(w.memLog->Log().Equals(answer));
  EXPECT_TRUE(Boxes().empty());
}

}  // namespace
}  // namespace hardening
