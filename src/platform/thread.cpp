#include "platform/thread.h"

#include <deque>
#include <exception>
#include <memory>
#include <thread>
#include <utility>

#include "platform/rtl.h"

namespace platform {

namespace {

constexpr UINT kSyncMessage = WM_USER + 0x100;

struct SyncRequest {
  std::function<void()> fn;
  std::exception_ptr error;
  bool done = false;
};

struct SyncState {
  std::mutex mutex;
  std::condition_variable doneCv;
  std::deque<std::shared_ptr<SyncRequest>> queue;
  bool mainSet = false;
  std::thread::id mainThread;
  HWND window = nullptr;
  HANDLE event = nullptr;  // manual reset; set while requests wait
};

SyncState &Sync() {
  static SyncState *state = new SyncState();  // lives to the end of the process
  return *state;
}

// Set once at start, read on the main thread only.
SynchronizeScope &Scope() {
  static SynchronizeScope *scope = new SynchronizeScope();
  return *scope;
}

}  // namespace

void SetMainThread() {
  SyncState &s = Sync();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.mainSet) return;
    s.mainSet = true;
    s.mainThread = std::this_thread::get_id();
  }
  OsApi &api = DefaultOsApi();
  s.event = api.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  s.window = api.AllocateHWnd([](HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (msg == kSyncMessage) {
      try {
        CheckSynchronize();
      } catch (...) {
        HandleEscapedException();
      }
      return 0;
    }
    return DefaultOsApi().DefWindowProcA(wnd, msg, wParam, lParam);
  });
}

bool IsMainThread() {
  SyncState &s = Sync();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.mainSet && s.mainThread == std::this_thread::get_id();
}

HANDLE SyncEvent() { return Sync().event; }

void SetSynchronizeScope(SynchronizeScope scope) { Scope() = std::move(scope); }

bool CheckSynchronize() {
  SyncState &s = Sync();
  bool ran = false;
  for (;;) {
    std::shared_ptr<SyncRequest> request;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.queue.empty()) {
        if (s.event != nullptr) DefaultOsApi().ResetEvent(s.event);
        return ran;
      }
      request = s.queue.front();
      s.queue.pop_front();
    }
    try {
      if (Scope()) {
        Scope()(request->fn);
      } else {
        request->fn();
      }
    } catch (...) {
      request->error = std::current_exception();
    }
    ran = true;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      request->done = true;
    }
    s.doneCv.notify_all();
  }
}

TThread::TThread(bool CreateSuspended, OsApi &api) : api_(api) {
  handle_ = api_.CreateThread(&TThread::ThreadProc, this, CREATE_SUSPENDED, &threadId_);
  if (handle_ == nullptr) {
    throw Exception("Thread creation error: " + std::to_string(api_.GetLastError()));
  }
  if (CreateSuspended) {
    suspendCount_ = 1;
  } else {
    started_ = true;
    api_.ResumeThread(handle_);
  }
}

TThread::~TThread() { ReleaseThread(); }

DWORD TThread::ThreadProc(void *self) {
  auto *thread = static_cast<TThread *>(self);
  if (!thread->Terminated()) {
    try {
      thread->Execute();
    } catch (...) {
      // A worker's failure ends the worker only.
    }
  }
  thread->DoTerminate();
  thread->finished_.store(true);
  return 0;
}

void TThread::Resume() {
  bool startNow = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (suspendCount_ == 0) return;
    --suspendCount_;
    if (suspendCount_ == 0 && !started_) {
      started_ = true;
      startNow = true;
    }
  }
  if (startNow) {
    api_.ResumeThread(handle_);
  } else {
    cv_.notify_all();
  }
}

void TThread::Suspend() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++suspendCount_;
  }
  cv_.notify_all();
}

bool TThread::Suspended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return suspendCount_ > 0;
}

int TThread::SuspendCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return suspendCount_;
}

void TThread::SetPriority(int priority) { api_.SetThreadPriority(handle_, priority); }

bool TThread::WaitWhileSuspended() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [&] { return suspendCount_ == 0 || terminated_.load(); });
  return !terminated_.load();
}

bool TThread::SleepUnlessWoken(DWORD ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool interrupted = cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return woken_ || suspendCount_ > 0 || terminated_.load();
  });
  woken_ = false;
  return !interrupted;
}

void TThread::WakeSafePoint() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  cv_.notify_all();
}

DWORD TThread::WaitFor() {
  HANDLE syncEvent = SyncEvent();
  if (IsMainThread() && syncEvent != nullptr) {
    // Keep serving Synchronize requests: the thread may be waiting on one.
    for (;;) {
      HANDLE handles[2] = {handle_, syncEvent};
      const DWORD r = api_.WaitForMultipleObjects(2, handles, FALSE, INFINITE);
      if (r == WAIT_OBJECT_0 + 1) {
        CheckSynchronize();
        continue;
      }
      break;
    }
  } else {
    api_.WaitForSingleObject(handle_, INFINITE);
  }
  return 0;
}

void TThread::ReleaseThread() {
  if (released_) return;
  released_ = true;
  if (handle_ == nullptr) return;
  if (!finished_.load()) {
    terminated_.store(true);
    bool startNow = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!started_) {
        started_ = true;
        startNow = true;
        suspendCount_ = 0;
      }
    }
    cv_.notify_all();
    if (startNow) api_.ResumeThread(handle_);
    WaitFor();
  }
  api_.CloseHandle(handle_);
  handle_ = nullptr;
}

void TThread::Synchronize(const std::function<void()> &fn) {
  SyncState &s = Sync();
  HWND window;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    window = s.window;
    if (!s.mainSet || s.mainThread == std::this_thread::get_id() || window == nullptr) window = nullptr;
  }
  if (window == nullptr) {
    fn();
    return;
  }
  auto request = std::make_shared<SyncRequest>();
  request->fn = fn;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.queue.push_back(request);
  }
  DefaultOsApi().SetEvent(s.event);
  DefaultOsApi().PostMessageA(window, kSyncMessage, 0, 0);
  std::unique_lock<std::mutex> lock(s.mutex);
  s.doneCv.wait(lock, [&] { return request->done; });
  if (request->error) std::rethrow_exception(request->error);
}

}  // namespace platform
