// Threads, per-thread message queues and hidden windows.
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/posix/kernel.h"
#include "platform/posix/posix_api.h"

namespace platform::posix {

// ---- message queue --------------------------------------------------------

class MessageQueue {
 public:
  explicit MessageQueue(DWORD owner) : owner_(owner) {}

  DWORD Owner() const { return owner_; }
  int Fd() const { return signal_.Fd(); }
  void Watch(bool on) { on ? signal_.Watch() : signal_.Unwatch(); }
  // For a toolkit loop that polls Fd() on its own.
  int WatchedFd() {
    std::call_once(watchedAlways_, [this] { signal_.WatchAlways(); });
    return signal_.Fd();
  }

  // Only a post to an empty queue wakes the consumer, and it does so after
  // letting go of the queue, so the consumer never waits for the lock while
  // the poster is in a system call. A wake that comes late finds the queue
  // already drained: the consumer then clears it (Peek, HasMessages).
  bool Post(const MSG &msg) {
    bool wasEmpty;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_) return false;
      wasEmpty = messages_.empty();
      messages_.push_back(msg);
    }
    if (wasEmpty) signal_.Set();
    return true;
  }

  bool Peek(MSG *out, HWND filter, UINT filterMin, UINT filterMax, bool remove) {
    const bool anyNumber = filterMin == 0 && filterMax == 0;
    const bool threadOnly = filter == reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1));
    bool found = false;
    bool drained;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = messages_.begin(); it != messages_.end(); ++it) {
        if (threadOnly ? it->hwnd != nullptr : (filter != nullptr && it->hwnd != filter)) continue;
        if (!anyNumber && (it->message < filterMin || it->message > filterMax)) continue;
        *out = *it;
        if (remove) messages_.erase(it);
        found = true;
        break;
      }
      drained = messages_.empty();
    }
    if (drained) ClearSignal();
    return found;
  }

  bool HasMessages() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!messages_.empty()) return true;
    }
    ClearSignal();  // a late wake
    return false;
  }

  // The queue was found empty: the descriptor stops being readable. Done
  // outside the queue's lock (so a poster never waits for it during the
  // system call); a post that came in between sets it again.
  void ClearSignal() {
    signal_.Reset();
    bool refill;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      refill = !messages_.empty();
    }
    if (refill) signal_.Set();
  }

  // The owner has ended: later posts fail. Messages still queued are dropped
  // (blocks they carry belong to whoever posted them).
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    messages_.clear();
    signal_.Reset();
  }

 private:
  const DWORD owner_;
  std::mutex mutex_;
  std::deque<MSG> messages_;
  bool closed_ = false;
  Signal signal_;
  std::once_flag watchedAlways_;
};

int QueueFd(const MessageQueue &queue) { return queue.Fd(); }
bool QueueHasMessages(MessageQueue &queue) { return queue.HasMessages(); }
void QueueWatch(MessageQueue &queue, bool on) { queue.Watch(on); }

// ---- registries -----------------------------------------------------------

namespace {

struct ThreadRegistry {
  std::mutex mutex;
  std::unordered_set<DWORD> live;
  std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
  std::atomic<DWORD> nextId{1};
};

ThreadRegistry &Threads() {
  static ThreadRegistry *registry = new ThreadRegistry();  // used until exit
  return *registry;
}

struct Window {
  WindowProc proc;
  DWORD owner;
  std::weak_ptr<MessageQueue> queue;
};

struct WindowTable {
  std::shared_mutex mutex;
  std::unordered_map<std::uint32_t, std::shared_ptr<Window>> windows;
  std::uint32_t next = 0x10000;
};

WindowTable &Windows() {
  static WindowTable *table = new WindowTable();  // used until exit
  return *table;
}

std::uint32_t WindowKey(HWND wnd) {
  const auto value = reinterpret_cast<std::uintptr_t>(wnd);
  return value > 0xFFFFFFFFu ? 0 : static_cast<std::uint32_t>(value);
}

std::shared_ptr<Window> LookupWindow(HWND wnd) {
  const std::uint32_t key = WindowKey(wnd);
  if (key == 0) return nullptr;
  WindowTable &t = Windows();
  std::shared_lock<std::shared_mutex> lock(t.mutex);
  auto it = t.windows.find(key);
  return it == t.windows.end() ? nullptr : it->second;
}

// What the backend keeps for each OS thread that has used it. Our own threads
// end it explicitly before their handle is signalled; any other thread ends
// it when the thread exits.
struct ThreadContext {
  DWORD id = 0;
  std::shared_ptr<MessageQueue> queue;
  bool issuedIo = false;
  bool ended = false;

  ~ThreadContext() { End(); }

  void End() {
    if (ended || id == 0) return;
    ended = true;
    if (issuedIo) DropIoOfThread(id);
    {
      WindowTable &t = Windows();
      std::unique_lock<std::shared_mutex> lock(t.mutex);
      for (auto it = t.windows.begin(); it != t.windows.end();) {
        it = it->second->owner == id ? t.windows.erase(it) : std::next(it);
      }
    }
    std::shared_ptr<MessageQueue> registered;
    {
      ThreadRegistry &r = Threads();
      std::lock_guard<std::mutex> lock(r.mutex);
      r.live.erase(id);
      auto it = r.queues.find(id);
      if (it != r.queues.end()) {
        registered = std::move(it->second);
        r.queues.erase(it);
      }
    }
    if (registered) registered->Close();
    if (queue) queue->Close();
    queue.reset();
  }
};

thread_local ThreadContext tContext;

DWORD NewThreadId() {
  ThreadRegistry &r = Threads();
  DWORD id = r.nextId.fetch_add(1);
  if (id == 0) id = r.nextId.fetch_add(1);
  std::lock_guard<std::mutex> lock(r.mutex);
  r.live.insert(id);
  return id;
}

// ---- thread objects ---------------------------------------------------------

class ThreadObject : public KernelObject {
 public:
  ThreadObject(DWORD id, LPTHREAD_START_ROUTINE start, void *parameter, bool suspended)
      : id_(id), start_(start), parameter_(parameter), suspendCount_(suspended ? 1 : 0) {}

  int WaitFd() const override { return ended_.Fd(); }
  bool IsSignalled() override { return ended_.IsSet(); }

  DWORD Id() const { return id_; }

  DWORD Resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    const DWORD previous = suspendCount_;
    if (suspendCount_ > 0 && --suspendCount_ == 0) gate_.notify_all();
    return previous;
  }

  // Sets the thread's nice value from the calling thread, whose rights
  // decide: 0, or the errno of a refusal (an ordinary user may not lower a
  // nice value, that is, raise a priority).
  int SetPriority(int niceValue) {
    std::unique_lock<std::mutex> lock(mutex_);
    gate_.wait(lock, [this] { return tid_ != 0; });  // recorded first thing at start
    // Once the thread has ended its kernel id may belong to another thread.
    if (ended_.IsSet()) return 0;
    return setpriority(PRIO_PROCESS, static_cast<id_t>(tid_), niceValue) == 0 ? 0 : errno;
  }

  static void *Main(void *arg) {
    std::shared_ptr<ThreadObject> self =
        std::move(*static_cast<std::shared_ptr<ThreadObject> *>(arg));
    delete static_cast<std::shared_ptr<ThreadObject> *>(arg);
    tContext.id = self->id_;
    {
      std::unique_lock<std::mutex> lock(self->mutex_);
      self->tid_ = static_cast<pid_t>(syscall(SYS_gettid));
      self->gate_.notify_all();
      self->gate_.wait(lock, [&] { return self->suspendCount_ == 0; });
    }
    self->start_(self->parameter_);
    tContext.End();
    self->ended_.Set();
    return nullptr;
  }

 private:
  const DWORD id_;
  const LPTHREAD_START_ROUTINE start_;
  void *const parameter_;
  std::mutex mutex_;
  std::condition_variable gate_;
  DWORD suspendCount_;
  pid_t tid_ = 0;
  Signal ended_{true};  // set once: not worth the bookkeeping
};

int BaseNice() {
  static const int base = [] {
    errno = 0;
    const int value = getpriority(PRIO_PROCESS, 0);
    return errno == 0 ? value : 0;
  }();
  return base;
}

}  // namespace

DWORD CurrentThreadId() {
  if (tContext.id == 0) tContext.id = NewThreadId();
  return tContext.id;
}

void NoteThreadIssuedIo() {
  CurrentThreadId();
  tContext.issuedIo = true;
}

std::shared_ptr<MessageQueue> OwnQueue() {
  if (tContext.queue) return tContext.queue;
  const DWORD id = CurrentThreadId();
  ThreadRegistry &r = Threads();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto &slot = r.queues[id];
  if (!slot) slot = std::make_shared<MessageQueue>(id);
  tContext.queue = slot;
  return slot;
}

int MessageQueueFd(DWORD threadId) {
  return Guarded(-1, [&] {
    if (threadId != 0 && threadId == CurrentThreadId()) return OwnQueue()->WatchedFd();
    ThreadRegistry &r = Threads();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.queues.find(threadId);
    if (it != r.queues.end()) return it->second->WatchedFd();
    if (r.live.count(threadId) == 0) {
      SetError(ERROR_INVALID_THREAD_ID);
      return -1;
    }
    auto queue = std::make_shared<MessageQueue>(threadId);
    r.queues.emplace(threadId, queue);
    return queue->WatchedFd();
  });
}

// ---- PosixApi: threads ------------------------------------------------------

HANDLE PosixApi::CreateThread(LPTHREAD_START_ROUTINE start, void *parameter, DWORD creationFlags,
                              DWORD *threadId) {
  return Guarded(HANDLE{nullptr}, [&]() -> HANDLE {
    if (start == nullptr) {
      SetError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const DWORD id = NewThreadId();
    auto refuse = [id] {
      ThreadRegistry &r = Threads();
      std::lock_guard<std::mutex> lock(r.mutex);
      r.live.erase(id);
      SetError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    };
    std::shared_ptr<ThreadObject> thread;
    std::unique_ptr<std::shared_ptr<ThreadObject>> arg;
    try {
      thread = std::make_shared<ThreadObject>(id, start, parameter,
                                              (creationFlags & CREATE_SUSPENDED) != 0);
      arg = std::make_unique<std::shared_ptr<ThreadObject>>(thread);
    } catch (const std::bad_alloc &) {
      return refuse();
    }
    if (thread->WaitFd() < 0) return refuse();
    HANDLE handle = AddHandle(thread);
    if (handle == nullptr) return refuse();
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t pt;
    const int err =
        ThreadStartRefused() ? EAGAIN : pthread_create(&pt, &attr, &ThreadObject::Main, arg.get());
    pthread_attr_destroy(&attr);
    if (err != 0) {
      RemoveHandle(handle);
      return refuse();
    }
    static_cast<void>(arg.release());  // the thread owns it now
    if (threadId != nullptr) *threadId = id;
    return handle;
  });
}

DWORD PosixApi::ResumeThread(HANDLE thread) {
  return Guarded(static_cast<DWORD>(-1), [&]() -> DWORD {
    auto object = Lookup<ThreadObject>(thread);
    if (!object) return static_cast<DWORD>(-1);
    return object->Resume();
  });
}

BOOL PosixApi::SetThreadPriority(HANDLE thread, int priority) {
  return Guarded(FALSE, [&]() -> BOOL {
    int offset;
    switch (priority) {
      case -15:  // THREAD_PRIORITY_IDLE
        offset = 19;
        break;
      case THREAD_PRIORITY_LOWEST:
        offset = 10;
        break;
      case THREAD_PRIORITY_BELOW_NORMAL:
        offset = 5;
        break;
      case THREAD_PRIORITY_NORMAL:
        offset = 0;
        break;
      case THREAD_PRIORITY_ABOVE_NORMAL:
        offset = -5;
        break;
      case THREAD_PRIORITY_HIGHEST:
        offset = -10;
        break;
      case THREAD_PRIORITY_TIME_CRITICAL:
        offset = -20;
        break;
      default:
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto object = Lookup<ThreadObject>(thread);
    if (!object) return FALSE;
    int value = BaseNice() + offset;
    value = value < -20 ? -20 : (value > 19 ? 19 : value);
    const int refused = object->SetPriority(value);
    if (refused != 0) {
      SetError(ErrorFromErrno(refused));  // EACCES, EPERM: ERROR_ACCESS_DENIED
      return FALSE;
    }
    return TRUE;
  });
}

DWORD PosixApi::GetCurrentThreadId() { return CurrentThreadId(); }

// ---- PosixApi: windows and messages -----------------------------------------

HWND PosixApi::AllocateHWnd(WindowProc proc) {
  return Guarded(HWND{nullptr}, [&]() -> HWND {
    auto window = std::make_shared<Window>();
    window->proc = std::move(proc);
    window->owner = CurrentThreadId();
    window->queue = OwnQueue();
    WindowTable &t = Windows();
    std::unique_lock<std::shared_mutex> lock(t.mutex);
    std::uint32_t key;
    do {
      t.next += 2;
      if (t.next < 0x10000) t.next = 0x10002;
      key = t.next;
    } while (t.windows.count(key) != 0);
    t.windows.emplace(key, std::move(window));
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(key));
  });
}

void PosixApi::DeallocateHWnd(HWND wnd) {
  Guarded([&] {
    std::shared_ptr<Window> doomed;  // its procedure may be running: freed outside the lock
    const std::uint32_t key = WindowKey(wnd);
    WindowTable &t = Windows();
    std::unique_lock<std::shared_mutex> lock(t.mutex);
    auto it = t.windows.find(key);
    if (it == t.windows.end()) return;
    doomed = std::move(it->second);
    t.windows.erase(it);
  });
}

namespace {

// One message into a queue; without a queue, or into one that is gone, the
// call fails with `error`.
BOOL PostTo(const std::shared_ptr<MessageQueue> &queue, HWND wnd, UINT msg, WPARAM wParam,
            LPARAM lParam, std::uint64_t now, DWORD error) {
  MSG m{};
  m.hwnd = wnd;
  m.message = msg;
  m.wParam = wParam;
  m.lParam = lParam;
  m.time = static_cast<DWORD>(now);
  if (!queue || !queue->Post(m)) {
    SetError(error);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

BOOL PosixApi::PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto window = LookupWindow(wnd);
    return PostTo(window ? window->queue.lock() : nullptr, wnd, msg, wParam, lParam, TickCount64(),
                  ERROR_INVALID_WINDOW_HANDLE);
  });
}

BOOL PosixApi::PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  return Guarded(FALSE, [&]() -> BOOL {
    std::shared_ptr<MessageQueue> queue;
    {
      ThreadRegistry &r = Threads();
      std::lock_guard<std::mutex> lock(r.mutex);
      auto it = r.queues.find(threadId);
      if (it != r.queues.end()) queue = it->second;
    }
    return PostTo(queue, nullptr, msg, wParam, lParam, TickCount64(), ERROR_INVALID_THREAD_ID);
  });
}

BOOL PosixApi::PeekMessageA(MSG *msg, HWND wnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
  return Guarded(FALSE, [&]() -> BOOL {
    if (msg == nullptr) {
      SetError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return OwnQueue()->Peek(msg, wnd, filterMin, filterMax, (removeMsg & PM_REMOVE) != 0) ? TRUE
                                                                                          : FALSE;
  });
}

BOOL PosixApi::TranslateMessage(const MSG *) { return FALSE; }

LRESULT PosixApi::DispatchMessageA(const MSG *msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  auto window = LookupWindow(msg->hwnd);
  if (!window) return 0;  // destroyed since the message was posted
  if (!window->proc) return DefWindowProcA(msg->hwnd, msg->message, msg->wParam, msg->lParam);
  return window->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT PosixApi::DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

}  // namespace platform::posix
