// The end-to-end check of the Windows program: starts Tessavo.exe, finds its
// window by the caption and its controls by kind, caption and place, and
// drives them from outside as a user (or an automation tool) does: clicks,
// list picks, typed characters, closing the window. It reads back the
// controls, the log (WM_GETTEXT), the status panels (SB_GETTEXT with a buffer
// in the program's memory) and the message boxes (title, text, icon).
//
//   win32_driver TESSAVO_EXE SIM_PORT MISSING_PORT [SCREENSHOT.png]
//   win32_driver --stress ...   the stress driver (tests/stress/stress_win32.cpp)
//
// SIM_PORT is a COM port with the AT module simulator (4.0 personality) at
// its other end; MISSING_PORT is listed but leads nowhere. Prints one line
// per check and "N passed, N failed"; exits non-zero when a check failed.
#include <cstdio>
#include <cstring>
#include <string>

#include "win32_window.h"

namespace {

using namespace win32e2e;

int passed = 0;
int failed = 0;

void Check(bool ok, const std::string &what, const std::string &detail = std::string()) {
  (ok ? passed : failed)++;
  std::printf("%s - %s%s%s\n", ok ? "ok" : "FAIL", what.c_str(), detail.empty() ? "" : ": ",
              detail.c_str());
  std::fflush(stdout);
}

// Opens the log's context menu as a right-click does and picks the item
// whose access key is `key`; false when no menu came up.
bool PickFromLogMenu(HWND log, char key) {
  RECT rc;
  GetWindowRect(log, &rc);
  PostMessageA(log, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(log),
               MAKELPARAM(rc.left + 20, rc.top + 20));
  HWND menu = nullptr;
  if (!WaitFor([&] {
        menu = FindWindowA("#32768", nullptr);
        return menu != nullptr && IsWindowVisible(menu);
      })) {
    return false;
  }
  PostMessageA(menu, WM_KEYDOWN, static_cast<WPARAM>(key), 0);
  PostMessageA(menu, WM_CHAR, static_cast<WPARAM>(key + 32), 0);
  return WaitFor([&] { return !IsWindowVisible(menu); });
}

// A check on what the program shows once it has caught up; the detail
// (what it shows then) is read after the wait.
void Eventually(const std::string &what, const std::function<bool()> &done,
                const std::function<std::string()> &detail = {}) {
  const bool ok = WaitFor(done);
  Check(ok, what, detail ? detail() : std::string());
}

void ExpectBox(HWND owner, const std::string &what, const std::string &text,
               const std::string &icon) {
  const Box box = WaitForBox(owner);
  Check(box.hwnd != nullptr, what + ": a message box owned by the window");
  if (box.hwnd == nullptr) return;
  Check(box.title == kTitle, what + ": title", box.title);
  Check(box.text == text, what + ": text", box.text);
  Check(box.icon == icon, what + ": icon " + icon, box.icon);
  Check(!IsWindowEnabled(owner), what + ": the window is disabled while the box is up");
  Check(CloseBox(box), what + ": OK closes it");
}

// The log holds one line, "OKOK+Get:TESS-BLE", when this runs.
void CheckLogQueriesAndMenu(const Window &w) {
  const std::string line = "OKOK+Get:TESS-BLE";
  Check(SendMessageA(w.memLog, EM_GETLINECOUNT, 0, 0) == 1 &&
            SendMessageA(w.memLog, EM_LINELENGTH, 0, 0) == static_cast<LRESULT>(line.size()) &&
            SendMessageA(w.memLog, EM_LINEINDEX, 1, 0) == -1,
        "the log counts its lines as an edit box does");
  SendMessageA(w.memLog, EM_SETSEL, 4, 9);
  Check(SendMessageA(w.memLog, EM_GETSEL, 0, 0) == MAKELONG(4, 9), "the log's selection",
        std::to_string(SendMessageA(w.memLog, EM_GETSEL, 0, 0)));
  SendMessageA(w.memLog, EM_SETSEL, static_cast<WPARAM>(-1), 0);
  // (Its items cannot be read from another process under Wine; the menu's
  // contents are checked in the backend's own tests.)
  Check(PickFromLogMenu(w.memLog, 'T'), "right-click on the log opens its menu");
  Eventually(
      "Show Timestamps puts the time of the line before it",
      [&] {
        const std::string text = TextOf(w.memLog);
        return text.size() == 15 + line.size() && text[0] == '[' && text[13] == ']' &&
               text.substr(15) == line;
      },
      [&] { return TextOf(w.memLog); });
  PickFromLogMenu(w.memLog, 'T');
  Eventually(
      "and unticking it takes the time away", [&] { return TextOf(w.memLog) == line; },
      [&] { return TextOf(w.memLog); });
}

int Run(const std::string &exe, const std::string &simPort, const std::string &missingPort,
        const std::string &screenshot) {
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  std::string command = "\"" + exe + "\"";
  if (!CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi)) {
    Check(false, "start " + exe, std::to_string(GetLastError()));
    return 1;
  }
  WaitForInputIdle(pi.hProcess, kTimeoutMs);

  // The window, found by its caption once it is shown (its children are
  // made before it shows).
  HWND main = nullptr;
  WaitFor([&] {
    main = FindWindowA(nullptr, kCaption);
    return main != nullptr && IsWindowVisible(main);
  });
  Check(main != nullptr, "the window \"TessavoV1.5\" is shown");
  if (main == nullptr) {
    TerminateProcess(pi.hProcess, 1);
    return 1;
  }
  RECT client;
  GetClientRect(main, &client);
  Check(client.right == 691 && client.bottom == 426, "client area 691 x 426",
        std::to_string(client.right) + " x " + std::to_string(client.bottom));
  const LONG style = GetWindowLongA(main, GWL_STYLE);
  Check((style & WS_THICKFRAME) == 0 && (style & WS_MAXIMIZEBOX) == 0 &&
            (style & WS_MINIMIZEBOX) != 0 && (style & WS_SYSMENU) != 0,
        "fixed border, system menu and minimise box, no maximise box");

  const Window w = FindControls(main);
  Check(AllFound(w), "every control is found by kind, caption or place");
  if (!AllFound(w)) {
    PostMessageA(main, WM_CLOSE, 0, 0);
    WaitForSingleObject(pi.hProcess, kTimeoutMs);
    return 1;
  }

  // ---- the window after start ----
  Check(TextOf(w.btnOpenClose) == "&Open Com", "the port starts closed", TextOf(w.btnOpenClose));
  Check(TextOf(w.memSend) == "AT", "the send box holds \"AT\"", TextOf(w.memSend));
  Check(TextOf(w.edtAutoSend) == "1000", "the interval is 1000", TextOf(w.edtAutoSend));
  Check(PanelText(w.sbTitle, 1) == " Recv:0" && PanelText(w.sbTitle, 2) == " Send:0",
        "status panels read \" Recv:0\" and \" Send:0\"",
        PanelText(w.sbTitle, 1) + "|" + PanelText(w.sbTitle, 2));
  Check(TextOf(w.cbBaudRate) == "9600" && TextOf(w.cbParity) == "None" && TextOf(w.cbStop) == "1" &&
            TextOf(w.cb40AT) == "Choose" && TextOf(w.cb20AT) == "Choose",
        "the lists show 9600, None, 1, Choose, Choose");
  const std::vector<std::string> ports = Items(w.cbCom);
  const int sim = IndexOf(ports, simPort);
  const int missing = IndexOf(ports, missingPort);
  Check(sim >= 0 && missing >= 0, "the port list holds " + simPort + " and " + missingPort);
  Check(Items(w.cb20AT).size() == 37 && Items(w.cb40AT).size() == 27,
        "the AT lists hold 27 and 37 items");

  // ---- sending with the port closed ----
  Click(w.btnSend);
  ExpectBox(main, "Send with the port closed", "Please configure and open serial port", "none");

  // ---- a port that leads nowhere ----
  Pick(w.cbCom, missing);
  WaitFor([&] { return TextOf(w.cbCom) == missingPort; });
  Click(w.btnOpenClose);
  ExpectBox(main, "Open a missing port", "The port does not exist or occupied", "information");
  Check(TextOf(w.btnOpenClose) == "&Open Com", "the port stays closed");

  // ---- open the simulator's port with Alt+O ----
  Pick(w.cbCom, sim);
  WaitFor([&] { return TextOf(w.cbCom) == simPort; });
  PostMessageA(w.cbCom, WM_SYSCHAR, 'o', 1 << 29);
  Eventually(
      "Alt+O opens " + simPort, [&] { return TextOf(w.btnOpenClose) == "&Close Com"; },
      [&] { return TextOf(w.btnOpenClose); });
  // Opening the port resumes the auto-send thread even with Auto Send
  // unticked: the send box's "AT" goes out every 1000 ms.
  Eventually(
      "opening the port starts auto-send (Auto Send unticked)", [&] { return Counter(w, 2) >= 4; },
      [&] { return PanelText(w.sbTitle, 2); });
  // Ticking and unticking Auto Send suspends it.
  Click(w.cbAutoSend);
  WaitFor([&] { return Send(w.cbAutoSend, BM_GETCHECK) == BST_CHECKED; });
  Click(w.cbAutoSend);
  WaitFor([&] { return Send(w.cbAutoSend, BM_GETCHECK) == BST_UNCHECKED; });
  auto settled = [&] {
    const long sent = Counter(w, 2);
    const long received = Counter(w, 1);
    Sleep(1500);  // longer than the interval: a send still due shows by now
    return sent == Counter(w, 2) && received == Counter(w, 1) && sent == received;
  };
  Eventually("Auto Send ticked and unticked stops it", settled,
             [&] { return PanelText(w.sbTitle, 1) + "|" + PanelText(w.sbTitle, 2); });
  Click(w.btnClearRecv);
  Click(w.btnClearCount);
  Eventually("Clear Recv and Reset counter clear the log and the panels",
             [&] { return TextOf(w.memLog).empty() && Counter(w, 1) == 0 && Counter(w, 2) == 0; });

  // ---- "AT" in, "OK" out ----
  Click(w.btnSend);
  Eventually(
      "Send \"AT\": the log shows \"OK\"", [&] { return TextOf(w.memLog) == "OK"; },
      [&] { return TextOf(w.memLog); });
  Eventually(
      "the Send and Recv panels count 2 bytes each",
      [&] { return Counter(w, 2) == 2 && Counter(w, 1) == 2; },
      [&] { return PanelText(w.sbTitle, 1) + "|" + PanelText(w.sbTitle, 2); });

  // ---- an AT list pick fills the send box ----
  Pick(w.cb40AT, IndexOf(Items(w.cb40AT), "AT+NAME?"));
  Eventually(
      "picking \"AT+NAME?\" fills the send box", [&] { return TextOf(w.memSend) == "AT+NAME?"; },
      [&] { return TextOf(w.memSend); });
  Click(w.btnSend);
  Eventually(
      "the module answers the query with its name",
      [&] { return TextOf(w.memLog) == "OKOK+Get:TESS-BLE"; }, [&] { return TextOf(w.memLog); });
  // The log answers the read-only edit queries, and has the log's menu.
  CheckLogQueriesAndMenu(w);
  // The 2.1 list's full-width question mark item, as the code page has it.
  const std::vector<std::string> at21 = Items(w.cb20AT);
  Check(at21.size() == 37 && at21[2] == "AT+NAME?" && at21[14].rfind("AT+NAME", 0) == 0,
        "the 2.1 list holds \"AT+NAME?\" and the full-width \"AT+NAME\\uFF1F\"",
        at21.size() == 37 ? at21[14] : std::string());

  // ---- hex send: only hex digits get through the key filter ----
  Click(w.btnClearRecv);
  Click(w.btnClearCount);
  WaitFor([&] { return TextOf(w.memLog).empty() && Counter(w, 2) == 0; });
  Click(w.cbHEXSend);
  Eventually("HEX Send is ticked", [&] { return Send(w.cbHEXSend, BM_GETCHECK) == BST_CHECKED; });
  Eventually(
      "ticking HEX Send clears the send box", [&] { return TextOf(w.memSend).empty(); },
      [&] { return TextOf(w.memSend); });
  Type(w.memSend, "41 5x4");
  Eventually(
      "typing \"41 5x4\" leaves \"4154\"", [&] { return TextOf(w.memSend) == "4154"; },
      [&] { return TextOf(w.memSend); });

  // ---- hex display ----
  Click(w.cbHexDisplay);
  WaitFor([&] { return Send(w.cbHexDisplay, BM_GETCHECK) == BST_CHECKED; });
  Click(w.btnSend);
  Eventually(
      "hex \"4154\" sends \"AT\"; the answer shows as \"4F 4B \"",
      [&] { return TextOf(w.memLog) == "4F 4B "; }, [&] { return TextOf(w.memLog); });
  Eventually(
      "the counters count 2 and 2", [&] { return Counter(w, 2) == 2 && Counter(w, 1) == 2; },
      [&] { return PanelText(w.sbTitle, 1) + "|" + PanelText(w.sbTitle, 2); });
  Click(w.cbHexDisplay);
  Click(w.cbHEXSend);
  WaitFor([&] {
    return Send(w.cbHEXSend, BM_GETCHECK) == BST_UNCHECKED &&
           Send(w.cbHexDisplay, BM_GETCHECK) == BST_UNCHECKED;
  });

  // ---- auto-send ----
  Click(w.btnClearRecv);
  Click(w.btnClearCount);
  WaitFor([&] { return TextOf(w.memLog).empty() && Counter(w, 2) == 0; });
  SendMessageTimeoutA(w.memSend, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("AT"), SMTO_ABORTIFHUNG,
                      5000, nullptr);
  SendMessageTimeoutA(w.edtAutoSend, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("200"),
                      SMTO_ABORTIFHUNG, 5000, nullptr);
  Click(w.cbAutoSend);
  Eventually(
      "Auto Send every 200 ms sends \"AT\" again and again", [&] { return Counter(w, 2) >= 10; },
      [&] { return PanelText(w.sbTitle, 2); });
  Check(!IsWindowEnabled(w.btnSend) && !IsWindowEnabled(w.edtAutoSend),
        "Send and the interval are disabled while auto-sending");
  Click(w.cbAutoSend);
  Eventually("unticking Auto Send stops it, every \"AT\" answered", settled,
             [&] { return PanelText(w.sbTitle, 1) + "|" + PanelText(w.sbTitle, 2); });
  Check(IsWindowEnabled(w.btnSend) && IsWindowEnabled(w.edtAutoSend),
        "Send and the interval are enabled again");
  {
    const std::string log = TextOf(w.memLog);
    std::string expected;
    for (long i = 0; i < Counter(w, 1) / 2; ++i) expected += "OK";
    Check(log == expected, "the log holds one \"OK\" per send", log);
  }

  // ---- the Upgrade box ----
  Click(w.btnUpdate);
  {
    const Box box = WaitForBox(main);
    Check(box.title == kTitle && box.icon == "information" &&
              box.text.rfind("Welcome to Zelvane technology products, please visit ", 0) == 0 &&
              box.text.size() > 21 &&
              box.text.compare(box.text.size() - 21, 21, " for more information") == 0,
          "Upgrade shows the welcome box with the information icon", box.text + " / " + box.icon);
    CloseBox(box);
  }

  // A last exchange for the picture.
  Click(w.btnClearRecv);
  Pick(w.cb40AT, IndexOf(Items(w.cb40AT), "AT+VERS?"));
  WaitFor([&] { return TextOf(w.memSend) == "AT+VERS?"; });
  Click(w.btnSend);
  WaitFor([&] { return TextOf(w.memLog).rfind("OK+Get:", 0) == 0; });

  if (!screenshot.empty()) {
    SetForegroundWindow(main);
    RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Sleep(300);
    Check(SaveWindowPicture(main, screenshot), "screenshot " + screenshot);
  }

  // ---- closing the window closes the port and ends the program ----
  // With the find window up: it belongs to the main window and goes with it.
  Check(PickFromLogMenu(w.memLog, 'F'), "the log's menu opens the find window");
  HWND find = nullptr;
  Eventually("the find window is up, owned by the main window", [&] {
    find = FindWindowA(nullptr, "Find");
    return find != nullptr && IsWindowVisible(find) && GetWindow(find, GW_OWNER) == main;
  });
  PostMessageA(main, WM_CLOSE, 0, 0);
  const bool ended = WaitForSingleObject(pi.hProcess, kTimeoutMs) == WAIT_OBJECT_0;
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  Check(ended && code == 0, "closing the window ends the program", std::to_string(code));
  if (!ended) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return 0;
}

}  // namespace

int StressMain(int argc, char **argv);

int main(int argc, char **argv) {
  if (argc > 1 && std::strcmp(argv[1], "--stress") == 0) return StressMain(argc - 1, argv + 1);
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s TESSAVO_EXE SIM_PORT MISSING_PORT [SCREENSHOT.png]\n", argv[0]);
    return 2;
  }
  Run(argv[1], argv[2], argv[3], argc > 4 ? argv[4] : "");
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}
