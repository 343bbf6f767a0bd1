#include "app/main_form.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <utility>
#include <vector>

#include "app/send_thread.h"
#include "app/system_text.h"
#include "comm/read_thread.h"
#include "forms/log_commands.h"

namespace app {

using namespace forms;  // MB_* are macros on Windows and constants here
using comm::TParity;
using comm::TStopBits;

TfrmMain *frmMain = nullptr;

namespace {

const std::uint32_t kLogoPixels[] = {
#include "app/resources/tessavo_icon.inc"
};

PortSource &ConfiguredPortSource() {
  static PortSource source = DefaultPortSource();
  return source;
}

// The values stored with the window for its port component; they replace the
// component's own defaults and are applied in the component's published order.
const std::vector<std::pair<const char *, const char *>> &StoredPortValues() {
  static const std::vector<std::pair<const char *, const char *>> values = {
      {"CommName", "COM68"},
      {"BaudRate", "9600"},
      {"ParityCheck", "False"},
      {"Outx_CtsFlow", "False"},
      {"Outx_DsrFlow", "False"},
      {"DtrControl", "DtrDisable"},
      {"DsrSensitivity", "False"},
      {"TxContinueOnXoff", "False"},
      {"Outx_XonXoffFlow", "False"},
      {"Inx_XonXoffFlow", "False"},
      {"ReplaceWhenParityError", "False"},
      {"IgnoreNullChar", "False"},
      {"RtsControl", "RtsDisable"},
      {"XonLimit", "500"},
      {"XoffLimit", "500"},
      {"ByteSize", "_8"},
      {"Parity", "None"},
      {"StopBits", "_1"},
      {"XonChar", "#17"},
      {"XoffChar", "#19"},
      {"ReplacedChar", "#0"},
      {"ReadIntervalTimeout", "30"},
      {"ReadTotalTimeoutMultiplier", "0"},
      {"ReadTotalTimeoutConstant", "0"},
      {"WriteTotalTimeoutMultiplier", "0"},
      {"WriteTotalTimeoutConstant", "0"},
  };
  return values;
}

template <class T>
T *Place(TfrmMain *form, TWinControl *parent, const char *name, int left, int top, int width,
         int height) {
  T *control = new T(form);
  control->SetName(name);
  control->SetParent(parent);
  control->SetBounds(left, top, width, height);
  return control;
}

template <class T>
T *PlaceTab(TfrmMain *form, TWinControl *parent, const char *name, int left, int top, int width,
            int height, int tab) {
  T *control = Place<T>(form, parent, name, left, top, width, height);
  control->SetTabOrder(tab);
  return control;
}

TLabel *PlaceLabel(TfrmMain *form, TWinControl *parent, const char *name, int left, int top,
                   int width, const char *caption) {
  TLabel *label = Place<TLabel>(form, parent, name, left, top, width, 13);
  label->SetCaption(caption);
  return label;
}

TComboBox *PlaceList(TfrmMain *form, TWinControl *parent, const char *name, int left, int top,
                     int tab, const std::vector<std::string> &items, int selected) {
  TComboBox *list = PlaceTab<TComboBox>(form, parent, name, left, top, 83, 21, tab);
  list->Items().Assign(items);
  list->SetItemIndex(selected);
  return list;
}

// The most one request to the port can carry: its length is 16 bits.
constexpr std::size_t kMaxRequest = 65535;

// The send box's text as it goes out: the model keeps line breaks as CR LF,
// and a lone CR or LF that code put there is a line break all the same.
std::string WithCrLf(const std::string &text) {
  if (text.find_first_of("\r\n") == std::string::npos) return text;
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsHexDigit(char c) { return HexDigit(c) >= 0; }

}  // namespace

void TfrmMain::SetPortSource(PortSource source) { ConfiguredPortSource() = std::move(source); }

PortSource TfrmMain::CurrentPortSource() { return ConfiguredPortSource(); }

TPicture TfrmMain::LogoPicture() {
  return TPicture(32, 32,
                  std::vector<std::uint32_t>(std::begin(kLogoPixels), std::end(kLogoPixels)));
}

TfrmMain::TfrmMain(platform::TComponent *AOwner) : TForm(AOwner), ports_(CurrentPortSource()) {
  SetName("frmMain");
  SetCaption("TessavoV1.5");
  // The stored place; the form is centred on the desktop when shown.
  SetBounds(202, 121, 691, 426);
  SetClientWidth(691);
  SetClientHeight(426);
  SetBorderStyle(bsSingle);
  SetBorderIcons(biSystemMenu | biMinimize);
  SetPosition(poDesktopCenter);
  SetColor(clBtnFace);
  SetFont(TFont{"MS Sans Serif", -11});
  OnCreate = [this](platform::TObject *Sender) { FormCreate(Sender); };
  OnClose = [this](platform::TObject *Sender, TCloseAction &Action) { FormClose(Sender, Action); };

  CreateControls();

  ComPort = new comm::TComm(this, Application->Api());
  ComPort->SetName("ComPort");
  ApplyStoredPortValues();
  ComPort->OnReceiveData = [this](platform::TObject *Sender, void *Buffer,
                                  std::uint16_t BufferLength) {
    ComPortReceiveData(Sender, Buffer, BufferLength);
  };
  ComPort->OnRequestHangup = [this](platform::TObject *Sender) { ComPortRequestHangup(Sender); };
}

TfrmMain::~TfrmMain() {
  // A window closed with Auto Send unticked still owns its thread. End it
  // before the controls go; a send it queued has no window left to act on.
  if (AutoSender != nullptr) {
    ::tSendThread *thread = AutoSender;
    AutoSender = nullptr;
    thread->SendAction = [] {};
    delete thread;
  }
  if (frmMain == this) frmMain = nullptr;
}

void TfrmMain::CreateControls() {
  pnlLeft = PlaceTab<TPanel>(this, this, "pnlLeft", 0, 0, 164, 401, 0);
  pnlLeft->SetAlign(alLeft);
  pnlLeft->SetBevelOuter(bvNone);
  pnlLeft->SetBorderWidth(5);

  gbComSetup = PlaceTab<TGroupBox>(this, pnlLeft, "gbComSetup", 5, 5, 154, 161, 0);
  gbComSetup->SetAlign(alTop);
  cbCom = PlaceTab<TComboBox>(this, gbComSetup, "cbCom", 60, 13, 83, 21, 0);
  btnOpenClose = PlaceTab<TButton>(this, gbComSetup, "btnOpenClose", 62, 126, 79, 25, 1);
  btnOpenClose->SetCaption(OpenComCaption);
  lbComPort = PlaceLabel(this, gbComSetup, "lbComPort", 12, 20, 43, "Com Port");
  cbBaudRate = PlaceList(
      this, gbComSetup, "cbBaudRate", 60, 41, 2,
      {"1200", "2400", "4800", "9600", "14400", "19200", "38400", "57600", "115200", "230400"}, 3);
  cbParity = PlaceList(this, gbComSetup, "cbParity", 60, 69, 3,
                       {"None", "Odd", "Even", "Mark", "Space"}, 0);
  cbStop = PlaceList(this, gbComSetup, "cbStop", 60, 97, 4, {"1", "2"}, 0);
  Label1 = PlaceLabel(this, gbComSetup, "Label1", 8, 47, 46, "Baud rate");
  Label2 = PlaceLabel(this, gbComSetup, "Label2", 12, 74, 41, "Parity Bit");
  Label3 = PlaceLabel(this, gbComSetup, "Label3", 16, 102, 37, "Stop Bit");

  pnlRight = PlaceTab<TPanel>(this, this, "pnlRight", 164, 0, 527, 401, 1);
  pnlRight->SetAlign(alClient);
  pnlRight->SetBevelOuter(bvNone);
  memLog = PlaceTab<TMemo>(this, pnlRight, "memLog", 0, 0, 527, 311, 0);
  memLog->SetAlign(alClient);
  memLog->SetReadOnly(true);
  memLog->SetScrollBars(ssVertical);
  memLog->Commands().SetBoxTitle(PromptTitle);

  sbTitle = Place<TStatusBar>(this, this, "sbTitle", 0, 401, 691, 25);
  sbTitle->SetAlign(alBottom);
  TStatusPanel &maker = sbTitle->Panels().Add();
  maker.SetWidth(160);
  maker.SetText(MakerHost);
  maker.SetAlignment(taCenter);
  maker.SetBiDiMode(bdRightToLeft);
  TStatusPanel &recv = sbTitle->Panels().Add();
  recv.SetWidth(120);
  recv.SetText(" Recv:0");
  TStatusPanel &send = sbTitle->Panels().Add();
  send.SetWidth(120);
  send.SetText(" Send:0");
  TStatusPanel &support = sbTitle->Panels().Add();
  support.SetWidth(50);
  support.SetText(" Korrin perfect support IOS, Android, PC");

  memSend = PlaceTab<TMemo>(this, pnlRight, "memSend", 0, 311, 527, 57, 1);
  memSend->SetAlign(alBottom);
  memSend->SetScrollBars(ssVertical);

  gbCommand = PlaceTab<TGroupBox>(this, pnlLeft, "gbCommand", 5, 166, 154, 67, 1);
  gbCommand->SetAlign(alTop);
  cb40AT =
      PlaceList(this, gbCommand, "cb40AT", 60, 12, 0,
                {"Choose",   "AT",       "AT+ADDR?", "AT+BAUD?", "AT+CLEAR", "AT+FLOW?", "AT+FILT?",
                 "AT+HELP?", "AT+IMME?", "AT+MODE?", "AT+NAME?", "AT+PIO1?", "AT+PARI?", "AT+PASS?",
                 "AT+POWE?", "AT+RADD?", "AT+ROLE?", "AT+RESET", "AT+RENEW", "AT+RSSI?", "AT+SAVE?",
                 "AT+STOP?", "AT+START", "AT+TYPE?", "AT+TCON?", "AT+VERS?", "AT+VERR?"},
                0);
  lb40 = PlaceLabel(this, gbCommand, "lb40", 12, 17, 32, "4.0 AT");
  lb20 = PlaceLabel(this, gbCommand, "lb20", 12, 43, 32, "2.1 AT");
  // Two items end in the full-width question mark U+FF1F, not in "?".
  cb20AT = PlaceList(this, gbCommand, "cb20AT", 60, 39, 1,
                     {"Choose",
                      "AT",
                      "AT+NAME?",
                      "AT+BAUD?",
                      "AT+CHK?",
                      "AT+STOP?",
                      "AT+UART?",
                      "AT+SECH?",
                      "AT+APCH?",
                      "AT+TEMP?",
                      "AT+DISC?",
                      "AT+KEY?",
                      "AT+LED?",
                      SystemText("AT+PIO\xEF\xBC\x9F"),
                      SystemText("AT+NAME\xEF\xBC\x9F"),
                      "AT+DEFAULT",
                      "AT+RESTART",
                      "AT+ROLE?",
                      "AT+PIN?",
                      "AT+AUTH?",
                      "AT+CLEAR",
                      "AT+VERSION",
                      "AT+VERSION?",
                      "AT+HELP?",
                      "AT+RADD?",
                      "AT+LADD?",
                      "AT+IMME?",
                      "AT+WORK",
                      "AT+TCON?",
                      "AT+TYPE?",
                      "AT+TPIO?",
                      "AT+START",
                      "AT+BUFF?",
                      "AT+FILE?",
                      "AT+NOTI?",
                      "AT+RSSI?",
                      "AT+COD?"},
                     0);

  gbAutoSend = PlaceTab<TGroupBox>(this, pnlLeft, "gbAutoSend", 5, 233, 154, 80, 2);
  gbAutoSend->SetAlign(alTop);
  cbHEXSend = PlaceTab<TCheckBox>(this, gbAutoSend, "cbHEXSend", 6, 20, 69, 17, 0);
  cbHEXSend->SetCaption("HEX Send");
  cbHexDisplay = PlaceTab<TCheckBox>(this, gbAutoSend, "cbHexDisplay", 6, 50, 67, 17, 1);
  cbHexDisplay->SetCaption("HEX Disp");
  btnClearSend = PlaceTab<TButton>(this, gbAutoSend, "btnClearSend", 75, 13, 70, 25, 2);
  btnClearSend->SetCaption("Clear Send");
  btnClearRecv = PlaceTab<TButton>(this, gbAutoSend, "btnClearRecv", 75, 45, 70, 25, 3);
  btnClearRecv->SetCaption("Clear Recv");

  pnlBottom = PlaceTab<TPanel>(this, pnlRight, "pnlBottom", 0, 368, 527, 33, 2);
  pnlBottom->SetAlign(alBottom);
  pnlBottom->SetBevelOuter(bvLowered);
  lbAutoSend = PlaceLabel(this, pnlBottom, "lbAutoSend", 185, 13, 94, "transmission interval");
  Label4 = PlaceLabel(this, pnlBottom, "Label4", 327, 13, 13, "ms");
  btnSend = PlaceTab<TButton>(this, pnlBottom, "btnSend", 442, 5, 79, 25, 0);
  btnSend->SetCaption("&Send");
  cbAutoSend = PlaceTab<TCheckBox>(this, pnlBottom, "cbAutoSend", 356, 11, 73, 17, 1);
  cbAutoSend->SetCaption("Auto Send");
  edtAutoSend = PlaceTab<TEdit>(this, pnlBottom, "edtAutoSend", 282, 10, 41, 21, 2);
  edtAutoSend->SetMaxLength(6);
  edtAutoSend->SetText("1000");
  btnUpdate = PlaceTab<TButton>(this, pnlBottom, "btnUpdate", 2, 5, 79, 25, 3);
  btnUpdate->SetCaption("Upgrade");
  btnClearCount = PlaceTab<TButton>(this, pnlBottom, "btnClearCount", 95, 5, 79, 25, 4);
  btnClearCount->SetCaption("Reset counter");

  imgLogo = Place<TImage>(this, pnlLeft, "imgLogo", 64, 326, 32, 32);
  imgLogo->SetAutoSize(true);
  imgLogo->SetTransparent(true);
  imgLogo->SetPicture(LogoPicture());
  lbBrand = PlaceLabel(this, pnlLeft, "lbBrand", 35, 376, 96, "Zelvane technology");

  cbCom->OnChange = [this](platform::TObject *Sender) { cbComChange(Sender); };
  btnOpenClose->OnClick = [this](platform::TObject *Sender) { btnOpenCloseClick(Sender); };
  cbBaudRate->OnChange = [this](platform::TObject *Sender) { cbBaudRateChange(Sender); };
  cbParity->OnChange = [this](platform::TObject *Sender) { cbParityChange(Sender); };
  cbStop->OnChange = [this](platform::TObject *Sender) { cbStopChange(Sender); };
  btnUpdate->OnClick = [this](platform::TObject *Sender) { btnUpdateClick(Sender); };
  cb40AT->OnChange = [this](platform::TObject *Sender) { cb40ATChange(Sender); };
  cb20AT->OnChange = [this](platform::TObject *Sender) { cb20ATChange(Sender); };
  cbHEXSend->OnClick = [this](platform::TObject *Sender) { cbHEXSendClick(Sender); };
  btnClearSend->OnClick = [this](platform::TObject *Sender) { btnClearSendClick(Sender); };
  memSend->OnKeyPress = [this](platform::TObject *Sender, char &Key) {
    memSendKeyPress(Sender, Key);
  };
  btnSend->OnClick = [this](platform::TObject *Sender) { btnSendClick(Sender); };
  btnClearRecv->OnClick = [this](platform::TObject *Sender) { btnClearRecvClick(Sender); };
  btnClearCount->OnClick = [this](platform::TObject *Sender) { btnClearCountClick(Sender); };
  cbAutoSend->OnClick = [this](platform::TObject *Sender) { cbAutoSendClick(Sender); };
  edtAutoSend->OnChange = [this](platform::TObject *Sender) { edtAutoSendChange(Sender); };
  edtAutoSend->OnKeyPress = [this](platform::TObject *Sender, char &Key) {
    edtAutoSendKeyPress(Sender, Key);
  };
}

void TfrmMain::ApplyStoredPortValues() {
  // The port is closed here, so the setters only store.
  for (const std::string &property : comm::TComm::PublishedProperties()) {
    for (const auto &[name, value] : StoredPortValues()) {
      if (property == name) ComPort->SetPropertyText(name, value);
    }
  }
}

void TfrmMain::FormCreate(platform::TObject * /*Sender*/) {
  SetDoubleBuffered(true);
  memLog->SetDoubleBuffered(true);
  GetCommPorts();
  memSend->SetText("AT");
  btnOpenClose->SetCaption(OpenComCaption);
  // Runs nothing until opening the port or a tick of Auto Send resumes it.
  AutoSender = new ::tSendThread(true, Application->Api());
}

void TfrmMain::FormClose(platform::TObject * /*Sender*/, TCloseAction & /*Action*/) {
  if (cbAutoSend->Checked() && AutoSender != nullptr) {
    // Taken out first: a send the thread queued still runs while we wait for
    // it, and whatever that send lets run must not find the thread again.
    ::tSendThread *thread = AutoSender;
    AutoSender = nullptr;
    thread->SetStop(true);
    delete thread;  // ends it whatever its suspension count
  }
  // An open port is closed; a closed one is never opened on the way out.
  if (btnOpenClose->Caption() == CloseComCaption) TogglePort();
}

void TfrmMain::btnUpdateClick(platform::TObject * /*Sender*/) {
  Application->MessageBox(std::string("Welcome to Zelvane technology products, please visit ") +
                              MakerUrl + " for more information",
                          PromptTitle, MB_ICONINFORMATION);
}

void TfrmMain::GetCommPorts() {
  const PortListResult result = ReadRegisteredPorts(
      ports_.CreateRegistry, [this](const std::string &item) { cbCom->Items().Add(item); },
      [this] {
        cbCom->SetItemIndex(0);
        ComPort->SetCommName(ports_.PathAtStart(cbCom->Text()));
      });
  if (result == PortListResult::Failed) {
    Application->MessageBox("The serial port initialization configuration failed.", PromptTitle,
                            MB_OK);
  }
}

void TfrmMain::cbComChange(platform::TObject * /*Sender*/) {
  try {
    const std::string path = ports_.PathOnPick(cbCom->Text());
    // A new path takes effect at the next opening; an open device stays in use.
    if (path != ComPort->CommName()) ComPort->SetCommName(path);
  } catch (...) {
    LogFailure("Set the serial number failed!");
  }
}

void TfrmMain::btnOpenCloseClick(platform::TObject * /*Sender*/) {
  if (cbCom->Items().Count() > 0) TogglePort();
}

void TfrmMain::TogglePort() {
  try {
    if (btnOpenClose->Caption() == CloseComCaption) {
      if (AutoSender != nullptr) AutoSender->Suspend();
      ComPort->ClosePort();
      btnOpenClose->SetCaption(OpenComCaption);
    } else {
      ComPort->OpenPort();
      portFailureShown_ = false;
      btnOpenClose->SetCaption(CloseComCaption);
      // Blocks on purpose: the line settles before anything is sent.
      Application->Api().Sleep(100);
      // Opening starts auto-send whenever the thread is suspended, ticked or
      // not; an interval that does not convert fails the opening.
      if (AutoSender != nullptr && AutoSender->Suspended()) {
        AutoSender->SetInterval(platform::StrToInt(edtAutoSend->Text()));
        AutoSender->Resume();
      }
    }
  } catch (...) {
    try {
      ComPort->ClosePort();
    } catch (...) {
      // Closing what never opened has nothing to report.
    }
    btnOpenClose->SetCaption(OpenComCaption);
    Application->MessageBox("The port does not exist or occupied", PromptTitle, MB_ICONINFORMATION);
  }
}

void TfrmMain::cbBaudRateChange(platform::TObject * /*Sender*/) {
  try {
    ComPort->SetBaudRate(static_cast<std::uint32_t>(platform::StrToInt(cbBaudRate->Text())));
  } catch (...) {
    LogFailure("Set the baud rate failed!");
  }
}

void TfrmMain::cbStopChange(platform::TObject * /*Sender*/) {
  try {
    // "1" is one stop bit and "2" two.
    static const TStopBits byPosition[] = {TStopBits::_1, TStopBits::_2};
    const int index = cbStop->ItemIndex();
    if (index < 0 || index >= static_cast<int>(std::size(byPosition))) {
      throw std::out_of_range("stop bit position");
    }
    ComPort->SetStopBits(byPosition[index]);
  } catch (...) {
    LogFailure("Set stop bit failed!");
  }
}

void TfrmMain::cbParityChange(platform::TObject * /*Sender*/) {
  try {
    // List positions are the parity values; the setter applies a change to
    // an open line at once.
    const int index = cbParity->ItemIndex();
    if (index < static_cast<int>(TParity::None) || index > static_cast<int>(TParity::Space)) {
      throw std::out_of_range("parity position");
    }
    ComPort->SetParity(static_cast<TParity>(index));
  } catch (...) {
    LogFailure("Set parity bit failed!");
  }
}

void TfrmMain::LogFailure(const char *line) { memLog->Lines().Add(line); }

// ---- manual send ------------------------------------------------------------

void TfrmMain::btnSendClick(platform::TObject * /*Sender*/) {
  if (cbCom->Items().Count() == 0) return;
  try {
    if (btnOpenClose->Caption() != CloseComCaption) {
      Application->MessageBox("Please configure and open serial port", PromptTitle, MB_OK);
      return;
    }
    std::int64_t n;
    if (cbHEXSend->Checked()) {
      n = SendHexText();
    } else {
      const std::string bytes = WithCrLf(memSend->Text());
      SendAll(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
      n = static_cast<std::int64_t>(bytes.size());
    }
    PauseAfterSend();
    AddSendCount(n);
  } catch (...) {
    LogFailure("Send Error!");
  }
}

void TfrmMain::SendAll(const std::uint8_t *data, std::size_t size) {
  // Whole and in order: the writer takes its requests one after another.
  while (size > 0) {
    const std::size_t piece = std::min(size, kMaxRequest);
    ComPort->SendBytes(data, static_cast<std::uint16_t>(piece));
    data += piece;
    size -= piece;
  }
}

std::int64_t TfrmMain::SendHexText() {
  try {
    const std::string &text = memSend->Text();
    std::string digits;
    for (char c : text) {
      if (IsHexDigit(c)) digits += c;
    }
    if (digits.empty()) return 0;
    const std::size_t pairs = digits.size() / 2;
    std::vector<std::uint8_t> bytes(pairs + digits.size() % 2);
    for (std::size_t j = 0; j < pairs; ++j) {
      bytes[j] =
          static_cast<std::uint8_t>(HexDigit(digits[2 * j]) * 16 + HexDigit(digits[2 * j + 1]));
    }
    // A lone last digit is the low half of its byte.
    if (digits.size() % 2 != 0) bytes.back() = static_cast<std::uint8_t>(HexDigit(digits.back()));
    SendAll(bytes.data(), bytes.size());
    return static_cast<std::int64_t>(bytes.size());
  } catch (...) {
    return 0;
  }
}

void TfrmMain::PauseAfterSend() {
  Application->ProcessMessages();
  Application->Api().Sleep(100);
  Application->ProcessMessages();
}

void TfrmMain::AddSendCount(std::int64_t n) {
  SendTotal += n;
  sbTitle->Panels()[2].SetText(" Send:" + platform::IntToStr(SendTotal));
}

void TfrmMain::memSendKeyPress(platform::TObject * /*Sender*/, char &Key) {
  if (!cbHEXSend->Checked()) return;
  if (Key != 8 && !IsHexDigit(Key)) Key = 0;
}

void TfrmMain::cbHEXSendClick(platform::TObject * /*Sender*/) {
  if (cbHEXSend->Checked()) memSend->Clear();
}

void TfrmMain::FillSendBox(TComboBox *list) {
  // Item 0 is the "Choose" prompt, not a command.
  if (list->ItemIndex() > 0) memSend->SetText(list->Text());
}

void TfrmMain::cb40ATChange(platform::TObject * /*Sender*/) { FillSendBox(cb40AT); }

void TfrmMain::cb20ATChange(platform::TObject * /*Sender*/) { FillSendBox(cb20AT); }

void TfrmMain::btnClearSendClick(platform::TObject * /*Sender*/) { memSend->Clear(); }

// ---- receive display ----------------------------------------------------------

void TfrmMain::ComPortReceiveData(platform::TObject * /*Sender*/, void *Buffer,
                                  std::uint16_t BufferLength) {
  static const char kHex[] = "0123456789ABCDEF";
  const auto *from = static_cast<const std::uint8_t *>(Buffer);
  std::size_t left = BufferLength;
  // A chunk is at most 1024 bytes; a longer one (a direct call) goes through
  // the buffer in pieces.
  while (left > 0) {
    const std::size_t piece = std::min(left, RecvBuffer.size());
    std::copy(from, from + piece, RecvBuffer.begin());
    // A read shorter than the reader asks for ended at the interval
    // time-out: the line went quiet after it.
    const bool pauseAfter = piece == left && BufferLength < comm::TReadThread::kReadSize;
    if (cbHexDisplay->Checked()) {
      std::string shown(piece * 3, ' ');
      for (std::size_t i = 0; i < piece; ++i) {
        shown[3 * i] = kHex[RecvBuffer[i] >> 4];
        shown[3 * i + 1] = kHex[RecvBuffer[i] & 0x0F];
      }
      memLog->AppendReceived(shown, true, pauseAfter);
    } else {
      // The bytes as they came: the log keeps zero bytes and what follows.
      memLog->AppendReceived(
          std::string_view(reinterpret_cast<const char *>(RecvBuffer.data()), piece), false,
          pauseAfter);
    }
    from += piece;
    left -= piece;
  }
  AddRecvCount(BufferLength);
  memLog->ScrollToEnd();
}

void TfrmMain::AddRecvCount(std::int64_t n) {
  RecvTotal += n;
  sbTitle->Panels()[1].SetText(" Recv:" + platform::IntToStr(RecvTotal));
}

void TfrmMain::ComPortRequestHangup(platform::TObject * /*Sender*/) {
  // A request that comes after the user closed the port has nothing to say.
  if (portFailureShown_ || btnOpenClose->Caption() != CloseComCaption) return;
  portFailureShown_ = true;
  LogFailure("Port Error! Please close and reopen the port.");
}

void TfrmMain::btnClearCountClick(platform::TObject * /*Sender*/) {
  SendTotal = 0;
  RecvTotal = 0;
  AddRecvCount(0);
  AddSendCount(0);
}

void TfrmMain::btnClearRecvClick(platform::TObject * /*Sender*/) { memLog->Clear(); }

// ---- auto-send --------------------------------------------------------------------

void TfrmMain::cbAutoSendClick(platform::TObject * /*Sender*/) {
  if (cbCom->Items().Count() == 0) return;
  // With the port closed the box only keeps its new state.
  if (btnOpenClose->Caption() != CloseComCaption) return;
  if (cbAutoSend->Checked()) {
    const std::string text = edtAutoSend->Text();
    if (text.empty() || text == "0") {
      cbAutoSend->SetChecked(false);  // runs this handler again, unticked
      return;
    }
    // Unguarded: text that is not a number (pasted) reaches the application.
    const std::int32_t interval = platform::StrToInt(text);
    if (interval >= 20) {
      btnSend->SetEnabled(false);
      edtAutoSend->SetEnabled(false);
      if (AutoSender != nullptr) {
        AutoSender->SetInterval(interval);
        AutoSender->Resume();
      }
    } else {
      Application->MessageBox("Automatic transmission time interval is too short!", PromptTitle,
                              MB_ICONINFORMATION);
    }
  } else {
    if (AutoSender != nullptr) AutoSender->Suspend();
    edtAutoSend->SetEnabled(true);
    btnSend->SetEnabled(true);
  }
}

void TfrmMain::edtAutoSendChange(platform::TObject * /*Sender*/) {
  const std::string text = edtAutoSend->Text();
  if (text.empty()) {
    cbAutoSend->SetEnabled(false);
    return;
  }
  // Unguarded, as above.
  cbAutoSend->SetEnabled(platform::StrToInt(text) >= 1);
}

void TfrmMain::edtAutoSendKeyPress(platform::TObject * /*Sender*/, char &Key) {
  if (Key != 8 && (Key < '0' || Key > '9')) Key = 0;
}

}  // namespace app
