#include "platform/posix/kernel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <shared_mutex>
#include <system_error>
#include <unordered_map>

#include "platform/posix/posix_api.h"

namespace platform::posix {

// ---- errors -------------------------------------------------------------

namespace {
thread_local DWORD tLastError = ERROR_SUCCESS;
}  // namespace

DWORD LastError() { return tLastError; }
void SetError(DWORD error) { tLastError = error; }

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case EBUSY:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case EMFILE:
    case ENFILE:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case ECANCELED:
      return ERROR_OPERATION_ABORTED;
    default:  // EIO, ENXIO, ENODEV and the rest: the device is not working
      return ERROR_GEN_FAILURE;
  }
}

// ---- refused thread starts (tests) ------------------------------------------

namespace {
std::atomic<int> gRefusedStarts{0};
}  // namespace

void RefuseThreadStartsForTest(int count) { gRefusedStarts.store(count); }

bool ThreadStartRefused() {
  int left = gRefusedStarts.load();
  while (left > 0) {
    if (gRefusedStarts.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

bool StartHelperThread(std::thread &thread, std::function<void()> body) {
  if (!ThreadStartRefused()) {
    try {
      thread = std::thread(std::move(body));
      return true;
    } catch (const std::system_error &) {
    }
  }
  SetError(ERROR_NOT_ENOUGH_MEMORY);
  return false;
}

// ---- Signal / Event -------------------------------------------------------

Signal::Signal(bool alwaysWatched)
    : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), watchers_(alwaysWatched ? 1 : 0) {}

Signal::~Signal() {
  if (fd_ >= 0) close(fd_);
}

void Signal::ArmLocked() {
  armed_ = true;
  const std::uint64_t one = 1;
  while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Signal::DisarmLocked() {
  armed_ = false;
  std::uint64_t value;
  while (read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

void Signal::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (set_) return;
  set_ = true;
  if (watchers_ > 0) ArmLocked();
}

void Signal::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!set_) return;
  set_ = false;
  if (armed_) DisarmLocked();
}

bool Signal::IsSet() {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool Signal::TryConsume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!set_) return false;
  set_ = false;
  if (armed_) DisarmLocked();
  return true;
}

void Signal::Watch() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++watchers_;
  if (set_ && !armed_) ArmLocked();
}

void Signal::Unwatch() {
  std::lock_guard<std::mutex> lock(mutex_);
  --watchers_;  // a descriptor left readable is emptied by the next reset
}

Event::Event(bool manualReset, bool initialState) : manual_(manualReset) {
  if (initialState) signal_.Set();
}

std::shared_ptr<Drivable> Event::Driver() {
  std::lock_guard<std::mutex> lock(driverMutex_);
  return driver_.lock();
}

void Event::SetDriver(std::weak_ptr<Drivable> driver) {
  std::lock_guard<std::mutex> lock(driverMutex_);
  driver_ = std::move(driver);
}

// ---- handle table -------------------------------------------------------

namespace {

// Values are multiples of 4 below 2^32 (callers may keep them in 32 bits) and
// are not reused soon, so a stale handle almost never names a new object.
struct HandleTable {
  std::shared_mutex mutex;
  std::unordered_map<std::uint32_t, std::shared_ptr<KernelObject>> objects;
  std::uint32_t next = 0x100;
};

constexpr std::size_t kMaxHandles = std::size_t{1} << 24;

HandleTable &Table() {
  static HandleTable *table = new HandleTable();  // never freed: used until exit
  return *table;
}

std::uint32_t KeyOf(HANDLE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0 || value > 0xFFFFFFFFu || (value & 3u) != 0) return 0;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

HANDLE AddHandle(std::shared_ptr<KernelObject> object) {
  HandleTable &t = Table();
  std::unique_lock<std::shared_mutex> lock(t.mutex);
  // The cap keeps the search for a free value short and finite.
  if (t.objects.size() >= kMaxHandles) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::uint32_t key;
  do {
    t.next += 4;
    if (t.next < 0x100) t.next = 0x104;  // wrapped: skip the low values
    key = t.next;
  } while (t.objects.count(key) != 0);
  try {
    t.objects.emplace(key, std::move(object));
  } catch (const std::bad_alloc &) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(key));
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  const std::uint32_t key = KeyOf(handle);
  if (key == 0) return nullptr;
  HandleTable &t = Table();
  std::shared_lock<std::shared_mutex> lock(t.mutex);
  auto it = t.objects.find(key);
  return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
  const std::uint32_t key = KeyOf(handle);
  if (key == 0) return nullptr;
  HandleTable &t = Table();
  std::unique_lock<std::shared_mutex> lock(t.mutex);
  auto it = t.objects.find(key);
  if (it == t.objects.end()) return nullptr;
  auto object = std::move(it->second);
  t.objects.erase(it);
  return object;
}

std::vector<std::shared_ptr<KernelObject>> AllObjects() {
  HandleTable &t = Table();
  std::shared_lock<std::shared_mutex> lock(t.mutex);
  std::vector<std::shared_ptr<KernelObject>> out;
  out.reserve(t.objects.size());
  for (auto &entry : t.objects) out.push_back(entry.second);
  return out;
}

// ---- waits ----------------------------------------------------------------

int PollTimeoutMs(Clock::time_point deadline, Clock::time_point now) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
  if (left <= 0) return 0;
  // Rounded up, so a wait never ends a little before its time; a longer
  // wait than poll can take is made of several.
  const auto ms = (left + 999) / 1000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

DWORD WaitAny(const std::vector<std::shared_ptr<KernelObject>> &objects, MessageQueue *queue,
              DWORD milliseconds) {
  const std::size_t count = objects.size();
  const bool infinite = milliseconds == INFINITE;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  // The objects' own states decide, not what poll marked ready. States are
  // read one by one, so an object at a lower index may be set just after it
  // was looked at and before a higher one is found set: once a candidate is
  // found, the lower indexes are looked at again, until none of them is set.
  // Whatever was set before the candidate was seen is then reported first.
  auto signalledBelow = [&](std::size_t end) -> std::size_t {
    for (std::size_t i = 0; i < end && i < count; ++i) {
      if (objects[i]->IsSignalled()) return i;
    }
    if (end > count && queue != nullptr && QueueHasMessages(*queue)) return count;
    return end;
  };
  auto firstSignalled = [&]() -> std::size_t {
    for (;;) {
      std::size_t candidate = signalledBelow(count + 1);
      if (candidate > count) return candidate;
      for (std::size_t lower = signalledBelow(candidate); lower < candidate;
           lower = signalledBelow(candidate)) {
        candidate = lower;
      }
      if (candidate == count || objects[candidate]->Acquire()) return candidate;
      // An auto-reset event taken by another waiter meanwhile: look again.
    }
  };
  std::size_t first = firstSignalled();
  if (first <= count) return WAIT_OBJECT_0 + static_cast<DWORD>(first);
  if (milliseconds == 0) return WAIT_TIMEOUT;

  // About to sleep: from here on every set reaches a descriptor.
  auto watch = [&](bool on) {
    for (const auto &object : objects) object->Watch(on);
    if (queue != nullptr) QueueWatch(*queue, on);
  };
  watch(true);
  // Devices whose pending operations will set what is waited for: this
  // thread watches them itself while it sleeps.
  std::vector<std::shared_ptr<Drivable>> drivers;
  for (const auto &object : objects) {
    std::shared_ptr<Drivable> driver = object->Driver();
    if (!driver || std::find(drivers.begin(), drivers.end(), driver) != drivers.end()) continue;
    if (driver->BeginDrive()) drivers.push_back(std::move(driver));
  }
  const std::size_t own = count + (queue != nullptr ? 1 : 0);
  const std::size_t total = own + drivers.size();
  pollfd stackFds[16];
  std::vector<pollfd> heapFds;
  pollfd *fds = stackFds;
  if (total > 16) {
    heapFds.resize(total);
    fds = heapFds.data();
  }
  for (std::size_t i = 0; i < count; ++i) fds[i] = pollfd{objects[i]->WaitFd(), POLLIN, 0};
  if (queue != nullptr) fds[count] = pollfd{QueueFd(*queue), POLLIN, 0};
  DWORD result = WAIT_TIMEOUT;
  for (;;) {
    first = firstSignalled();
    if (first <= count) {
      result = WAIT_OBJECT_0 + static_cast<DWORD>(first);
      break;
    }
    int timeout = infinite ? -1 : PollTimeoutMs(deadline, Clock::now());
    if (timeout == 0) break;
    for (std::size_t d = 0; d < drivers.size(); ++d) {
      int driverTimeout = -1;
      pollfd &slot = fds[own + d];
      if (!drivers[d]->DriveInterest(&slot, &driverTimeout)) slot = pollfd{-1, 0, 0};
      if (driverTimeout >= 0 && (timeout < 0 || driverTimeout < timeout)) timeout = driverTimeout;
    }
    if (poll(fds, static_cast<nfds_t>(total), timeout) < 0 && errno != EINTR) {
      SetError(ErrorFromErrno(errno));
      result = WAIT_FAILED;
      break;
    }
    for (const auto &driver : drivers) driver->Drive();
  }
  for (const auto &driver : drivers) driver->EndDrive();
  watch(false);
  return result;
}

}  // namespace platform::posix
