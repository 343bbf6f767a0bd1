// Auto-send: the thread's counted suspension and its wait, and the window's
// handlers that start and stop it (opening and closing the port, the Auto
// Send box, the interval box, closing the window). Time only ever appears as
// a generous bound on waiting for something, or as a lower bound that the
// interval itself guarantees.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "send_fixture.h"

namespace app {
namespace {

using namespace forms;  // MB_* are macros on Windows and constants here

const char kTooShort[] = "Automatic transmission time interval is too short!";
const char kOpenFirst[] = "Please configure and open serial port";

// True once a Synchronize request waits for the main thread (the thread has
// queued a send), within `ms`.
bool SendQueued(int ms) {
  return forms::Application->Api().WaitForSingleObject(platform::SyncEvent(),
                                                       static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
}

// ---- the thread on its own ----------------------------------------------------

class SendThreadTest : public WindowTest {
 protected:
  // A thread whose sends only count, on the main thread.
  std::unique_ptr<tSendThread> NewThread(std::int32_t interval) {
    auto t = std::make_unique<tSendThread>(true);
    t->SendAction = [this] { ++sends_; };
    t->SetInterval(interval);
    return t;
  }
  std::atomic<int> sends_{0};
};

TEST_F(SendThreadTest, SuspensionIsCountedAndTheFirstResumeToZeroStartsIt) {
  auto t = NewThread(20);
  EXPECT_TRUE(t->Suspended());
  EXPECT_EQ(t->SuspendCount(), 1);
  EXPECT_FALSE(t->StopRequested.load());
  PumpFor(100);
  EXPECT_EQ(sends_.load(), 0);  // nothing runs before a resume

  t->Suspend();
  t->Resume();
  EXPECT_TRUE(t->Suspended());
  PumpFor(100);
  EXPECT_EQ(sends_.load(), 0);
  t->Resume();
  EXPECT_FALSE(t->Suspended());
  t->Resume();  // at zero it does nothing
  EXPECT_EQ(t->SuspendCount(), 0);
  ASSERT_TRUE(PumpUntil([&] { return sends_.load() >= 3; }, 20000));

  // Two suspensions need two resumes. A send already queued may still run;
  // a thread that ran on would send every 20 ms.
  t->Suspend();
  t->Suspend();
  const int held = sends_.load();
  t->Resume();
  PumpFor(500);
  EXPECT_LE(sends_.load(), held + 1);
  t->Resume();
  EXPECT_TRUE(PumpUntil([&] { return sends_.load() >= held + 2; }, 20000));
}

TEST_F(SendThreadTest, ANewIntervalAppliesToAWaitUnderWay) {
  auto t = NewThread(999999);
  t->Resume();
  ASSERT_TRUE(PumpUntil([&] { return sends_.load() >= 1; }, 20000));
  PumpFor(100);
  EXPECT_EQ(sends_.load(), 1);
  t->SetInterval(20);  // the wait of about 17 minutes is cut short
  EXPECT_TRUE(PumpUntil([&] { return sends_.load() >= 3; }, 20000));
}

TEST_F(SendThreadTest, ReleaseEndsTheThreadInEveryState) {
  // Never started.
  NewThread(20).reset();
  // Running, in its wait.
  auto running = NewThread(999999);
  running->Resume();
  ASSERT_TRUE(PumpUntil([&] { return sends_.load() >= 1; }, 20000));
  running.reset();
  // Suspended several times over.
  auto held = NewThread(20);
  held->Resume();
  ASSERT_TRUE(PumpUntil([&] { return sends_.load() >= 2; }, 20000));
  held->Suspend();
  held->Suspend();
  held->Suspend();
  held.reset();
  // Waiting for its send to run on the main thread: the release runs it.
  auto waiting = NewThread(20);
  waiting->Resume();
  ASSERT_TRUE(SendQueued(20000));
  const int before = sends_.load();
  waiting.reset();
  EXPECT_EQ(sends_.load(), before + 1);
}

// ---- the window ---------------------------------------------------------------

class AutoSendTest : public LineWindowTest {
 protected:
  bool OnlyOpenFirstBoxes() const {
    for (const auto &box : Boxes()) {
      if (box.Text != kOpenFirst) return false;
    }
    return true;
  }
};

TEST_F(AutoSendTest, OpeningStartsAutoSendUntickedAndClosingStopsIt) {
  TfrmMain &w = NewWindow();
  w.edtAutoSend->SetText("300");
  const auto start = Clock::now();
  w.btnOpenClose->UserClick();
  ASSERT_TRUE(PumpUntil([&] { return Sent(w) >= 6; }, 20000));
  // Three sends are at least two intervals apart from the first.
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(600));
  EXPECT_FALSE(w.cbAutoSend->Checked());
  EXPECT_TRUE(w.btnSend->Enabled());
  EXPECT_TRUE(w.edtAutoSend->Enabled());
  EXPECT_EQ(Sent(w) % 2, 0);

  w.btnOpenClose->UserClick();
  EXPECT_TRUE(w.AutoSendThread()->Suspended());
  const std::int64_t sent = Sent(w);
  PumpFor(1000);
  // A send queued before the close finds the port closed and says so.
  EXPECT_EQ(Sent(w), sent);
  EXPECT_TRUE(OnlyOpenFirstBoxes());
  EXPECT_LE(Boxes().size(), 1u);

  const std::string arrived = PeerReceive(static_cast<std::size_t>(sent));
  EXPECT_EQ(arrived.size(), static_cast<std::size_t>(sent));
  for (std::size_t i = 0; i + 1 < arrived.size(); i += 2) EXPECT_EQ(arrived.substr(i, 2), "AT");
}

TEST_F(AutoSendTest, TheFirstSendGoesOutAtOnce) {
  TfrmMain &w = NewWindow();
  w.edtAutoSend->SetText("999999");
  w.btnOpenClose->UserClick();
  ASSERT_TRUE(PumpUntil([&] { return Sent(w) >= 2; }, 20000));
  EXPECT_EQ(PeerReceive(2), "AT");
  PumpFor(300);
  EXPECT_EQ(Sent(w), 2);
  w.btnOpenClose->UserClick();
}

TEST_F(AutoSendTest, TickingBelowTwentyOnlyShowsTheMessage) {
  TfrmMain &w = NewWindow();
  w.edtAutoSend->SetText("19");
  w.btnOpenClose->UserClick();  // opening runs it, even at 19 ms
  ASSERT_TRUE(PumpUntil([&] { return Sent(w) >= 2; }, 20000));

  w.cbAutoSend->UserClick();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].Text, kTooShort);
  EXPECT_EQ(Boxes()[0].Caption, "The system prompts");
  EXPECT_EQ(Boxes()[0].Flags, static_cast<unsigned>(MB_ICONINFORMATION));
  EXPECT_TRUE(w.cbAutoSend->Checked());
  EXPECT_TRUE(w.btnSend->Enabled());
  EXPECT_TRUE(w.edtAutoSend->Enabled());
  EXPECT_EQ(w.AutoSendThread()->SuspendCount(), 0);
  const std::int64_t sent = Sent(w);
  EXPECT_TRUE(PumpUntil([&] { return Sent(w) > sent; }, 20000));  // still running
  w.btnOpenClose->UserClick();

  // Held back, it stays held back.
  w.cbAutoSend->SetChecked(false);
  OpenQuietly(w);
  w.cbAutoSend->UserClick();
  EXPECT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(w.AutoSendThread()->SuspendCount(), 1);
  PumpFor(300);
  w.btnOpenClose->UserClick();
}

TEST_F(AutoSendTest, TickingAtTwentyGreysSendAndTheIntervalAndUntickingStops) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  w.edtAutoSend->SetText("20");
  w.cbAutoSend->UserClick();
  EXPECT_TRUE(Boxes().empty());
  EXPECT_FALSE(w.btnSend->Enabled());
  EXPECT_FALSE(w.edtAutoSend->Enabled());
  EXPECT_FALSE(w.btnSend->UserClick());
  EXPECT_EQ(w.AutoSendThread()->SuspendCount(), 0);
  ASSERT_TRUE(PumpUntil([&] { return Sent(w) >= 6; }, 20000));

  w.cbAutoSend->UserClick();
  EXPECT_TRUE(w.btnSend->Enabled());
  EXPECT_TRUE(w.edtAutoSend->Enabled());
  EXPECT_EQ(w.AutoSendThread()->SuspendCount(), 1);
  // At most the send already queued; running on, it would send every 120 ms.
  const std::int64_t sent = Sent(w);
  PumpFor(1000);
  EXPECT_LE(Sent(w), sent + 2);

  // Ticked with the port closed: only the box changes, until the port opens.
  w.btnOpenClose->UserClick();
  PumpFor(100);
  w.cbAutoSend->UserClick();
  EXPECT_TRUE(w.cbAutoSend->Checked());
  EXPECT_TRUE(w.btnSend->Enabled());
  EXPECT_EQ(w.AutoSendThread()->SuspendCount(), 2);
  EXPECT_TRUE(OnlyOpenFirstBoxes());
}

TEST_F(AutoSendTest, UntickCloseOpenLeavesItStoppedUntilAValidTick) {
  TfrmMain &w = NewWindow();
  w.edtAutoSend->SetText("20");
  w.btnOpenClose->UserClick();
  w.cbAutoSend->UserClick();  // already running: only greys the controls
  EXPECT_EQ(w.AutoSendThread()->SuspendCount(), 0);
  ASSERT_TRUE(PumpUntil([&] { return Sent(w) >= 4; }, 20000));
  w.cbAutoSend->UserClick();
  w.btnOpenClose->UserClick();
  w.btnOpenClose->UserClick();
  EXPECT_EQ(w.btnOpenClose->Caption(), CloseComCaption);
  EXPECT_EQ(w.AutoSendThread()->SuspendCount(), 1);
  PumpFor(200);  // a send queued before the untick finds the port open
  const std::int64_t sent = Sent(w);
  PumpFor(1000);
  EXPECT_LE(Sent(w), sent + 2);

  w.cbAutoSend->UserClick();
  EXPECT_EQ(w.AutoSendThread()->SuspendCount(), 0);
  EXPECT_TRUE(PumpUntil([&] { return Sent(w) >= sent + 4; }, 20000));
  w.btnOpenClose->UserClick();
}

TEST_F(AutoSendTest, TheIntervalBoxEnablesAutoSendOnlyForPositiveNumbers) {
  TfrmMain &w = NewWindow();
  w.cbAutoSend->UserClick();  // port closed: the tick stays, nothing else
  ASSERT_TRUE(w.cbAutoSend->Checked());

  const std::pair<const char *, bool> cases[] = {{"", false}, {"00", false},    {"0", false},
                                                 {"1", true}, {"000020", true}, {"999999", true}};
  for (const auto &[text, enabled] : cases) {
    w.edtAutoSend->SetText(text);
    EXPECT_EQ(w.cbAutoSend->Enabled(), enabled) << text;
    EXPECT_TRUE(w.cbAutoSend->Checked()) << text;
  }

  // Only digits and backspace can be typed.
  w.edtAutoSend->Clear();
  w.edtAutoSend->UserTypeText("1a2-3 .4\x7f");
  EXPECT_EQ(w.edtAutoSend->Text(), "1234");
  w.edtAutoSend->UserTypeKey(8);
  EXPECT_EQ(w.edtAutoSend->Text(), "123");
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(AutoSendTest, TickingWithAnEmptyOrZeroIntervalUnticksItself) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  int suspensions = 1;
  for (const char *text : {"0", ""}) {
    w.edtAutoSend->SetText(text);
    ASSERT_FALSE(w.cbAutoSend->Enabled());
    w.btnSend->SetEnabled(false);
    w.cbAutoSend->SetChecked(true);  // code can tick a disabled box
    // The untick steps ran: one more suspension, the controls enabled.
    EXPECT_FALSE(w.cbAutoSend->Checked()) << text;
    EXPECT_EQ(w.AutoSendThread()->SuspendCount(), ++suspensions) << text;
    EXPECT_TRUE(w.btnSend->Enabled()) << text;
  }
  EXPECT_TRUE(Boxes().empty());
  w.btnOpenClose->UserClick();
}

TEST_F(AutoSendTest, APastedNonNumberReachesTheApplicationsErrorBox) {
  const std::string exe = forms::Application->ExeName();
  forms::Application->SetExeName("/opt/tessavo/bin/TESSAVO.bin");
  TfrmMain &w = NewWindow();
  OpenQuietly(w);

  w.edtAutoSend->SelectAll();
  w.edtAutoSend->UserPaste("12x");
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].Text, "'12x' is not a valid integer value.");
  EXPECT_EQ(Boxes()[0].Caption, "Tessavo");
  EXPECT_EQ(Boxes()[0].Flags, static_cast<unsigned>(MB_ICONERROR | MB_OK));

  // Ticking converts it again, unguarded: the same box, and nothing changes.
  w.cbAutoSend->UserClick();
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1].Text, "'12x' is not a valid integer value.");
  EXPECT_TRUE(w.btnSend->Enabled());
  EXPECT_EQ(w.AutoSendThread()->SuspendCount(), 1);

  // Opening with it fails as any failed opening does.
  w.cbAutoSend->SetChecked(false);
  w.btnOpenClose->UserClick();
  ASSERT_TRUE(w.AutoSendThread()->Suspended());
  headless_->ClearMessageBoxes();
  w.btnOpenClose->UserClick();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].Text, "The port does not exist or occupied");
  EXPECT_EQ(w.btnOpenClose->Caption(), OpenComCaption);
  EXPECT_EQ(w.ComPort->DeviceHandle(), nullptr);
  forms::Application->SetExeName(exe);
}

// ---- closing the window -------------------------------------------------------

TEST_F(AutoSendTest, ClosingTickedRunsTheQueuedSendAndEndsTheThread) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  w.edtAutoSend->SetText("20");
  w.cbAutoSend->UserClick();
  ASSERT_TRUE(PumpUntil([&] { return Sent(w) >= 4; }, 20000));
  ASSERT_TRUE(SendQueued(20000));
  const std::int64_t sent = Sent(w);

  w.Show();
  EXPECT_TRUE(w.UserClose());
  EXPECT_EQ(w.AutoSendThread(), nullptr);
  EXPECT_EQ(Sent(w), sent + 2);  // it went out before the port closed
  EXPECT_EQ(w.ComPort->DeviceHandle(), nullptr);
  EXPECT_TRUE(Boxes().empty());
  const std::string arrived = PeerReceive(static_cast<std::size_t>(sent + 2));
  EXPECT_EQ(arrived.size(), static_cast<std::size_t>(sent + 2));
}

TEST_F(AutoSendTest, ClosingUntickedWhileRunningEndsCleanly) {
  TfrmMain &w = NewWindow();
  w.edtAutoSend->SetText("20");
  w.btnOpenClose->UserClick();
  ASSERT_TRUE(PumpUntil([&] { return Sent(w) >= 4; }, 20000));
  ASSERT_TRUE(SendQueued(20000));
  w.Show();
  EXPECT_TRUE(w.UserClose());
  EXPECT_EQ(w.ComPort->DeviceHandle(), nullptr);
  ASSERT_NE(w.AutoSendThread(), nullptr);
  EXPECT_TRUE(w.AutoSendThread()->Suspended());
  // Destroying the window ends the thread; its queued send finds no window.
  forms::Application->DestroyForms();
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(AutoSendTest, ClosingWithThePortClosedEndsCleanlyTickedOrNot) {
  for (bool ticked : {false, true}) {
    TfrmMain &w = NewWindow();
    w.edtAutoSend->SetText("20");
    w.btnOpenClose->UserClick();
    ASSERT_TRUE(PumpUntil([&] { return Sent(w) >= 2; }, 20000));
    // Untick while open, close, tick while closed: two suspensions.
    w.cbAutoSend->SetChecked(true);
    w.cbAutoSend->SetChecked(false);
    w.btnOpenClose->UserClick();
    w.cbAutoSend->SetChecked(ticked);
    EXPECT_EQ(w.AutoSendThread()->SuspendCount(), 2);
    w.Show();
    EXPECT_TRUE(w.UserClose());
    EXPECT_EQ(w.AutoSendThread() == nullptr, ticked);
    EXPECT_EQ(w.btnOpenClose->Caption(), OpenComCaption);
    forms::Application->DestroyForms();
    PumpFor(50);
    headless_->ClearMessageBoxes();  // a send queued before the close may ask to open the port
  }
}

// The window manager's close arrives (twice) while an automatic send sleeps
// in its pause and lets messages in. The send finishes first; then the close
// runs once, in its own order: the thread is released, then the port closed.
TEST_F(AutoSendTest, ACloseLetInByASendsPauseRunsOnceAfterTheSend) {
  for (bool ticked : {true, false}) {
    TfrmMain &w = NewWindow();
    int closes = 0;
    const forms::TCloseEvent formClose = w.OnClose;
    w.OnClose = [&](platform::TObject *sender, forms::TCloseAction &action) {
      ++closes;
      formClose(sender, action);
    };
    // As the Win32 backend gets it: WM_CLOSE on the main thread's queue.
    platform::OsApi &api = forms::Application->Api();
    const UINT kWmClose = WM_USER + 3;
    HWND wm = api.AllocateHWnd([&](HWND h, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
      if (msg == kWmClose) forms::Application->UserInput([&w] { w.UserClose(); });
      return api.DefWindowProcA(h, msg, wp, lp);
    });
    w.edtAutoSend->SetText("300");  // no next send can be due before the close has run
    w.btnOpenClose->UserClick();
    w.cbAutoSend->SetChecked(ticked);
    ASSERT_TRUE(PumpUntil([&] { return Sent(w) >= 2; }, 20000));
    std::int64_t sentBefore = -1;
    api_.onMainThreadSleep = [&](DWORD ms) {
      if (ms != 100 || sentBefore >= 0) return;
      sentBefore = Sent(w);  // this send's bytes are queued, not yet counted
      api.PostMessageA(wm, kWmClose, 0, 0);
      api.PostMessageA(wm, kWmClose, 0, 0);
    };
    w.Show();
    ASSERT_TRUE(PumpUntil([&] { return !w.Visible(); }, 20000)) << ticked;
    api_.onMainThreadSleep = nullptr;
    PumpFor(100);
    EXPECT_EQ(closes, 1) << ticked;
    EXPECT_EQ(Sent(w), sentBefore + 2) << ticked;
    EXPECT_EQ(w.ComPort->DeviceHandle(), nullptr) << ticked;
    EXPECT_EQ(w.AutoSendThread() == nullptr, ticked);
    EXPECT_TRUE(forms::Application->Terminated()) << ticked;
    EXPECT_EQ(PeerReceive(static_cast<std::size_t>(sentBefore + 2)).size(),
              static_cast<std::size_t>(sentBefore + 2));
    api.DeallocateHWnd(wm);
    forms::Application->DestroyForms();
    EXPECT_TRUE(OnlyOpenFirstBoxes());
    headless_->ClearMessageBoxes();
  }
}

}  // namespace
}  // namespace app
