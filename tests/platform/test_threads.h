// Small helpers shared by the platform tests: running a lambda on a thread
// made through OsApi, and waits that fail a test instead of hanging it.
#pragma once

#include <functional>
#include <memory>

#include "platform/osapi.h"

namespace platform_test {

inline DWORD RunFunction(void *parameter) {
  std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()> *>(parameter));
  (*fn)();
  return 0;
}

// Starts fn on a new thread; returns its handle (null on failure).
inline HANDLE StartThread(platform::OsApi &api, std::function<void()> fn, DWORD flags = 0,
                          DWORD *threadId = nullptr) {
  auto *owned = new std::function<void()>(std::move(fn));
  DWORD id = 0;
  HANDLE thread = api.CreateThread(&RunFunction, owned, flags, &id);
  if (thread == nullptr) delete owned;
  if (threadId != nullptr) *threadId = id;
  return thread;
}

// Long enough for any machine; a wait that runs out means a fault.
constexpr DWORD kPatience = 10000;

}  // namespace platform_test
