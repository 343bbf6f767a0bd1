#include "app/send_thread.h"

#include "app/main_form.h"

tSendThread::tSendThread(bool CreateSuspended, platform::OsApi &api)
    : TThread(CreateSuspended, api) {}

tSendThread::~tSendThread() {
  StopRequested.store(true);
  // The release sets the terminate request, which also ends a wait for
  // resumption, so any suspension count lets the thread finish.
  ReleaseThread();
}

void tSendThread::SetInterval(std::int32_t value) {
  IntervalMs.store(value);
  WakeSafePoint();  // a wait under way measures against the new value
}

void tSendThread::SetStop(bool value) {
  StopRequested.store(value);
  WakeSafePoint();
}

void tSendThread::SendOnMainThread() {
  Synchronize([this] {
    if (SendAction) {
      SendAction();
    } else if (app::frmMain != nullptr) {
      app::frmMain->btnSendClick(nullptr);
    }
  });
}

void tSendThread::Execute() {
  platform::OsApi &api = Api();
  for (;;) {
    // Safe point: a suspension lands here, never inside a send.
    if (!WaitWhileSuspended() || StopRequested.load()) return;
    SendOnMainThread();
    const std::uint64_t start = api.TickCount64();
    // Sleep until more than IntervalMs has passed since the send ended,
    // reading the interval afresh each time we wake.
    for (;;) {
      if (StopRequested.load()) return;
      if (Suspended()) {
        if (!WaitWhileSuspended()) return;
        continue;  // resumed: sends at once if the interval ran out meanwhile
      }
      const std::int64_t elapsed = static_cast<std::int64_t>(api.TickCount64() - start);
      const std::int64_t interval = IntervalMs.load();
      if (elapsed > interval) break;
      SleepUnlessWoken(static_cast<DWORD>(interval - elapsed + 1));
    }
  }
}
