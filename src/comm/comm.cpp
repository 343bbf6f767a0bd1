#include "comm/comm.h"

#include <cstring>
#include <map>

#include "comm/messages.h"
#include "comm/read_thread.h"
#include "comm/receive_gate.h"
#include "comm/write_thread.h"

namespace comm {

namespace {

constexpr DWORD kInQueue = 2048;
constexpr DWORD kOutQueue = 1024;
constexpr DWORD kStopWaitMs = 10000;

DWORD DtrBits(TDtrControl v) {
  switch (v) {
    case TDtrControl::DtrEnable:
      return 0x0010;
    case TDtrControl::DtrHandshake:
      return 0x0020;
    case TDtrControl::DtrDisable:
      break;
  }
  return 0;
}

DWORD RtsBits(TRtsControl v) {
  switch (v) {
    case TRtsControl::RtsEnable:
      return 0x1000;
    case TRtsControl::RtsHandshake:
      return 0x2000;
    case TRtsControl::RtsTransmissionAvailable:
      return 0x3000;
    case TRtsControl::RtsDisable:
      break;
  }
  return 0;
}

}  // namespace

TComm::TComm(TComponent *AOwner, platform::OsApi &api) : TComponent(AOwner), api_(api) {
  if (!Designing()) {
    FReceiveGate = std::make_unique<TReceiveGate>(api_);
    FNotifyWindow =
        api_.AllocateHWnd([this](HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
          try {
            return NotifyWndProc(wnd, msg, wParam, lParam);
          } catch (...) {
            platform::HandleEscapedException();
            return 0;
          }
        });
  }
}

TComm::~TComm() {
  // Workers hold the device, the window and our flag: never leave them behind.
  ClosePort();
  if (FNotifyWindow != nullptr) {
    // Chunks still queued for the window would otherwise never be released.
    MSG msg{};
    while (api_.PeekMessageA(&msg, FNotifyWindow, NotifyGotData, NotifyGotData, PM_REMOVE)) {
      FReceiveGate->Taken();
      api_.LocalFree(reinterpret_cast<HLOCAL>(msg.lParam));
    }
    api_.DeallocateHWnd(FNotifyWindow);
    FNotifyWindow = nullptr;
  }
}

long TComm::QueuedChunks() const { return FReceiveGate ? FReceiveGate->Queued() : 0; }

std::uint32_t TComm::ComHandle() const {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(FHandle));
}

void TComm::OpenPort() {
  if (FHandle != nullptr) throw ECommsError("This serial port already opened");

  HANDLE handle =
      api_.CreateFileA(FCommName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    throw ECommsError("Error opening serial port");
  }
  if (api_.GetFileType(handle) != FILE_TYPE_CHAR) {
    api_.CloseHandle(handle);
    throw ECommsError("File handle is not a comm handle ");
  }
  if (!api_.SetupComm(handle, kInQueue, kOutQueue)) {
    api_.CloseHandle(handle);
    throw ECommsError("Cannot setup comm buffer");
  }
  FHandle = handle;
  api_.PurgeComm(FHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  FSendDataEmpty.store(true);
  ApplyTimeouts();
  ApplyLineSettings();

  CloseEvent = api_.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (CloseEvent == nullptr) {
    api_.CloseHandle(FHandle);
    FHandle = nullptr;
    throw ECommsError("Unable to create event");
  }

  try {
    Reader = new TReadThread(api_);
  } catch (...) {
    Reader = nullptr;
    api_.CloseHandle(CloseEvent);
    CloseEvent = nullptr;
    api_.CloseHandle(FHandle);
    FHandle = nullptr;
    throw ECommsError("Unable to create read thread");
  }
  Reader->PortHandle = FHandle;
  Reader->CloseEvent = CloseEvent;
  Reader->NotifyWindow = FNotifyWindow;
  Reader->Gate = FReceiveGate.get();
  Reader->SetPriority(THREAD_PRIORITY_HIGHEST);

  try {
    Writer = new TWriteThread(api_);
  } catch (...) {
    // The reader was never resumed: there is nothing to wait for, and its
    // release lets it end without running.
    api_.SetEvent(CloseEvent);
    api_.PurgeComm(FHandle, PURGE_RXABORT | PURGE_RXCLEAR);
    delete Reader;
    Reader = nullptr;
    Writer = nullptr;
    api_.CloseHandle(CloseEvent);
    CloseEvent = nullptr;
    api_.CloseHandle(FHandle);
    FHandle = nullptr;
    throw ECommsError("Unable to create write thread");
  }
  Writer->PortHandle = FHandle;
  Writer->CloseEvent = CloseEvent;
  Writer->NotifyWindow = FNotifyWindow;
  Writer->SendDataEmptyRef = &FSendDataEmpty;
  Writer->SetPriority(THREAD_PRIORITY_ABOVE_NORMAL);

  Reader->Resume();
  Writer->Resume();
}

void TComm::ClosePort() {
  if (FHandle == nullptr) return;
  StopReader();
  StopWriter();
  if (CloseEvent != nullptr) api_.CloseHandle(CloseEvent);
  CloseEvent = nullptr;
  api_.CloseHandle(FHandle);
  FHandle = nullptr;
}

void TComm::StopReader() {
  if (Reader == nullptr) return;
  api_.SetEvent(CloseEvent);
  api_.PurgeComm(FHandle, PURGE_RXABORT | PURGE_RXCLEAR);
  if (api_.WaitForSingleObject(Reader->Handle(), kStopWaitMs) == WAIT_TIMEOUT) Reader->Terminate();
  delete Reader;
  Reader = nullptr;
}

void TComm::StopWriter() {
  if (Writer == nullptr) return;
  api_.SetEvent(CloseEvent);
  api_.PurgeComm(FHandle, PURGE_TXABORT | PURGE_TXCLEAR);
  FSendDataEmpty.store(true);
  if (api_.WaitForSingleObject(Writer->Handle(), kStopWaitMs) == WAIT_TIMEOUT) Writer->Terminate();
  delete Writer;
  Writer = nullptr;
}

bool TComm::SendBytes(const void *Buffer, std::uint16_t BufferLength) {
  if (Writer == nullptr || BufferLength == 0) return false;
  auto *block = static_cast<BYTE *>(api_.LocalAlloc(LPTR, std::size_t{BufferLength} + 1));
  if (block == nullptr) return false;
  std::memcpy(block, Buffer, BufferLength);
  FSendDataEmpty.store(false);
  if (Writer->PostRequest(BufferLength, reinterpret_cast<LPARAM>(block))) return true;
  // Nobody else will ever see this copy.
  api_.LocalFree(block);
  FSendDataEmpty.store(true);
  return false;
}

LRESULT TComm::NotifyWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case NotifyGotData: {
      void *block = reinterpret_cast<void *>(lParam);
      if (FReceiveGate) FReceiveGate->Taken();
      try {
        if (OnReceiveData) OnReceiveData(this, block, static_cast<std::uint16_t>(wParam & 0xFFFF));
      } catch (...) {
        api_.LocalFree(block);
        throw;
      }
      api_.LocalFree(block);
      return 0;
    }
    case NotifyReceiveError:
      if (OnReceiveError) OnReceiveError(this, static_cast<std::uint32_t>(lParam));
      return 0;
    case NotifyRequestHangup:
      if (OnRequestHangup) OnRequestHangup(this);
      return 0;
    case NotifyModemState:
      if (OnModemStateChange) OnModemStateChange(this, static_cast<std::uint32_t>(lParam));
      return 0;
    case NotifySendEmpty:
      if (OnSendDataEmpty) OnSendDataEmpty(this);
      return 0;
    default:
      return api_.DefWindowProcA(wnd, msg, wParam, lParam);
  }
}

void TComm::ApplyLineSettings() {
  if (FHandle == nullptr) return;
  DCB dcb{};
  // Without the device's current block there is nothing sound to write.
  if (!api_.GetCommState(FHandle, &dcb)) return;
  dcb.BaudRate = FBaudRate;
  DWORD flags = 0x0001;  // fBinary
  if (FParityCheck) flags |= 0x0002;
  if (FOutx_CtsFlow) flags |= 0x0004;
  if (FOutx_DsrFlow) flags |= 0x0008;
  flags |= DtrBits(FDtrControl);
  if (FDsrSensitivity) flags |= 0x0040;
  if (FTxContinueOnXoff) flags |= 0x0080;
  if (FOutx_XonXoffFlow) flags |= 0x0100;
  if (FInx_XonXoffFlow) flags |= 0x0200;
  if (FReplaceWhenParityError) flags |= 0x0400;
  if (FIgnoreNullChar) flags |= 0x0800;
  flags |= RtsBits(FRtsControl);
  platform::SetDcbFlags(dcb, flags);
  dcb.XonLim = FXonLimit;
  dcb.XoffLim = FXoffLimit;
  dcb.ByteSize = static_cast<BYTE>(static_cast<int>(FByteSize) + 5);
  dcb.Parity = static_cast<BYTE>(FParity);
  dcb.StopBits = static_cast<BYTE>(FStopBits);
  dcb.XonChar = FXonChar;
  dcb.XoffChar = FXoffChar;
  dcb.ErrorChar = FReplacedChar;
  api_.SetCommState(FHandle, &dcb);
}

void TComm::ApplyTimeouts() {
  if (FHandle == nullptr) return;
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = FReadIntervalTimeout;
  t.ReadTotalTimeoutMultiplier = FReadTotalTimeoutMultiplier;
  t.ReadTotalTimeoutConstant = FReadTotalTimeoutConstant;
  t.WriteTotalTimeoutMultiplier = FWriteTotalTimeoutMultiplier;
  t.WriteTotalTimeoutConstant = FWriteTotalTimeoutConstant;
  api_.SetCommTimeouts(FHandle, &t);
}

template <typename T>
void TComm::SetLine(T &field, T value) {
  if (field == value) return;
  field = value;
  if (FHandle != nullptr) ApplyLineSettings();
}

void TComm::SetTimeout(std::uint32_t &field, std::uint32_t value) {
  if (field == value) return;
  field = value;
  if (FHandle != nullptr) ApplyTimeouts();
}

void TComm::SetBaudRate(std::uint32_t v) { SetLine(FBaudRate, v); }
void TComm::SetParityCheck(bool v) { SetLine(FParityCheck, v); }
void TComm::SetOutx_CtsFlow(bool v) { SetLine(FOutx_CtsFlow, v); }
void TComm::SetOutx_DsrFlow(bool v) { SetLine(FOutx_DsrFlow, v); }
void TComm::SetDtrControl(TDtrControl v) { SetLine(FDtrControl, v); }
void TComm::SetDsrSensitivity(bool v) { SetLine(FDsrSensitivity, v); }
void TComm::SetTxContinueOnXoff(bool v) { SetLine(FTxContinueOnXoff, v); }
void TComm::SetOutx_XonXoffFlow(bool v) { SetLine(FOutx_XonXoffFlow, v); }
void TComm::SetInx_XonXoffFlow(bool v) { SetLine(FInx_XonXoffFlow, v); }
void TComm::SetReplaceWhenParityError(bool v) { SetLine(FReplaceWhenParityError, v); }
void TComm::SetIgnoreNullChar(bool v) { SetLine(FIgnoreNullChar, v); }
void TComm::SetRtsControl(TRtsControl v) { SetLine(FRtsControl, v); }
void TComm::SetXonLimit(std::uint16_t v) { SetLine(FXonLimit, v); }
void TComm::SetXoffLimit(std::uint16_t v) { SetLine(FXoffLimit, v); }
void TComm::SetByteSize(TByteSize v) { SetLine(FByteSize, v); }
void TComm::SetParity(TParity v) { SetLine(FParity, v); }
void TComm::SetStopBits(TStopBits v) { SetLine(FStopBits, v); }
void TComm::SetXonChar(char v) { SetLine(FXonChar, v); }
void TComm::SetXoffChar(char v) { SetLine(FXoffChar, v); }
void TComm::SetReplacedChar(char v) { SetLine(FReplacedChar, v); }
void TComm::SetReadIntervalTimeout(std::uint32_t v) { SetTimeout(FReadIntervalTimeout, v); }
void TComm::SetReadTotalTimeoutMultiplier(std::uint32_t v) {
  SetTimeout(FReadTotalTimeoutMultiplier, v);
}
void TComm::SetReadTotalTimeoutConstant(std::uint32_t v) {
  SetTimeout(FReadTotalTimeoutConstant, v);
}
void TComm::SetWriteTotalTimeoutMultiplier(std::uint32_t v) {
  SetTimeout(FWriteTotalTimeoutMultiplier, v);
}
void TComm::SetWriteTotalTimeoutConstant(std::uint32_t v) {
  SetTimeout(FWriteTotalTimeoutConstant, v);
}

const std::vector<std::string> &TComm::PublishedProperties() {
  static const std::vector<std::string> names = {"ComHandle",
                                                 "CommName",
                                                 "BaudRate",
                                                 "ParityCheck",
                                                 "Outx_CtsFlow",
                                                 "Outx_DsrFlow",
                                                 "DtrControl",
                                                 "DsrSensitivity",
                                                 "TxContinueOnXoff",
                                                 "Outx_XonXoffFlow",
                                                 "Inx_XonXoffFlow",
                                                 "ReplaceWhenParityError",
                                                 "IgnoreNullChar",
                                                 "RtsControl",
                                                 "XonLimit",
                                                 "XoffLimit",
                                                 "ByteSize",
                                                 "Parity",
                                                 "StopBits",
                                                 "XonChar",
                                                 "XoffChar",
                                                 "ReplacedChar",
                                                 "ReadIntervalTimeout",
                                                 "ReadTotalTimeoutMultiplier",
                                                 "ReadTotalTimeoutConstant",
                                                 "WriteTotalTimeoutMultiplier",
                                                 "WriteTotalTimeoutConstant",
                                                 "OnReceiveData",
                                                 "OnReceiveError",
                                                 "OnModemStateChange",
                                                 "OnRequestHangup",
                                                 "OnSendDataEmpty"};
  return names;
}

namespace {

bool ParseBool(const std::string &name, const std::string &text) {
  if (text == "True" || text == "true" || text == "1") return true;
  if (text == "False" || text == "false" || text == "0") return false;
  throw platform::EConvertError("Invalid property value '" + text + "' for " + name);
}

template <typename E>
E ParseEnum(const std::string &name, const std::string &text,
            std::initializer_list<const char *> values) {
  int i = 0;
  for (const char *v : values) {
    if (text == v) return static_cast<E>(i);
    ++i;
  }
  throw platform::EConvertError("Invalid property value '" + text + "' for " + name);
}

// A stored character is "#<code>" or the character itself.
char ParseChar(const std::string &name, const std::string &text) {
  if (text.size() > 1 && text[0] == '#') {
    return static_cast<char>(platform::StrToInt(text.substr(1)) & 0xFF);
  }
  if (text.size() == 1) return text[0];
  throw platform::EConvertError("Invalid property value '" + text + "' for " + name);
}

std::uint32_t ParseU32(const std::string &text) {
  return static_cast<std::uint32_t>(platform::StrToInt(text));
}

}  // namespace

void TComm::SetPropertyText(const std::string &name, const std::string &value) {
  using Setter = std::function<void(TComm &, const std::string &, const std::string &)>;
  static const std::map<std::string, Setter> setters = {
      {"CommName", [](TComm &c, auto &, auto &v) { c.SetCommName(v); }},
      {"BaudRate", [](TComm &c, auto &, auto &v) { c.SetBaudRate(ParseU32(v)); }},
      {"ParityCheck", [](TComm &c, auto &n, auto &v) { c.SetParityCheck(ParseBool(n, v)); }},
      {"Outx_CtsFlow", [](TComm &c, auto &n, auto &v) { c.SetOutx_CtsFlow(ParseBool(n, v)); }},
      {"Outx_DsrFlow", [](TComm &c, auto &n, auto &v) { c.SetOutx_DsrFlow(ParseBool(n, v)); }},
      {"DtrControl",
       [](TComm &c, auto &n, auto &v) {
         c.SetDtrControl(ParseEnum<TDtrControl>(n, v, {"DtrEnable", "DtrDisable", "DtrHandshake"}));
       }},
      {"DsrSensitivity", [](TComm &c, auto &n, auto &v) { c.SetDsrSensitivity(ParseBool(n, v)); }},
      {"TxContinueOnXoff",
       [](TComm &c, auto &n, auto &v) { c.SetTxContinueOnXoff(ParseBool(n, v)); }},
      {"Outx_XonXoffFlow",
       [](TComm &c, auto &n, auto &v) { c.SetOutx_XonXoffFlow(ParseBool(n, v)); }},
      {"Inx_XonXoffFlow",
       [](TComm &c, auto &n, auto &v) { c.SetInx_XonXoffFlow(ParseBool(n, v)); }},
      {"ReplaceWhenParityError",
       [](TComm &c, auto &n, auto &v) { c.SetReplaceWhenParityError(ParseBool(n, v)); }},
      {"IgnoreNullChar", [](TComm &c, auto &n, auto &v) { c.SetIgnoreNullChar(ParseBool(n, v)); }},
      {"RtsControl",
       [](TComm &c, auto &n, auto &v) {
         c.SetRtsControl(ParseEnum<TRtsControl>(
             n, v, {"RtsEnable", "RtsDisable", "RtsHandshake", "RtsTransmissionAvailable"}));
       }},
      {"XonLimit",
       [](TComm &c, auto &, auto &v) { c.SetXonLimit(static_cast<std::uint16_t>(ParseU32(v))); }},
      {"XoffLimit",
       [](TComm &c, auto &, auto &v) { c.SetXoffLimit(static_cast<std::uint16_t>(ParseU32(v))); }},
      {"ByteSize",
       [](TComm &c, auto &n, auto &v) {
         c.SetByteSize(ParseEnum<TByteSize>(n, v, {"_5", "_6", "_7", "_8"}));
       }},
      {"Parity",
       [](TComm &c, auto &n, auto &v) {
         c.SetParity(ParseEnum<TParity>(n, v, {"None", "Odd", "Even", "Mark", "Space"}));
       }},
      {"StopBits",
       [](TComm &c, auto &n, auto &v) {
         c.SetStopBits(ParseEnum<TStopBits>(n, v, {"_1", "_1_5", "_2"}));
       }},
      {"XonChar", [](TComm &c, auto &n, auto &v) { c.SetXonChar(ParseChar(n, v)); }},
      {"XoffChar", [](TComm &c, auto &n, auto &v) { c.SetXoffChar(ParseChar(n, v)); }},
      {"ReplacedChar", [](TComm &c, auto &n, auto &v) { c.SetReplacedChar(ParseChar(n, v)); }},
      {"ReadIntervalTimeout",
       [](TComm &c, auto &, auto &v) { c.SetReadIntervalTimeout(ParseU32(v)); }},
      {"ReadTotalTimeoutMultiplier",
       [](TComm &c, auto &, auto &v) { c.SetReadTotalTimeoutMultiplier(ParseU32(v)); }},
      {"ReadTotalTimeoutConstant",
       [](TComm &c, auto &, auto &v) { c.SetReadTotalTimeoutConstant(ParseU32(v)); }},
      {"WriteTotalTimeoutMultiplier",
       [](TComm &c, auto &, auto &v) { c.SetWriteTotalTimeoutMultiplier(ParseU32(v)); }},
      {"WriteTotalTimeoutConstant",
       [](TComm &c, auto &, auto &v) { c.SetWriteTotalTimeoutConstant(ParseU32(v)); }},
  };
  auto it = setters.find(name);
  if (it == setters.end()) {
    throw platform::EConvertError("Property " + name + " cannot be set from text");
  }
  it->second(*this, name, value);
}

}  // namespace comm
