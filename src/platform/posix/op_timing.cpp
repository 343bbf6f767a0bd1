#include "platform/posix/op_timing.h"

namespace platform::posix {

namespace {

// A total time-out of more than this is no limit: it also keeps the deadline
// inside what the clock can hold (MAXDWORD times a large size overflows it).
constexpr std::uint64_t kLongestTotalMs = std::uint64_t{1} << 40;  // about 35 years

void SetTotal(OpTiming &timing, std::uint64_t totalMs, Clock::time_point start) {
  if (totalMs == 0 || totalMs > kLongestTotalMs) return;
  timing.hasDeadline = true;
  timing.deadline = start + std::chrono::milliseconds(totalMs);
}

}  // namespace

OpTiming OpTiming::ForRead(const COMMTIMEOUTS &t, DWORD size, Medium medium,
                           Clock::time_point start) {
  OpTiming timing;
  const bool maxIntervalOnly = t.ReadIntervalTimeout == MAXDWORD &&
                               t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  if (medium == Medium::kFile || (medium == Medium::kTty && maxIntervalOnly)) {
    timing.returnAtOnce = true;
  } else if (medium == Medium::kStream) {
    timing.anyByteCompletes = true;
  } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
    timing.anyByteCompletes = true;  // or nothing by the constant, however short
    timing.hasDeadline = true;
    timing.deadline = start + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
  } else {
    timing.interval = t.ReadIntervalTimeout == MAXDWORD ? 0 : t.ReadIntervalTimeout;
    SetTotal(timing,
             std::uint64_t{t.ReadTotalTimeoutMultiplier} * size + t.ReadTotalTimeoutConstant,
             start);
  }
  return timing;
}

OpTiming OpTiming::ForWrite(const COMMTIMEOUTS &t, DWORD size, Medium medium,
                            Clock::time_point start) {
  OpTiming timing;
  if (medium == Medium::kFile) {
    timing.returnAtOnce = true;
  } else if (medium == Medium::kTty) {
    SetTotal(timing,
             std::uint64_t{t.WriteTotalTimeoutMultiplier} * size + t.WriteTotalTimeoutConstant,
             start);
  }
  return timing;
}

bool OpTiming::Finished(DWORD done, Clock::time_point lastByte, Clock::time_point now) const {
  if (returnAtOnce) return true;
  if (anyByteCompletes && done > 0) return true;
  if (interval != 0 && done > 0 && now - lastByte >= std::chrono::milliseconds(interval)) {
    return true;
  }
  return hasDeadline && now >= deadline;
}

int OpTiming::NextWakeMs(DWORD done, Clock::time_point lastByte, Clock::time_point now) const {
  if (returnAtOnce || (anyByteCompletes && done > 0)) return 0;
  bool any = false;
  Clock::time_point next;
  if (interval != 0 && done > 0) {
    next = lastByte + std::chrono::milliseconds(interval);
    any = true;
  }
  if (hasDeadline && (!any || deadline < next)) {
    next = deadline;
    any = true;
  }
  return any ? PollTimeoutMs(next, now) : -1;
}

}  // namespace platform::posix
