// TfrmMain: the assistant's one window. It lays out every control, reads the
// port list at start, opens and closes the port, passes line settings to the
// port component, sends the send box (once, or repeatedly through the
// auto-send thread) and shows what the port receives.
//
// The caption of btnOpenClose is the window's only record of the port state:
// CloseComCaption means open, any other text means closed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/ports.h"
#include "comm/comm.h"
#include "forms/forms.h"

class tSendThread;

namespace app {

inline constexpr char CloseComCaption[] = "&Close Com";
inline constexpr char OpenComCaption[] = "&Open Com";
inline constexpr char PromptTitle[] = "The system prompts";

// The maker's web address: bare in the status bar, as a URL in the Upgrade box.
inline constexpr char MakerHost[] = "www.zelvane.example";
inline constexpr char MakerUrl[] = "http://www.zelvane.example";

class TfrmMain : public forms::TForm {
 public:
  explicit TfrmMain(platform::TComponent *AOwner);
  ~TfrmMain() override;

  // Controls, in declaration order; the window owns them all.
  forms::TPanel *pnlLeft;
  forms::TGroupBox *gbComSetup;
  forms::TComboBox *cbCom;
  forms::TButton *btnOpenClose;
  forms::TLabel *lbComPort;
  forms::TComboBox *cbBaudRate;
  forms::TComboBox *cbParity;
  forms::TComboBox *cbStop;
  forms::TLabel *Label1;
  forms::TLabel *Label2;
  forms::TLabel *Label3;
  forms::TPanel *pnlRight;
  forms::TMemo *memLog;
  forms::TStatusBar *sbTitle;
  forms::TMemo *memSend;
  forms::TGroupBox *gbCommand;
  forms::TComboBox *cb40AT;
  forms::TLabel *lb40;
  forms::TLabel *lb20;
  forms::TComboBox *cb20AT;
  forms::TGroupBox *gbAutoSend;
  forms::TCheckBox *cbHEXSend;
  forms::TCheckBox *cbHexDisplay;
  forms::TButton *btnClearSend;
  forms::TButton *btnClearRecv;
  forms::TPanel *pnlBottom;
  forms::TLabel *lbAutoSend;
  forms::TLabel *Label4;
  forms::TButton *btnSend;
  forms::TCheckBox *cbAutoSend;
  forms::TEdit *edtAutoSend;
  forms::TButton *btnUpdate;
  forms::TButton *btnClearCount;
  forms::TImage *imgLogo;
  forms::TLabel *lbBrand;
  comm::TComm *ComPort;

  // Handlers.
  void FormCreate(platform::TObject *Sender);
  void FormClose(platform::TObject *Sender, forms::TCloseAction &Action);
  void btnUpdateClick(platform::TObject *Sender);
  void cbComChange(platform::TObject *Sender);
  void btnOpenCloseClick(platform::TObject *Sender);
  void cbBaudRateChange(platform::TObject *Sender);
  void cbStopChange(platform::TObject *Sender);
  void cbParityChange(platform::TObject *Sender);

  // Manual send.
  void btnSendClick(platform::TObject *Sender);
  void memSendKeyPress(platform::TObject *Sender, char &Key);
  void cbHEXSendClick(platform::TObject *Sender);
  void cb40ATChange(platform::TObject *Sender);
  void cb20ATChange(platform::TObject *Sender);
  void btnClearSendClick(platform::TObject *Sender);
  // Adds n to the sent-byte total and shows it in status-bar panel 2.
  void AddSendCount(std::int64_t n);

  // Receive display.
  void ComPortReceiveData(platform::TObject *Sender, void *Buffer, std::uint16_t BufferLength);
  // Adds n to the received-byte total and shows it in status-bar panel 1.
  void AddRecvCount(std::int64_t n);
  // The port's workers have given up on the line: says so in the log, once
  // per opening, so a port that no longer receives never looks healthy.
  void ComPortRequestHangup(platform::TObject *Sender);
  void btnClearCountClick(platform::TObject *Sender);
  void btnClearRecvClick(platform::TObject *Sender);

  // Auto-send.
  void cbAutoSendClick(platform::TObject *Sender);
  void edtAutoSendChange(platform::TObject *Sender);
  void edtAutoSendKeyPress(platform::TObject *Sender, char &Key);

  // The auto-send thread, or null once the window's close has released it
  // (for tests and diagnostics; the window keeps ownership).
  ::tSendThread *AutoSendThread() const { return AutoSender; }

  // Where windows created from now on read their port list. Each platform
  // has its own default; tests put a scripted registry in its place.
  static void SetPortSource(PortSource source);
  static PortSource CurrentPortSource();

  // The program's icon, also shown as the maker's logo.
  static forms::TPicture LogoPicture();

 private:
  void CreateControls();
  void ApplyStoredPortValues();
  void GetCommPorts();
  void TogglePort();
  // A failure line of its own at the end of the log.
  void LogFailure(const char *line);
  // Encodes the send box's hex digits and sends them; the byte count, or 0.
  std::int64_t SendHexText();
  // Lets pending messages run, sleeps 100 ms, lets them run again.
  void PauseAfterSend();
  // Queues any number of bytes, in order, as requests the port takes.
  void SendAll(const std::uint8_t *data, std::size_t size);
  void FillSendBox(forms::TComboBox *list);

  PortSource ports_;
  std::int64_t RecvTotal = 0;
  std::int64_t SendTotal = 0;
  bool portFailureShown_ = false;       // the hang-up line, once per opening
  ::tSendThread *AutoSender = nullptr;  // owned; set by FormCreate, none after a ticked close
  std::array<std::uint8_t, 8192> RecvBuffer{};
};

extern TfrmMain *frmMain;

}  // namespace app
