// A serial device (or any file) opened with CreateFileA: the descriptor, the
// pending overlapped operations and the service thread that completes them.
#pragma once

#include <linux/serial.h>
#include <pthread.h>

#include <deque>
#include <thread>

#include "platform/posix/kernel.h"

struct termios;

namespace platform::posix {

// Clears what a line discipline would do to the bytes (echo, editing, CR/LF
// mapping, signals); keeps the line settings.
void MakeRawTermios(termios &t);

class Device : public KernelObject {
 public:
  // Opens `path`; on failure returns null and stores the Win32 error.
  static std::shared_ptr<Device> Open(const char *path, DWORD access, DWORD shareMode,
                                      DWORD creationDisposition, DWORD *error);
  ~Device() override;

  void HandleClosed() override { Close(); }

  DWORD FileType();
  BOOL Setup();
  BOOL Purge(DWORD flags);
  BOOL GetState(DCB *dcb);
  BOOL SetState(const DCB &dcb);
  BOOL SetTimeouts(const COMMTIMEOUTS &timeouts);
  BOOL SetMask(DWORD mask);
  BOOL ClearError(DWORD *errors, COMSTAT *stat);
  BOOL WaitEvent(DWORD *eventMask, OVERLAPPED *overlapped);
  BOOL Read(void *buffer, DWORD toRead, DWORD *read, OVERLAPPED *overlapped);
  BOOL Write(const void *buffer, DWORD toWrite, DWORD *written, OVERLAPPED *overlapped);
  // Aborts (ERROR_OPERATION_ABORTED) the operations the thread issued.
  void Cancel(DWORD threadId);
  // Forgets the thread's operations without touching their records.
  void Drop(DWORD threadId);
  // Waits until the record is no longer pending (records without an event).
  void WaitCompletion(const OVERLAPPED *overlapped);
  void Close();

 private:
  enum class Kind { kRead, kWrite, kWaitEvent };
  struct Op {
    Kind kind;
    OVERLAPPED *ov;
    std::shared_ptr<Event> event;
    BYTE *data = nullptr;
    DWORD size = 0;
    DWORD done = 0;
    DWORD *maskOut = nullptr;
    DWORD issuer = 0;
    std::uint64_t offset = 0;  // regular files
    // Read timing, fixed when the operation is issued.
    DWORD interval = 0;             // 0: no interval time-out
    bool returnAtOnce = false;      // {MAXDWORD, 0, 0}
    bool anyByteCompletes = false;  // {MAXDWORD, MAXDWORD, n}, pipes
    bool hasDeadline = false;       // total time-out
    Clock::time_point deadline;
    Clock::time_point lastByte;
  };
  enum class Fill { kFull, kPartial, kEof, kHangup, kError };

  Device() = default;

  bool CheckOpen();  // with mutex_ held: false (ERROR_INVALID_HANDLE) once closed
  bool CheckTty();   // with mutex_ held: also fails for devices that are not ttys
  BOOL Submit(Op &&op, OVERLAPPED *overlapped, DWORD *count);
  BOOL Issue(Op &&op, DWORD *count);
  Fill FillRead(Op &op, int *err);
  Fill FillWrite(Op &op, int *err);
  bool ReadFinished(const Op &op, Fill fill, int err, Clock::time_point now, DWORD *status);
  bool WriteFinished(const Op &op, Fill fill, int err, Clock::time_point now, DWORD *status);
  void Complete(Op &op, DWORD status, DWORD eventMask = 0);
  void AbortAll(std::deque<Op> &ops);
  void Progress(Clock::time_point now);
  int NextTimeoutMs(Clock::time_point now) const;
  void Wake();
  void ServiceLoop();
  void RaiseEvents(DWORD events);
  void CheckLineErrors();
  void ModemLoop();
  void StopModemWatcher();
  void ApplyRawMode();
  static DWORD LineEvents(const serial_icounter_struct &before, const serial_icounter_struct &after,
                          bool lines);

  std::mutex mutex_;
  std::condition_variable completed_;  // for records without an event
  int fd_ = -1;
  int wakeFd_ = -1;
  bool closed_ = false;
  DWORD fileType_ = FILE_TYPE_UNKNOWN;
  bool tty_ = false;
  bool regular_ = false;
  bool exclusive_ = false;
  bool stripNulls_ = false;
  bool icountSupported_ = false;
  bool modemSupported_ = false;
  serial_icounter_struct errorCounts_{};  // ClearCommError's baseline
  serial_icounter_struct eventCounts_{};  // EV_ERR / EV_BREAK baseline
  COMMTIMEOUTS timeouts_{};
  DCB dcb_{};  // the last settings applied: fields termios cannot hold
  DWORD mask_ = 0;
  DWORD history_ = 0;  // events seen while no wait was pending
  std::deque<Op> reads_;
  std::deque<Op> writes_;
  std::deque<Op> waits_;
  std::thread service_;
  bool stopping_ = false;
  bool wakePending_ = false;
  // The modem-line watcher (devices with modem lines only).
  std::thread modem_;
  pthread_t modemHandle_{};
  std::condition_variable modemCv_;
  bool modemStop_ = false;
  bool modemExited_ = false;
};

}  // namespace platform::posix
