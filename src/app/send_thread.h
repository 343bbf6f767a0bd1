// tSendThread: repeats the Send button's action on the main thread at an
// interval, for as long as it is neither suspended nor stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/thread.h"

class tSendThread : public platform::TThread {
 public:
  // The window passes true: the thread runs nothing until resumed.
  explicit tSendThread(bool CreateSuspended, platform::OsApi &api = platform::DefaultOsApi());
  // Ends the thread whatever its state or suspension count, still serving a
  // send it has queued on the main thread meanwhile.
  ~tSendThread() override;

  void SetInterval(std::int32_t value);
  void SetStop(bool value);

  // Shared with the main thread without a lock; each is written whole.
  std::atomic<bool> StopRequested{false};
  std::atomic<std::int32_t> IntervalMs{1000};

  // What one send does on the main thread; by default the window's Send
  // button handler with a nil sender. Only the main thread reads or sets it.
  std::function<void()> SendAction;

 protected:
  void Execute() override;

 private:
  void SendOnMainThread();
};
