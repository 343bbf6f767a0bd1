// Errors, handles, events, waits, time and the local heap; the process-wide
// backend object.
#include "platform/posix/posix_api.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/kernel.h"

namespace platform {

OsApi &DefaultOsApi() {
  static posix::PosixApi *api = new posix::PosixApi();  // never freed: threads use it until exit
  return *api;
}

namespace posix {

namespace {

constexpr DWORD kMaxWaitObjects = 64;
constexpr DWORD kQsAllPostMessage = 0x0100;

// Resolves the handles of a wait; false (with the error set) if one is bad.
bool ResolveWaitables(DWORD count, const HANDLE *handles, BOOL waitAll,
                      std::vector<std::shared_ptr<KernelObject>> &objects) {
  if (count > kMaxWaitObjects || (count > 0 && handles == nullptr)) {
    SetError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (waitAll && count > 1) {
    SetError(ERROR_NOT_SUPPORTED);
    return false;
  }
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    auto object = LookupHandle(handles[i]);
    if (!object || object->WaitFd() < 0) {
      SetError(ERROR_INVALID_HANDLE);
      return false;
    }
    objects.push_back(std::move(object));
  }
  return true;
}

}  // namespace

DWORD PosixApi::GetLastError() { return LastError(); }
void PosixApi::SetLastError(DWORD error) { SetError(error); }

BOOL PosixApi::CloseHandle(HANDLE object) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto closed = RemoveHandle(object);
    if (!closed) {
      SetError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    closed->HandleClosed();
    return TRUE;
  });
}

// ---- events and waits -------------------------------------------------------

HANDLE PosixApi::CreateEventA(void *, BOOL manualReset, BOOL initialState, const char *name) {
  return Guarded(HANDLE{nullptr}, [&]() -> HANDLE {
    if (name != nullptr) {  // named events would be shared between processes: not offered
      SetError(ERROR_NOT_SUPPORTED);
      return nullptr;
    }
    auto event = std::make_shared<Event>(manualReset != FALSE, initialState != FALSE);
    if (!event->Valid()) {
      SetError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    return AddHandle(std::move(event));
  });
}

BOOL PosixApi::SetEvent(HANDLE event) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto object = Lookup<Event>(event);
    if (!object) return FALSE;
    object->Set();
    return TRUE;
  });
}

BOOL PosixApi::ResetEvent(HANDLE event) {
  return Guarded(FALSE, [&]() -> BOOL {
    auto object = Lookup<Event>(event);
    if (!object) return FALSE;
    object->Reset();
    return TRUE;
  });
}

DWORD PosixApi::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &object, FALSE, milliseconds);
}

DWORD PosixApi::WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                       DWORD milliseconds) {
  return Guarded(DWORD{WAIT_FAILED}, [&]() -> DWORD {
    std::vector<std::shared_ptr<KernelObject>> objects;
    if (count == 0) {
      SetError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    if (!ResolveWaitables(count, handles, waitAll, objects)) return WAIT_FAILED;
    return WaitAny(objects, nullptr, milliseconds);
  });
}

DWORD PosixApi::MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                          DWORD milliseconds, DWORD wakeMask) {
  return Guarded(DWORD{WAIT_FAILED}, [&]() -> DWORD {
    std::vector<std::shared_ptr<KernelObject>> objects;
    if (!ResolveWaitables(count, handles, waitAll, objects)) return WAIT_FAILED;
    if ((wakeMask & (QS_POSTMESSAGE | kQsAllPostMessage)) == 0) {
      if (count == 0) {  // nothing to wait for but time
        Sleep(milliseconds);
        return WAIT_TIMEOUT;
      }
      return WaitAny(objects, nullptr, milliseconds);
    }
    std::shared_ptr<MessageQueue> queue = OwnQueue();
    return WaitAny(objects, queue.get(), milliseconds);
  });
}

void PosixApi::Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) pause();
  }
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::uint64_t PosixApi::TickCount64() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
}

// ---- local heap -------------------------------------------------------------

HLOCAL PosixApi::LocalAlloc(UINT flags, std::size_t bytes) {
  const std::size_t size = bytes == 0 ? 1 : bytes;
  void *block = (flags & LMEM_ZEROINIT) != 0 ? std::calloc(1, size) : std::malloc(size);
  if (block == nullptr) SetError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

HLOCAL PosixApi::LocalFree(HLOCAL mem) {
  std::free(mem);
  return nullptr;
}

}  // namespace posix
}  // namespace platform
