// The end-to-end check of the Windows program: starts Tessavo.exe, finds its
// window by the caption and its controls by kind, caption and place, and
// drives them from outside as a user (or an automation tool) does: clicks,
// list picks, typed characters, closing the window. It reads back the
// controls, the log (WM_GETTEXT), the status panels (SB_GETTEXT with a buffer
// in the program's memory) and the message boxes (title, text, icon).
//
//   win32_driver TESSAVO_EXE SIM_PORT MISSING_PORT [SCREENSHOT.png]
//
// SIM_PORT is a COM port with the AT module simulator (4.0 personality) at
// its other end; MISSING_PORT is listed but leads nowhere. Prints one line
// per check and "N passed, N failed"; exits non-zero when a check failed.
// clang-format off
#include <windows.h>  // before the headers that build on it
#include <commctrl.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "forms/win32/png.h"

namespace {

constexpr char kCaption[] = "TessavoV1.5";
constexpr char kTitle[] = "The system prompts";
constexpr DWORD kTimeoutMs = 15000;  // generous: the machine is shared

int passed = 0;
int failed = 0;

void Check(bool ok, const std::string &what, const std::string &detail = std::string()) {
  (ok ? passed : failed)++;
  std::printf("%s - %s%s%s\n", ok ? "ok" : "FAIL", what.c_str(), detail.empty() ? "" : ": ",
              detail.c_str());
  std::fflush(stdout);
}

// Polls `done` until it holds or the time is up.
bool WaitFor(const std::function<bool()> &done, DWORD timeoutMs = kTimeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() > end) return false;
    Sleep(20);
  }
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

std::string ClassOf(HWND hwnd) {
  char name[128] = {};
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

// WM_GETTEXT across processes (the system carries the text back).
std::string TextOf(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length))
    return {};
  std::string text(length + 1, '\0');
  DWORD_PTR got = 0;
  SendMessageTimeoutA(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 5000, &got);
  text.resize(std::min<std::size_t>(got, length));
  return text;
}

LRESULT Send(HWND hwnd, UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(hwnd, msg, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result);
  return static_cast<LRESULT>(result);
}

// Clicks are posted: a click that opens a modal box must not block us.
void Click(HWND button) { PostMessageA(button, BM_CLICK, 0, 0); }

// A user's pick in a drop-down list: the selection, then the notification
// the list sends its parent.
void Pick(HWND combo, int index) {
  Send(combo, CB_SETCURSEL, static_cast<WPARAM>(index));
  PostMessageA(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(combo));
}

void Type(HWND edit, const std::string &chars) {
  for (unsigned char c : chars) PostMessageA(edit, WM_CHAR, c, 1);
}

std::vector<std::string> Items(HWND combo) {
  std::vector<std::string> items;
  const LRESULT n = Send(combo, CB_GETCOUNT);
  for (LRESULT i = 0; i < n; ++i) {
    // Only the wide-character call brings the whole item across.
    wchar_t wide[256] = {};
    DWORD_PTR got = 0;
    SendMessageTimeoutW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide),
                        SMTO_ABORTIFHUNG, 5000, &got);
    char narrow[512] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
    items.emplace_back(narrow);
  }
  return items;
}

int IndexOf(const std::vector<std::string> &items, const std::string &item) {
  const auto it = std::find(items.begin(), items.end(), item);
  return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

// A status panel's text: the bar writes it into a buffer that must live in
// its own process.
std::string PanelText(HWND bar, int part) {
  DWORD pid = 0;
  GetWindowThreadProcessId(bar, &pid);
  HANDLE process =
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (process == nullptr) return "<no access>";
  const std::size_t size = 1024;
  void *remote = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  std::string text;
  if (remote != nullptr) {
    Send(bar, SB_GETTEXTA, static_cast<WPARAM>(part), reinterpret_cast<LPARAM>(remote));
    char local[size] = {};
    SIZE_T read = 0;
    ReadProcessMemory(process, remote, local, size - 1, &read);
    text = local;
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
  return text;
}

// ---- pictures from the screen ---------------------------------------------------

struct Capture {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;  // 0x00RRGGBB, rows from the top
};

Capture CaptureScreen(const RECT &rc) {
  Capture cap;
  cap.width = rc.right - rc.left;
  cap.height = rc.bottom - rc.top;
  if (cap.width <= 0 || cap.height <= 0) return cap;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = cap.width;
  bi.bmiHeader.biHeight = -cap.height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void *bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, bitmap);
  BitBlt(dc, 0, 0, cap.width, cap.height, screen, rc.left, rc.top, SRCCOPY);
  GdiFlush();
  cap.pixels.assign(static_cast<const std::uint32_t *>(bits),
                    static_cast<const std::uint32_t *>(bits) + cap.width * cap.height);
  for (auto &p : cap.pixels) p &= 0x00FFFFFFu;
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return cap;
}

// Which system icon a box shows: its picture on the screen compared with
// each candidate drawn here over the same background.
std::string IconShown(HWND iconStatic) {
  RECT rc;
  GetWindowRect(iconStatic, &rc);
  rc.right = rc.left + GetSystemMetrics(SM_CXICON);
  rc.bottom = rc.top + GetSystemMetrics(SM_CYICON);
  const Capture shown = CaptureScreen(rc);
  if (shown.pixels.empty()) return "none";
  struct Candidate {
    const char *name;
    LPCSTR id;
  } candidates[] = {{"information", IDI_INFORMATION},
                    {"error", IDI_ERROR},
                    {"warning", IDI_WARNING},
                    {"question", IDI_QUESTION}};
  std::string best = "unknown";
  std::size_t bestDiff = shown.pixels.size();
  for (const Candidate &c : candidates) {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = shown.width;
    bi.bmiHeader.biHeight = -shown.height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bitmap);
    const std::uint32_t bg = shown.pixels[0];
    HBRUSH brush = CreateSolidBrush(RGB((bg >> 16) & 0xFF, (bg >> 8) & 0xFF, bg & 0xFF));
    RECT all = {0, 0, shown.width, shown.height};
    FillRect(dc, &all, brush);
    DeleteObject(brush);
    DrawIconEx(dc, 0, 0, LoadIconA(nullptr, c.id), shown.width, shown.height, 0, nullptr,
               DI_NORMAL);
    GdiFlush();
    const auto *mine = static_cast<const std::uint32_t *>(bits);
    std::size_t diff = 0;
    for (std::size_t i = 0; i < shown.pixels.size(); ++i) {
      const std::uint32_t a = shown.pixels[i], b = mine[i] & 0x00FFFFFFu;
      for (int shift : {0, 8, 16}) {
        if (std::abs(static_cast<int>((a >> shift) & 0xFF) -
                     static_cast<int>((b >> shift) & 0xFF)) > 24) {
          ++diff;
          break;
        }
      }
    }
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    if (diff < bestDiff) {
      bestDiff = diff;
      best = c.name;
    }
  }
  // Most pixels must agree, or the picture is none of them.
  return bestDiff * 10 < shown.pixels.size() ? best : "unknown";
}

// ---- message boxes ----------------------------------------------------------------

struct Box {
  HWND hwnd = nullptr;
  std::string title;
  std::string text;
  std::string icon = "none";
};

Box WaitForBox(HWND owner) {
  Box box;
  WaitFor([&] {
    HWND found = nullptr;
    for (HWND h = FindWindowExA(nullptr, nullptr, "#32770", nullptr); h != nullptr;
         h = FindWindowExA(nullptr, h, "#32770", nullptr)) {
      if (IsWindowVisible(h) && GetWindow(h, GW_OWNER) == owner) found = h;
    }
    box.hwnd = found;
    return found != nullptr;
  });
  if (box.hwnd == nullptr) return box;
  Sleep(200);  // let it paint before its icon is read from the screen
  box.title = TextOf(box.hwnd);
  box.text = TextOf(GetDlgItem(box.hwnd, 0xFFFF));
  for (HWND c = GetWindow(box.hwnd, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    if (ClassOf(c) == "Static" && (GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
        IsWindowVisible(c) && Send(c, STM_GETICON) != 0) {
      box.icon = IconShown(c);
    }
  }
  return box;
}

bool CloseBox(const Box &box) {
  if (box.hwnd == nullptr) return false;
  HWND ok = GetDlgItem(box.hwnd, IDOK);
  if (ok != nullptr) {
    Click(ok);
  } else {
    PostMessageA(box.hwnd, WM_COMMAND, IDOK, 0);
  }
  return WaitFor([&] { return !IsWindow(box.hwnd) || !IsWindowVisible(box.hwnd); });
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

// ---- the window and its controls ----------------------------------------------------

struct Window {
  HWND main = nullptr;
  HWND cbCom = nullptr, cbBaudRate = nullptr, cbParity = nullptr, cbStop = nullptr;
  HWND cb40AT = nullptr, cb20AT = nullptr;
  HWND btnOpenClose = nullptr, btnSend = nullptr, btnClearSend = nullptr, btnClearRecv = nullptr;
  HWND btnUpdate = nullptr, btnClearCount = nullptr;
  HWND cbHEXSend = nullptr, cbHexDisplay = nullptr, cbAutoSend = nullptr;
  HWND edtAutoSend = nullptr, memSend = nullptr, memLog = nullptr, sbTitle = nullptr;
};

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

// Each control by its kind and caption, or by its place for the lists.
Window FindControls(HWND main) {
  Window w;
  w.main = main;
  std::vector<HWND> all;
  EnumChildWindows(
      main,
      [](HWND h, LPARAM p) -> BOOL {
        reinterpret_cast<std::vector<HWND> *>(p)->push_back(h);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&all));
  std::vector<std::pair<POINT, HWND>> lists;
  for (HWND h : all) {
    const std::string cls = ClassOf(h);
    const std::string text = TextOf(h);
    const LONG style = GetWindowLongA(h, GWL_STYLE);
    RECT rc;
    GetWindowRect(h, &rc);
    MapWindowPoints(nullptr, main, reinterpret_cast<POINT *>(&rc), 2);
    if (cls == "Button") {
      const LONG type = style & BS_TYPEMASK;
      if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX) {
        if (text == "HEX Send") w.cbHEXSend = h;
        if (text == "HEX Disp") w.cbHexDisplay = h;
        if (text == "Auto Send") w.cbAutoSend = h;
      } else if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) {
        if (text == "&Open Com" || text == "&Close Com") w.btnOpenClose = h;
        if (text == "&Send") w.btnSend = h;
        if (text == "Clear Send") w.btnClearSend = h;
        if (text == "Clear Recv") w.btnClearRecv = h;
        if (text == "Upgrade") w.btnUpdate = h;
        if (text == "Reset counter") w.btnClearCount = h;
      }
    } else if (cls == "ComboBox") {
      lists.push_back({POINT{rc.left, rc.top}, h});
    } else if (cls == "Edit") {
      if (style & ES_MULTILINE) {
        w.memSend = h;
      } else {
        w.edtAutoSend = h;
      }
    } else if (cls == STATUSCLASSNAMEA) {
      w.sbTitle = h;
    } else if ((style & WS_VSCROLL) && cls != "ComboBox" && rc.right - rc.left > 400) {
      w.memLog = h;  // the big scrolling text view on the right
    }
  }
  // The lists stand in one column, top to bottom.
  std::sort(lists.begin(), lists.end(),
            [](const auto &a, const auto &b) { return a.first.y < b.first.y; });
  HWND *order[] = {&w.cbCom, &w.cbBaudRate, &w.cbParity, &w.cbStop, &w.cb40AT, &w.cb20AT};
  for (std::size_t i = 0; i < lists.size() && i < 6; ++i) *order[i] = lists[i].second;
  return w;
}

bool AllFound(const Window &w) {
  for (HWND h :
       {w.cbCom, w.cbBaudRate, w.cbParity, w.cbStop, w.cb40AT, w.cb20AT, w.btnOpenClose, w.btnSend,
        w.btnClearSend, w.btnClearRecv, w.btnUpdate, w.btnClearCount, w.cbHEXSend, w.cbHexDisplay,
        w.cbAutoSend, w.edtAutoSend, w.memSend, w.memLog, w.sbTitle}) {
    if (h == nullptr) return false;
  }
  return true;
}

// The byte total in " Recv:N" / " Send:N".
long Counter(const Window &w, int part) {
  const std::string text = PanelText(w.sbTitle, part);
  const std::size_t colon = text.find(':');
  return colon == std::string::npos ? -1 : std::strtol(text.c_str() + colon + 1, nullptr, 10);
}

bool SaveWindowPicture(HWND hwnd, const std::string &path) {
  RECT rc;
  GetWindowRect(hwnd, &rc);
  const Capture cap = CaptureScreen(rc);
  return !cap.pixels.empty() && forms::win32::WritePng(path, cap.width, cap.height, cap.pixels);
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

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s TESSAVO_EXE SIM_PORT MISSING_PORT [SCREENSHOT.png]\n", argv[0]);
    return 2;
  }
  Run(argv[1], argv[2], argv[3], argc > 4 ? argv[4] : "");
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}
