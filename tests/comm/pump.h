// Runs the calling (main) thread's message loop until a condition holds.
#pragma once

#include <chrono>
#include <functional>

#include "platform/osapi.h"

inline int PumpMessages(platform::OsApi &api) {
  MSG msg{};
  int n = 0;
  while (api.PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    api.TranslateMessage(&msg);
    api.DispatchMessageA(&msg);
    ++n;
  }
  return n;
}

inline bool PumpUntil(platform::OsApi &api, const std::function<bool()> &done,
                      int timeoutMs = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    PumpMessages(api);
    if (done()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    api.Sleep(1);
  }
}

// Pumps for a while so that anything that would arrive does.
inline void PumpFor(platform::OsApi &api, int ms) {
  PumpUntil(api, [] { return false; }, ms);
}
