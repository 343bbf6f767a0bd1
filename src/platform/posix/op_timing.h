// The timing of one overlapped read or write: fixed once, when the operation
// is issued, from the device's COMMTIMEOUTS, the size asked and the start
// time. A plain value with no lock and no descriptor; the operation service
// asks it "finished?" whenever the device has nothing more to give or take
// just now, and "next wake in ms" before it sleeps.
#pragma once

#include "platform/posix/kernel.h"

namespace platform::posix {

struct OpTiming {
  // What the operation runs on: a tty follows COMMTIMEOUTS; a pipe, socket
  // or other stream completes a read with whatever came; a file completes
  // at once.
  enum class Medium { kTty, kStream, kFile };

  static OpTiming ForRead(const COMMTIMEOUTS &t, DWORD size, Medium medium,
                          Clock::time_point start);
  static OpTiming ForWrite(const COMMTIMEOUTS &t, DWORD size, Medium medium,
                           Clock::time_point start);

  // With `done` bytes so far (the last one taken at lastByte) and nothing
  // more to be had at this moment: is the operation over at `now`?
  bool Finished(DWORD done, Clock::time_point lastByte, Clock::time_point now) const;
  // Milliseconds until Finished can turn true without another byte: -1
  // when only bytes can end it, else 0 to INT_MAX, rounded up.
  int NextWakeMs(DWORD done, Clock::time_point lastByte, Clock::time_point now) const;

  DWORD interval = 0;             // ms allowed between bytes once one came; 0: none
  bool returnAtOnce = false;      // {MAXDWORD, 0, 0} reads, files
  bool anyByteCompletes = false;  // {MAXDWORD, MAXDWORD, n} reads, streams
  bool hasDeadline = false;       // a total time-out runs
  Clock::time_point deadline;
};

}  // namespace platform::posix
