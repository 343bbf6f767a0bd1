// Faults on the line: the peer end goes away while the port is open (idle,
// during a receive burst, during auto-send), and a USB-style disappearance
// (the device path removed while open, then the line hung up). In each case
// nothing crashes or hangs, what was shown is exactly what came, the window
// says once that the port has failed, closing works, and a new opening
// reports the port as gone.
#include <string>

#include "hardening_fixture.h"

namespace hardening {
namespace {

using app::TfrmMain;

// What the window says, once, when the line has failed under an open port.
const std::string kPortFailed = "Port Error! Please close and reopen the port.";

// The text log holds a prefix of the peer's stream, unchanged, and then the
// one line that says the port has failed: a port that no longer receives
// must not look healthy.
void ExpectPrefixOfStreamThenFailure(TfrmMain &w, std::uint64_t written) {
  const forms::LogText &log = w.memLog->Log();
  const std::string tail = "\r\n" + kPortFailed;
  ASSERT_GE(log.Size(), tail.size());
  const std::size_t shown = log.Size() - tail.size();
  ASSERT_LE(shown, written);
  EXPECT_EQ(static_cast<std::uint64_t>(app::Received(w)), shown);
  for (std::size_t i = 0; i < shown; ++i) {
    ASSERT_EQ(log.At(i), StreamingPeer::Pattern(i)) << "byte " << i << " of " << shown;
  }
  std::string end;
  for (std::size_t i = shown; i < log.Size(); ++i) end += log.At(i);
  EXPECT_EQ(end, tail);
}

TEST_F(HardeningTest, ThePeerClosingWhileIdleLeavesAPortThatClosesAndIsGone) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  pty_.ClosePeer();
  pty_.RemoveLink();  // a simulator's link goes with it
  // The hang-up reaches the engine and the window says so; the port state
  // stays the user's to change.
  EXPECT_TRUE(PumpUntil([&] { return w.memLog->Text() == kPortFailed + "\r\n"; }, 10000))
      << w.memLog->Text();
  EXPECT_EQ(w.btnOpenClose->Caption(), app::CloseComCaption);
  ExpectClosesAndCannotReopen(w);
}

TEST_F(HardeningTest, ThePeerClosingDuringAReceiveBurstLosesNothingShown) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  StreamingPeer peer(pty_);
  ASSERT_TRUE(PumpUntil([&] { return app::Received(w) >= 256 * 1024; }, 120000));
  peer.ClosePeer(true);
  PumpFor(300);
  ExpectPrefixOfStreamThenFailure(w, peer.Written());
  ExpectClosesAndCannotReopen(w);
}

TEST_F(HardeningTest, ThePeerClosingDuringAutoSendStopsNothingButTheLine) {
  TfrmMain &w = NewWindow();
  w.edtAutoSend->SetText("20");
  ASSERT_TRUE(w.btnOpenClose->UserClick());  // opening starts auto-send
  // Streams from here on: opening drops whatever came before it.
  StreamingPeer peer(pty_);
  ASSERT_TRUE(PumpUntil([&] { return app::Sent(w) >= 10 && peer.Drained() >= 10; }, 60000));
  peer.ClosePeer(true);
  // Auto-send goes on against a line that is gone: sends are queued and
  // counted as ever, and the window keeps working.
  const std::int64_t sent = app::Sent(w);
  ASSERT_TRUE(PumpUntil([&] { return app::Sent(w) >= sent + 6; }, 60000));
  EXPECT_TRUE(Boxes().empty());
  ExpectPrefixOfStreamThenFailure(w, peer.Written());
  ExpectClosesAndCannotReopen(w);
  // Closed, auto-send is suspended again: the count stays.
  const std::int64_t after = app::Sent(w);
  PumpFor(300);
  EXPECT_EQ(app::Sent(w), after);
}

TEST_F(HardeningTest, AUsbStyleDisappearanceMidStreamIsSurvived) {
  // What a pulled USB adapter does: its node leaves /dev while the port is
  // open and data flows, then the open descriptor is hung up. Here the
  // device path (the link) is removed first, then the line hangs up.
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  StreamingPeer peer(pty_);
  ASSERT_TRUE(PumpUntil([&] { return app::Received(w) >= 64 * 1024; }, 120000));
  pty_.RemoveLink();
  ASSERT_TRUE(PumpUntil([&] { return app::Received(w) >= 128 * 1024; }, 120000));
  peer.ClosePeer(false);
  PumpFor(300);
  ExpectPrefixOfStreamThenFailure(w, peer.Written());
  ASSERT_TRUE(w.btnSend->UserClick());  // a send to the dead line is harmless
  EXPECT_TRUE(Boxes().empty());
  ExpectClosesAndCannotReopen(w);
}

}  // namespace
}  // namespace hardening
