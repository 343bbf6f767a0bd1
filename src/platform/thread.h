// TThread: the worker-thread base shared by the engine's reader and writer and
// the window's auto-send thread.
//
// - Created suspended or running; given a priority; resumed.
// - Suspension is counted and cooperative: Suspend() only raises the count.
//   A thread stops at the safe points its Execute chooses, by calling
//   WaitWhileSuspended(); it is never frozen at an arbitrary instruction.
//   Resume() does nothing at count 0; the first resume to 0 starts Execute.
// - Terminate() sets a flag; it does not stop a running thread. A thread
//   resumed with the flag already set finishes without running Execute.
// - Release (ReleaseThread, also run by the destructor): if the thread has not
//   finished, set the terminate flag, let it go if it never started, and wait
//   without limit until it ends; while the main thread waits it still runs
//   Synchronize requests, so a release never deadlocks against them.
//   A derived class whose Execute uses its own members must call
//   ReleaseThread() first thing in its destructor.
// - Synchronize(fn) runs fn on the main thread and waits for it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/osapi.h"

namespace platform {

class TThread {
 public:
  explicit TThread(bool CreateSuspended, OsApi &api = DefaultOsApi());
  TThread(const TThread &) = delete;
  TThread &operator=(const TThread &) = delete;
  virtual ~TThread();

  void Resume();
  void Suspend();
  bool Suspended() const;
  int SuspendCount() const;

  void Terminate() { terminated_.store(true); WakeSafePoint(); }
  bool Terminated() const { return terminated_.load(); }
  bool Finished() const { return finished_.load(); }

  void SetPriority(int priority);
  HANDLE Handle() const { return handle_; }
  DWORD ThreadID() const { return threadId_; }

  // Waits until the thread has ended (running Synchronize requests when called
  // on the main thread). Returns the thread's return value (0).
  DWORD WaitFor();

  // Runs fn on the main thread and waits for it to return. Called on the main
  // thread, runs fn directly.
  void Synchronize(const std::function<void()> &fn);

 protected:
  virtual void Execute() = 0;
  // The termination hook, run on the thread after Execute returns.
  virtual void DoTerminate() {}

  // Cooperative suspension point for Execute: returns at once while the
  // suspend count is 0; otherwise blocks until it is 0 again or the thread is
  // terminated. Returns false when the thread has been terminated.
  bool WaitWhileSuspended();
  // Sleeps up to `ms` milliseconds; returns early when the thread is
  // suspended, terminated or woken with WakeSafePoint(). Returns true when
  // the full time passed.
  bool SleepUnlessWoken(DWORD ms);
  void WakeSafePoint();

  // Waits for the thread as the release does. Idempotent.
  void ReleaseThread();

  OsApi &Api() const { return api_; }

 private:
  static DWORD ThreadProc(void *self);

  OsApi &api_;
  HANDLE handle_ = nullptr;
  DWORD threadId_ = 0;
  bool started_ = false;      // the OS thread has been let go
  bool released_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  int suspendCount_ = 0;
  bool woken_ = false;
};

// The main thread: the thread that runs the window and the engine's events.
// Set once at start (the first call wins; TApplication calls it).
void SetMainThread();
bool IsMainThread();
// Runs the Synchronize requests that are waiting; called by the main thread's
// message dispatch and by waits on the main thread. Returns true if any ran.
bool CheckSynchronize();
// The event that is set while Synchronize requests wait (for main-thread waits).
HANDLE SyncEvent();
// Runs each Synchronize request on the main thread through `scope` (which
// must call the routine it is given). The window framework counts a request
// as an event handler this way, so that a close arriving while the request
// pumps messages waits until it has returned. Null: requests run as they are.
using SynchronizeScope = std::function<void(const std::function<void()> &)>;
void SetSynchronizeScope(SynchronizeScope scope);

}  // namespace platform
