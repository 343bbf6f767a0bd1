// The send box through the window's Send button, with the port open on a
// pseudo-terminal. Write requests are taken from the engine as they are
// queued (never written), and the pause after a send does not sleep, so one
// send costs microseconds.
//
// Input: a control byte (hex or text mode, repeat count), then the send box's
// text. Checked against the send rules, written out again here:
// - hex: only 0-9, A-F, a-f count; each two digits make a byte, a lone last
//   digit is the low half of the last byte; no digit sends nothing;
// - text: the bytes as they are, every line break (CR LF, CR, LF) sent as
//   CR LF, nothing added;
// - requests are queued in order, none empty, none over 65535 bytes;
// - the Send counter grows by the bytes sent; no message box, no
//   "Send Error!" line.
#include <fuzzer/FuzzedDataProvider.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/main_form.h"
#include "app/send_thread.h"
#include "comm/messages.h"
#include "fake_registry.h"
#include "forms/headless.h"
#include "platform/forwarding_api.h"

namespace {

void Check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "send_box_fuzz: %s\n", what);
    std::abort();
  }
}

class CapturingApi : public platform::ForwardingOsApi {
 public:
  BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg != comm::WriteRequest) {
      return ForwardingOsApi::PostThreadMessageA(threadId, msg, wParam, lParam);
    }
    Check(wParam > 0 && wParam <= 65535, "a request holds 1 to 65535 bytes");
    queued.append(reinterpret_cast<const char *>(lParam), wParam);
    // Taken here: the block is ours once the post succeeds.
    LocalFree(reinterpret_cast<HLOCAL>(lParam));
    return TRUE;
  }
  void Sleep(DWORD) override {}

  std::string queued;
};

struct Setup {
  CapturingApi api;
  app::FakeRegistryData ports;
  int master = -1, slave = -1;
  app::TfrmMain *window = nullptr;
  forms::THeadlessBackend *headless = nullptr;

  Setup() {
    char name[256] = {};
    Check(openpty(&master, &slave, name, nullptr, nullptr) == 0, "openpty");
    termios tio;
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    ports.values = {{"line", app::kRegSz, name}};
    forms::Application->Initialize();
    headless = &forms::UseHeadless();
    forms::Application->SetApi(api);
    app::TfrmMain::SetPortSource(app::DevicePathSource(ports.Factory()));
    forms::Application->CreateForm(app::frmMain);
    window = app::frmMain;
    // Held back: opening the port resumes auto-send once.
    window->AutoSendThread()->Suspend();
    window->btnOpenCloseClick(nullptr);
    Check(window->btnOpenClose->Caption() == app::CloseComCaption, "the port opens");
  }
};

Setup &Get() {
  static Setup *setup = new Setup();  // lives as long as the process
  return *setup;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string HexBytes(const std::string &text) {
  std::string digits;
  for (char c : text) {
    if (HexValue(c) >= 0) digits += c;
  }
  std::string out;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out += static_cast<char>(HexValue(digits[i]) * 16 + HexValue(digits[i + 1]));
  }
  if (digits.size() % 2 == 1) out += static_cast<char>(HexValue(digits.back()));
  return out;
}

std::string TextBytes(const std::string &text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      out += "\r\n";
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  Setup &s = Get();
  app::TfrmMain &w = *s.window;
  FuzzedDataProvider in(data, size);
  const std::uint8_t control = in.ConsumeIntegral<std::uint8_t>();
  const bool hex = control & 1;
  // Sometimes a box large enough to need several requests.
  const int repeat = (control & 2) ? 1 + (control >> 2) : 1;
  const std::string piece = in.ConsumeRemainingBytesAsString();
  std::string text;
  for (int i = 0; i < repeat; ++i) text += piece;

  w.cbHEXSend->SetChecked(hex);  // ticking empties the box: fill it after
  w.memSend->SetText(text);
  w.btnClearCountClick(nullptr);
  s.api.queued.clear();
  const std::size_t logBefore = w.memLog->TextLength();

  w.btnSendClick(nullptr);

  const std::string want = hex ? HexBytes(text) : TextBytes(text);
  Check(s.api.queued == want, "the bytes queued");
  Check(w.sbTitle->Panels()[2].Text() == " Send:" + std::to_string(want.size()), "Send counter");
  Check(s.headless->MessageBoxes().empty(), "no message box");
  Check(w.memLog->TextLength() == logBefore, "nothing logged");
  Check(w.memSend->Text() == text, "the send box is left as it was");
  return 0;
}
