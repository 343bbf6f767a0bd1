// The stress driver on Windows (and under Wine): Tessavo.exe runs as a
// process of its own and is worked from outside, as the end-to-end check
// does: clicks and list picks sent to its controls (each waits until the
// program has handled it, or a modal box stands in the way), keys posted
// through its message loop, texts and boxes read back.
//
//   win32_driver --stress TESSAVO_EXE SIM_PORT MISSING_PORT CONTROL_PORT
//                [--seed N] [--steps N] [--without KIND,...] [--trail]
//
// CONTROL_PORT is the simulator's control port (atsim --control).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "stress_core.h"
#include "win32_window.h"

namespace {

using stress::Ctl;
using stress::Key;
using namespace win32e2e;

constexpr DWORD kHandledMs = 15000;

struct Sent {
  bool done = false;
};

VOID CALLBACK SentDone(HWND, UINT, ULONG_PTR data, LRESULT) {
  reinterpret_cast<Sent *>(data)->done = true;
}

bool SetClipboardText(const std::string &text) {
  if (!OpenClipboard(nullptr)) return false;
  EmptyClipboard();
  if (!text.empty()) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    if (block != nullptr) {
      char *p = static_cast<char *>(GlobalLock(block));
      std::memcpy(p, text.c_str(), text.size() + 1);
      GlobalUnlock(block);
      if (SetClipboardData(CF_TEXT, block) == nullptr) GlobalFree(block);
    }
  }
  CloseClipboard();
  return true;
}

class Win32Window : public stress::Window {
 public:
  Win32Window(std::string exe, std::string simPort, std::string missingPort)
      : exe_(std::move(exe)), ports_{std::move(simPort), std::move(missingPort)} {}
  ~Win32Window() override { End(); }

  bool Start() override {
    End();
    sent_.clear();
    known_.clear();
    SetClipboardText(std::string());
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    std::string command = "\"" + exe_ + "\"";
    if (!CreateProcessA(exe_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi_)) {
      problem_ = "cannot start " + exe_ + " (" + std::to_string(GetLastError()) + ")";
      return false;
    }
    WaitForInputIdle(pi_.hProcess, kTimeoutMs);
    HWND main = nullptr;
    WaitFor([&] {
      main = FindWindowA(nullptr, kCaption);
      return main != nullptr && IsWindowVisible(main);
    });
    if (main == nullptr) {
      problem_ = "no window \"TessavoV1.5\"";
      return false;
    }
    w_ = FindControls(main);
    if (!AllFound(w_)) {
      problem_ = "not every control was found";
      return false;
    }
    return true;
  }
  std::string Problem() const override { return problem_; }
  bool InProcess() const override { return false; }
  std::string AppTitle() const override {
    // The executable's name without its folder, cut at the first ".", all
    // but the first letter in lower case.
    std::string name = exe_.substr(exe_.find_last_of("\\/") + 1);
    name = name.substr(0, name.find('.'));
    for (std::size_t i = 1; i < name.size(); ++i) {
      if (name[i] >= 'A' && name[i] <= 'Z') name[i] = static_cast<char>(name[i] - 'A' + 'a');
    }
    return name;
  }
  std::vector<std::string> Items(Ctl list) override { return win32e2e::Items(Hwnd(list)); }
  int PortIndex(int which) override { return IndexOf(Items(Ctl::cbCom), ports_[which]); }

  void Click(Ctl c, const std::function<void()> &before) override {
    if (before) before();
    Deliver(Hwnd(c), BM_CLICK, 0, 0);
  }
  void Pick(Ctl list, int index) override {
    HWND combo = Hwnd(list);
    // The selection, then the notice a user's pick gives the list's parent.
    Send(combo, CB_SETCURSEL, static_cast<WPARAM>(index));
    Deliver(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
            reinterpret_cast<LPARAM>(combo));
  }
  void Place(Ctl edit, bool all) override {
    HWND h = Hwnd(edit);
    const auto n = static_cast<WPARAM>(Send(h, WM_GETTEXTLENGTH));
    Send(h, EM_SETSEL, all ? 0 : n, all ? -1 : static_cast<LPARAM>(n));
  }
  void Type(Ctl edit, char ch) override {
    Deliver(Hwnd(edit), WM_CHAR, static_cast<unsigned char>(ch), 1);
  }
  void Paste(Ctl edit, const std::string &text) override {
    SetClipboardText(text);
    Deliver(Hwnd(edit), WM_PASTE, 0, 0);
  }
  void Press(Ctl target, Key key, char letter) override {
    // The user puts the focus there first (the dialog keys act on the
    // focused control), the caret back at the end of a text box's text.
    HWND h = Hwnd(target);
    Send(w_.main, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(h), TRUE);
    if (target == Ctl::memSend || target == Ctl::edtAutoSend) Place(target, false);
    // Then the key, through the program's message loop, where the dialog
    // keys are handled.
    auto down = [h](WPARAM vk) {
      PostMessageA(h, WM_KEYDOWN, vk, 1);
      PostMessageA(h, WM_KEYUP, vk, 0xC0000001);
    };
    switch (key) {
      case Key::Esc:
        down(VK_ESCAPE);
        break;
      case Key::Enter:
        down(VK_RETURN);
        break;
      case Key::Tab:
        down(VK_TAB);
        break;
      case Key::CtrlV:
        PostMessageA(h, WM_CHAR, 0x16, 1);  // what Ctrl+V translates to
        break;
      case Key::Alt:
        PostMessageA(h, WM_SYSCHAR, static_cast<unsigned char>(letter), 1 << 29);
        break;
    }
    // An accelerator may click Send, whose handler pauses 100 ms.
    Pump(key == Key::Alt ? 300 : 60);
  }
  void Answer(int how) override {
    const std::vector<HWND> boxes = OwnedBoxes(w_.main);
    if (boxes.empty()) return;
    HWND box = boxes.back();
    HWND ok = GetDlgItem(box, IDOK);
    switch (how) {
      case 0:
        if (ok != nullptr) PostMessageA(ok, BM_CLICK, 0, 0);
        break;
      case 1:
      case 2: {
        const WPARAM vk = how == 1 ? VK_RETURN : VK_ESCAPE;
        HWND to = ok != nullptr ? ok : box;
        PostMessageA(to, WM_KEYDOWN, vk, 1);
        PostMessageA(to, WM_KEYUP, vk, 0xC0000001);
        break;
      }
      default:
        PostMessageA(box, WM_CLOSE, 0, 0);
        break;
    }
  }
  bool Close(int ms) override {
    PostMessageA(w_.main, WM_CLOSE, 0, 0);
    const bool ended = WaitForSingleObject(pi_.hProcess, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
    DWORD code = 1;
    GetExitCodeProcess(pi_.hProcess, &code);
    if (ended) End();
    return ended && code == 0;
  }
  void Pump(int ms) override {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
    do {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      if (ms > 0) Sleep(2);
    } while (GetTickCount64() < end);
  }

  stress::Snapshot Read() override {
    stress::Snapshot s;
    DWORD_PTR r = 0;
    if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(pi_.hProcess, &code);
      s.responsive = false;
      s.unresponsive = "the program ended (exit code " + std::to_string(code) + ")";
      return s;
    }
    if (SendMessageTimeoutA(w_.main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &r) == 0) {
      // How long it takes, for the report.
      const ULONGLONG start = GetTickCount64();
      const bool late = SendMessageTimeoutA(w_.main, WM_NULL, 0, 0, 0, 120000, &r) != 0;
      s.responsive = false;
      s.unresponsive = late ? "no answer for 5 s; it answered " +
                                  std::to_string((GetTickCount64() - start) / 1000 + 5) +
                                  " s after the question"
                            : "no answer for 125 s";
      return s;
    }
    for (int i = 0; i < static_cast<int>(Ctl::Count); ++i) {
      HWND h = Hwnd(static_cast<Ctl>(i));
      if (!IsWindow(h) || !IsWindowVisible(h)) s.missing.push_back(static_cast<Ctl>(i));
    }
    if (!s.missing.empty()) return s;
    s.caption = TextOf(w_.btnOpenClose);
    s.sendText = TextOf(w_.memSend);
    s.interval = TextOf(w_.edtAutoSend);
    s.hexSend = Send(w_.cbHEXSend, BM_GETCHECK) == BST_CHECKED;
    s.hexDisp = Send(w_.cbHexDisplay, BM_GETCHECK) == BST_CHECKED;
    s.autoSend = Send(w_.cbAutoSend, BM_GETCHECK) == BST_CHECKED;
    s.sendEnabled = IsWindowEnabled(w_.btnSend) != FALSE;
    s.intervalEnabled = IsWindowEnabled(w_.edtAutoSend) != FALSE;
    s.autoEnabled = IsWindowEnabled(w_.cbAutoSend) != FALSE;
    return s;
  }
  stress::Counters ReadCounters() override { return {Counter(w_, 1), Counter(w_, 2)}; }
  std::string ReadLog() override { return TextOf(w_.memLog); }
  std::vector<stress::Box> OpenBoxes() override {
    std::vector<stress::Box> boxes;
    for (HWND h : OwnedBoxes(w_.main)) {
      auto it = known_.find(h);
      if (it == known_.end()) {
        // Read once: its icon comes from the screen.
        const Box read = ReadBox(h);
        const unsigned icon = read.icon == "information" ? 0x40u
                              : read.icon == "error"     ? 0x10u
                              : read.icon == "warning"   ? 0x30u
                              : read.icon == "question"  ? 0x20u
                              : read.icon == "none"      ? 0u
                                                         : 0xFFu;
        it = known_
                 .emplace(h, stress::Box{read.text, read.title, icon,
                                         reinterpret_cast<std::uintptr_t>(h)})
                 .first;
      }
      boxes.push_back(it->second);
    }
    return boxes;
  }
  void Abandon() override {
    if (pi_.hProcess != nullptr) TerminateProcess(pi_.hProcess, 3);
  }

 private:
  HWND Hwnd(Ctl c) const {
    const HWND all[] = {w_.cbCom,        w_.cbBaudRate,   w_.cbParity,     w_.cbStop,
                        w_.cb40AT,       w_.cb20AT,       w_.btnOpenClose, w_.btnSend,
                        w_.btnClearSend, w_.btnClearRecv, w_.btnUpdate,    w_.btnClearCount,
                        w_.cbHEXSend,    w_.cbHexDisplay, w_.cbAutoSend,   w_.edtAutoSend,
                        w_.memSend,      w_.memLog,       w_.sbTitle};
    return all[static_cast<int>(c)];
  }

  // Sends `msg` and waits until the program has handled it, or a box of its
  // holds it up (it is handled once the box goes).
  void Deliver(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
    sent_.push_back(std::make_unique<Sent>());
    Sent *s = sent_.back().get();
    if (!SendMessageCallbackA(h, msg, wParam, lParam, SentDone, reinterpret_cast<ULONG_PTR>(s))) {
      return;
    }
    const ULONGLONG end = GetTickCount64() + kHandledMs;
    while (!s->done && GetTickCount64() < end) {
      Pump(0);
      if (s->done || !OwnedBoxes(w_.main).empty()) break;
      Sleep(1);
    }
  }

  void End() {
    if (pi_.hProcess == nullptr) return;
    if (WaitForSingleObject(pi_.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(pi_.hProcess, 3);
    CloseHandle(pi_.hThread);
    CloseHandle(pi_.hProcess);
    pi_ = PROCESS_INFORMATION{};
  }

  std::string exe_;
  std::string ports_[2];
  std::string problem_;
  PROCESS_INFORMATION pi_ = {};
  win32e2e::Window w_;
  std::vector<std::unique_ptr<Sent>> sent_;  // until the program has answered them
  std::map<HWND, stress::Box> known_;
};

}  // namespace

int StressMain(int argc, char **argv) {
  stress::Options options;
  std::vector<std::string> rest;
  std::string error;
  if (!stress::ParseOptions(argc, argv, options, rest, error)) {
    std::fprintf(stderr, "win32_driver --stress: %s\n", error.c_str());
    return 2;
  }
  if (options.list) {
    stress::Run::List(options);
    return 0;
  }
  if (rest.size() != 4) {
    std::fprintf(stderr,
                 "usage: win32_driver --stress TESSAVO_EXE SIM_PORT MISSING_PORT CONTROL_PORT "
                 "[--seed N] [--steps N] [--without KIND,...] [--trail]\nkinds: %s\n",
                 stress::KindNames().c_str());
    return 2;
  }
  options.maxStream = 4096;  // the log is read whole through WM_GETTEXT at every check
  options.command = "scripts/stress wine --seed " + std::to_string(options.seed) + " --steps " +
                    std::to_string(options.steps);
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--without")
      options.command += std::string(" --without ") + argv[i + 1];
  }
  stress::Sim sim;
  if (!sim.Connect(std::atoi(rest[3].c_str()))) {
    std::fprintf(stderr, "win32_driver --stress: no simulator on control port %s\n",
                 rest[3].c_str());
    return 1;
  }
  Win32Window window(rest[0], rest[1], rest[2]);
  stress::Run run(options, window, sim);
  run.Go();
  return 0;
}
