// Private core of the POSIX backend: the objects behind handles, the handle
// table, per-thread state and the helpers every part shares.
#pragma once

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/winapi.h"

namespace platform::posix {

using Clock = std::chrono::steady_clock;

// ---- errors -------------------------------------------------------------

DWORD LastError();
void SetError(DWORD error);
// The Win32 error closest to an errno value.
DWORD ErrorFromErrno(int err);

// ---- objects behind handles ---------------------------------------------

// Something a waiter can make progress on while it sleeps: a device whose
// pending read or write will set the event being waited on. The waiter
// watches the device's descriptor itself instead of waiting for the device's
// service thread to do it and wake it: one thread hand-off less per
// operation.
class Drivable {
 public:
  virtual ~Drivable() = default;
  // A waiter starts (true: it may drive) or stops driving.
  virtual bool BeginDrive() = 0;
  virtual void EndDrive() = 0;
  // Before each sleep: what to watch and for how long at most (-1: no
  // limit); false when nothing needs watching now.
  virtual bool DriveInterest(pollfd *watch, int *timeoutMs) = 0;
  // After each sleep: moves the pending operations on.
  virtual void Drive() = 0;
};

class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject &) = delete;
  KernelObject &operator=(const KernelObject &) = delete;
  virtual ~KernelObject() = default;

  // A descriptor that is readable while the object is signalled, or -1 when
  // the object cannot be waited on.
  virtual int WaitFd() const { return -1; }
  // Whether the object is signalled now, without consuming anything.
  virtual bool IsSignalled() { return false; }
  // Takes the signal for this waiter: true if the object still is signalled
  // (an auto-reset event is consumed here, and a waiter that lost the race
  // gets false).
  virtual bool Acquire() { return IsSignalled(); }
  // A waiter is about to sleep on WaitFd() (true) or is done with it (false).
  virtual void Watch(bool /*on*/) {}
  // What a waiter can drive to get this object signalled, if anything.
  virtual std::shared_ptr<Drivable> Driver() { return nullptr; }
  // The handle that named the object has been closed.
  virtual void HandleClosed() {}
};

// A flag with an eventfd that a waiter can sleep on in poll(). The
// descriptor is kept readable while the flag is set only while someone
// watches it: a set or reset that no sleeper can see costs no system call,
// so an operation that completes at once, or a queue whose consumer is busy,
// pays nothing for its event. The flag, the descriptor and the count of
// watchers change together under one lock.
class Signal {
 public:
  // alwaysWatched: for a descriptor that a loop outside the backend polls.
  explicit Signal(bool alwaysWatched = false);
  ~Signal();
  Signal(const Signal &) = delete;
  Signal &operator=(const Signal &) = delete;

  bool Valid() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Set();
  void Reset();
  bool IsSet();
  // Clears the flag if it was set; true when this call cleared it.
  bool TryConsume();
  // A waiter is about to sleep on Fd() (Watch) or is done with it (Unwatch).
  void Watch();
  void Unwatch();
  // From now on the descriptor never lies (a loop outside polls it).
  void WatchAlways() { Watch(); }

 private:
  void ArmLocked();
  void DisarmLocked();

  int fd_;
  std::mutex mutex_;
  bool set_ = false;
  bool armed_ = false;  // the descriptor is readable
  int watchers_ = 0;
};

class Event : public KernelObject {
 public:
  Event(bool manualReset, bool initialState);
  bool Valid() const { return signal_.Valid(); }
  void Set() { signal_.Set(); }
  void Reset() { signal_.Reset(); }
  int WaitFd() const override { return signal_.Fd(); }
  bool IsSignalled() override { return signal_.IsSet(); }
  bool Acquire() override { return manual_ ? signal_.IsSet() : signal_.TryConsume(); }
  void Watch(bool on) override { on ? signal_.Watch() : signal_.Unwatch(); }
  std::shared_ptr<Drivable> Driver() override;
  // The device whose pending operation will set this event (null: none).
  void SetDriver(std::weak_ptr<Drivable> driver);

 private:
  const bool manual_;
  Signal signal_;
  std::mutex driverMutex_;
  std::weak_ptr<Drivable> driver_;
};

// ---- calls that never throw -------------------------------------------------

// Runs one call of the backend: a resource the system refuses inside it (an
// allocation, a mutex) becomes the call's failure with ERROR_NOT_ENOUGH_MEMORY
// instead of an exception in the caller. `failure` is the call's failure value.
template <class R, class F>
R Guarded(R failure, F &&call) {
  try {
    return call();
  } catch (const std::bad_alloc &) {
  } catch (const std::system_error &) {
  }
  SetError(ERROR_NOT_ENOUGH_MEMORY);
  return failure;
}

template <class F>
void Guarded(F &&call) {
  try {
    call();
  } catch (const std::bad_alloc &) {
  } catch (const std::system_error &) {
  }
}

// ---- handle table -------------------------------------------------------

// Names the object with a new handle; nullptr (ERROR_NOT_ENOUGH_MEMORY set)
// when the table cannot take another object.
HANDLE AddHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);
// Every live object of one kind (used when a thread ends).
template <class T>
std::vector<std::shared_ptr<T>> ObjectsOfKind();
std::vector<std::shared_ptr<KernelObject>> AllObjects();

template <class T>
std::vector<std::shared_ptr<T>> ObjectsOfKind() {
  std::vector<std::shared_ptr<T>> out;
  for (auto &object : AllObjects()) {
    if (auto typed = std::dynamic_pointer_cast<T>(object)) out.push_back(std::move(typed));
  }
  return out;
}

// Looks the handle up as a T; on failure sets ERROR_INVALID_HANDLE.
template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
  auto typed = std::dynamic_pointer_cast<T>(LookupHandle(handle));
  if (!typed) SetError(ERROR_INVALID_HANDLE);
  return typed;
}

// ---- waits ----------------------------------------------------------------

class MessageQueue;
// Waits until one of the objects is signalled (lowest index wins, judged by
// each object's state in index order) or, when a queue is given, the queue
// holds a message (index objects.size()). Returns WAIT_OBJECT_0 + index,
// WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitAny(const std::vector<std::shared_ptr<KernelObject>> &objects, MessageQueue *queue,
              DWORD milliseconds);

// Milliseconds from now to the deadline for poll(): rounded up, never
// negative (which poll takes for "no limit"), at most INT_MAX.
int PollTimeoutMs(Clock::time_point deadline, Clock::time_point now);

// ---- threads ------------------------------------------------------------

// True when a thread start is to be refused (RefuseThreadStartsForTest).
bool ThreadStartRefused();
// Starts one of the backend's own helper threads. False, with
// ERROR_NOT_ENOUGH_MEMORY set, when the system has no thread to give: never
// throws.
bool StartHelperThread(std::thread &thread, std::function<void()> body);

// The calling thread's id, assigned on first use.
DWORD CurrentThreadId();
// Notes that the calling thread has issued device I/O, so its end cancels it.
void NoteThreadIssuedIo();

// ---- message queues -----------------------------------------------------

// The calling thread's queue, created on first use.
std::shared_ptr<MessageQueue> OwnQueue();
int QueueFd(const MessageQueue &queue);
bool QueueHasMessages(MessageQueue &queue);
void QueueWatch(MessageQueue &queue, bool on);

// ---- devices ------------------------------------------------------------

class Device;
// Drops, without completing them, the operations the thread issued on every
// device (the thread is ending).
void DropIoOfThread(DWORD threadId);

}  // namespace platform::posix
