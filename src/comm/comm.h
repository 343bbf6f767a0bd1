// TComm: the non-visual component that owns one serial device.
//
// It keeps the device path, line settings and time-outs, opens the device for
// overlapped I/O with exclusive access, runs a reader and a writer thread
// while open, queues write requests to the writer, and turns what the workers
// post to its hidden window into events on the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/osapi.h"
#include "platform/rtl.h"

namespace comm {

using platform::TComponent;
using platform::TObject;

enum class TParity : std::uint8_t { None, Odd, Even, Mark, Space };
enum class TStopBits : std::uint8_t { _1, _1_5, _2 };
enum class TByteSize : std::uint8_t { _5, _6, _7, _8 };
enum class TDtrControl : std::uint8_t { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl : std::uint8_t { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };

using TReceiveDataEvent = std::function<void(TObject *Sender, void *Buffer, std::uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(TObject *Sender, std::uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(TObject *Sender, std::uint32_t ModemEvent)>;
using TSendDataEmptyEvent = std::function<void(TObject *Sender)>;
using platform::TNotifyEvent;

class ECommsError : public platform::Exception {
 public:
  using platform::Exception::Exception;
};

class TReadThread;
class TReceiveGate;
class TWriteThread;

class TComm : public TComponent {
 public:
  explicit TComm(TComponent *AOwner, platform::OsApi &api = platform::DefaultOsApi());
  ~TComm() override;

  void OpenPort();
  void ClosePort();
  bool SendBytes(const void *Buffer, std::uint16_t BufferLength);

  // Published properties, in published order.
  std::uint32_t ComHandle() const;
  const std::string &CommName() const { return FCommName; }
  void SetCommName(const std::string &v) { FCommName = v; }
  std::uint32_t BaudRate() const { return FBaudRate; }
  void SetBaudRate(std::uint32_t v);
  bool ParityCheck() const { return FParityCheck; }
  void SetParityCheck(bool v);
  bool Outx_CtsFlow() const { return FOutx_CtsFlow; }
  void SetOutx_CtsFlow(bool v);
  bool Outx_DsrFlow() const { return FOutx_DsrFlow; }
  void SetOutx_DsrFlow(bool v);
  TDtrControl DtrControl() const { return FDtrControl; }
  void SetDtrControl(TDtrControl v);
  bool DsrSensitivity() const { return FDsrSensitivity; }
  void SetDsrSensitivity(bool v);
  bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
  void SetTxContinueOnXoff(bool v);
  bool Outx_XonXoffFlow() const { return FOutx_XonXoffFlow; }
  void SetOutx_XonXoffFlow(bool v);
  bool Inx_XonXoffFlow() const { return FInx_XonXoffFlow; }
  void SetInx_XonXoffFlow(bool v);
  bool ReplaceWhenParityError() const { return FReplaceWhenParityError; }
  void SetReplaceWhenParityError(bool v);
  bool IgnoreNullChar() const { return FIgnoreNullChar; }
  void SetIgnoreNullChar(bool v);
  TRtsControl RtsControl() const { return FRtsControl; }
  void SetRtsControl(TRtsControl v);
  std::uint16_t XonLimit() const { return FXonLimit; }
  void SetXonLimit(std::uint16_t v);
  std::uint16_t XoffLimit() const { return FXoffLimit; }
  void SetXoffLimit(std::uint16_t v);
  TByteSize ByteSize() const { return FByteSize; }
  void SetByteSize(TByteSize v);
  TParity Parity() const { return FParity; }
  // Unlike a bare field, a changed parity reaches an open device at once.
  void SetParity(TParity v);
  TStopBits StopBits() const { return FStopBits; }
  void SetStopBits(TStopBits v);
  char XonChar() const { return FXonChar; }
  void SetXonChar(char v);
  char XoffChar() const { return FXoffChar; }
  void SetXoffChar(char v);
  char ReplacedChar() const { return FReplacedChar; }
  void SetReplacedChar(char v);
  std::uint32_t ReadIntervalTimeout() const { return FReadIntervalTimeout; }
  void SetReadIntervalTimeout(std::uint32_t v);
  std::uint32_t ReadTotalTimeoutMultiplier() const { return FReadTotalTimeoutMultiplier; }
  void SetReadTotalTimeoutMultiplier(std::uint32_t v);
  std::uint32_t ReadTotalTimeoutConstant() const { return FReadTotalTimeoutConstant; }
  void SetReadTotalTimeoutConstant(std::uint32_t v);
  std::uint32_t WriteTotalTimeoutMultiplier() const { return FWriteTotalTimeoutMultiplier; }
  void SetWriteTotalTimeoutMultiplier(std::uint32_t v);
  std::uint32_t WriteTotalTimeoutConstant() const { return FWriteTotalTimeoutConstant; }
  void SetWriteTotalTimeoutConstant(std::uint32_t v);

  TReceiveDataEvent OnReceiveData;
  TReceiveErrorEvent OnReceiveError;
  TModemStateChangeEvent OnModemStateChange;
  TNotifyEvent OnRequestHangup;
  TSendDataEmptyEvent OnSendDataEmpty;

  // The published property names, in published order (stored layouts are
  // applied in this order), and a writer that takes a stored value as text.
  static const std::vector<std::string> &PublishedProperties();
  void SetPropertyText(const std::string &name, const std::string &value);

  // Inspection for tests and diagnostics.
  HANDLE DeviceHandle() const { return FHandle; }
  HWND NotifyWindowHandle() const { return FNotifyWindow; }
  bool SendDataEmptyFlag() const { return FSendDataEmpty.load(); }
  const TReadThread *ReaderThread() const { return Reader; }
  // Chunks a reader posted that the window has not taken yet.
  long QueuedChunks() const;
  const TWriteThread *WriterThread() const { return Writer; }

 private:
  void ApplyLineSettings();
  void ApplyTimeouts();
  void StopReader();
  void StopWriter();
  LRESULT NotifyWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
  template <typename T>
  void SetLine(T &field, T value);
  void SetTimeout(std::uint32_t &field, std::uint32_t value);

  platform::OsApi &api_;

  TReadThread *Reader = nullptr;
  TWriteThread *Writer = nullptr;
  HANDLE FHandle = nullptr;
  HANDLE CloseEvent = nullptr;
  HWND FNotifyWindow = nullptr;
  // One-byte flag stored by the main thread and the writer; last store wins.
  std::atomic<bool> FSendDataEmpty{true};
  // Chunks posted by a reader and not yet taken here, over every opening.
  std::unique_ptr<TReceiveGate> FReceiveGate;

  std::string FCommName = "COM2";
  std::uint32_t FBaudRate = 9600;
  bool FParityCheck = false;
  bool FOutx_CtsFlow = true;
  bool FOutx_DsrFlow = true;
  TDtrControl FDtrControl = TDtrControl::DtrEnable;
  bool FDsrSensitivity = false;
  bool FTxContinueOnXoff = true;
  bool FOutx_XonXoffFlow = false;
  bool FInx_XonXoffFlow = false;
  bool FReplaceWhenParityError = false;
  bool FIgnoreNullChar = false;
  TRtsControl FRtsControl = TRtsControl::RtsEnable;
  std::uint16_t FXonLimit = 10;
  std::uint16_t FXoffLimit = 10;
  TByteSize FByteSize = TByteSize::_8;
  TParity FParity = TParity::None;
  TStopBits FStopBits = TStopBits::_1;
  char FXonChar = 17;
  char FXoffChar = 19;
  char FReplacedChar = 0;
  std::uint32_t FReadIntervalTimeout = 10;
  std::uint32_t FReadTotalTimeoutMultiplier = 0;
  std::uint32_t FReadTotalTimeoutConstant = 0;
  std::uint32_t FWriteTotalTimeoutMultiplier = 0;
  std::uint32_t FWriteTotalTimeoutConstant = 0;
};

}  // namespace comm
