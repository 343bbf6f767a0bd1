// A main window on the headless backend whose port list holds a real serial
// line (a pseudo-terminal on Linux). The port component's calls go through a
// recording api, so a test sees every request queued for the writer and every
// pause the window takes, besides what reaches the far end of the line.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/send_thread.h"
#include "comm/messages.h"
#include "fake_registry.h"
#include "platform/forwarding_api.h"
#include "platform/thread.h"
#include "test_port.h"
#include "window_fixture.h"

namespace app {

class RecordingSendApi : public platform::ForwardingOsApi {
 public:
  BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == comm::WriteRequest) {
      if (failWrites_) {
        // The request goes down with the post: nobody else frees it.
        LocalFree(reinterpret_cast<HLOCAL>(lParam));
        throw std::runtime_error("no room for the request");
      }
      // Copied now: once posted, the block belongs to the writer.
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.emplace_back(reinterpret_cast<const char *>(lParam), wParam);
    }
    return ForwardingOsApi::PostThreadMessageA(threadId, msg, wParam, lParam);
  }
  void Sleep(DWORD milliseconds) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sleeps_.push_back(milliseconds);
    }
    if (onMainThreadSleep && platform::IsMainThread()) onMainThreadSleep(milliseconds);
    ForwardingOsApi::Sleep(milliseconds);
  }

  // Runs as the main thread begins a pause: what a user does meanwhile is
  // what the window's next message pump finds.
  std::function<void(DWORD)> onMainThreadSleep;

  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  // Everything queued so far, in order.
  std::string Queued() {
    std::string all;
    for (const std::string &r : Requests()) all += r;
    return all;
  }
  void ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
  }
  std::size_t Sleeps(DWORD milliseconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (DWORD s : sleeps_) n += s == milliseconds ? 1 : 0;
    return n;
  }
  // Makes every write request fail by an exception, as a broken post would.
  void FailWrites(bool on) { failWrites_ = on; }

 private:
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<DWORD> sleeps_;
  bool failWrites_ = false;
};

// The byte counters as their status-bar panels show them.
inline std::int64_t Counter(TfrmMain &w, int panel) {
  const std::string text = w.sbTitle->Panels()[panel].Text();
  return std::stoll(text.substr(text.find(':') + 1));
}
inline std::int64_t Sent(TfrmMain &w) { return Counter(w, 2); }
inline std::int64_t Received(TfrmMain &w) { return Counter(w, 1); }

// Runs the main loop until `done` holds or `ms` pass; true when it held.
template <class Pred>
bool PumpUntil(Pred done, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    forms::Application->ProcessMessages();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

inline void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

class LineWindowTest : public WindowTest {
 protected:
  using Clock = std::chrono::steady_clock;

  void SetUp() override {
    WindowTest::SetUp();
    if (!TestPort::Available()) GTEST_SKIP() << "no serial pair on this machine";
    port_ = std::make_unique<TestPort>();
    ASSERT_TRUE(port_->Ok());
    forms::Application->SetApi(api_);
    data_.values = {{"line", kRegSz, port_->DevicePath()}};
  }
  void TearDown() override {
    WindowTest::TearDown();  // the window goes first: it still uses the port and the api
    port_.reset();
  }

  TfrmMain &NewWindow() { return Create(DevicePathSource(data_.Factory())); }

  // Opens the port with auto-send held back: one extra suspension takes up
  // the resume that opening always gives.
  void OpenQuietly(TfrmMain &w) {
    w.AutoSendThread()->Suspend();
    ASSERT_TRUE(w.btnOpenClose->UserClick());
    ASSERT_EQ(w.btnOpenClose->Caption(), CloseComCaption);
    ASSERT_EQ(w.AutoSendThread()->SuspendCount(), 1);
  }

  // Reads what reaches the far end until `size` bytes have come or a
  // generous time has passed.
  std::string PeerReceive(std::size_t size, int ms = 20000) {
    std::string got(size, '\0');
    got.resize(port_->PeerRead(&got[0], size, ms));
    return got;
  }

  RecordingSendApi api_;
  FakeRegistryData data_;
  std::unique_ptr<TestPort> port_;
};

}  // namespace app
