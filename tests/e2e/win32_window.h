// Reaching Tessavo.exe's window from another process: its controls found by
// kind, caption and place, clicks, picks and typed characters posted to them,
// texts read back (WM_GETTEXT; the status panels through a buffer in the
// program's memory) and its message boxes read (title, text, icon from the
// screen). Shared by the end-to-end check and the stress driver.
#pragma once

// clang-format off
#include <windows.h>  // before the headers that build on it
#include <commctrl.h>
// clang-format on

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "forms/win32/png.h"

namespace win32e2e {

inline constexpr char kCaption[] = "TessavoV1.5";
inline constexpr char kTitle[] = "The system prompts";
inline constexpr DWORD kTimeoutMs = 15000;  // generous: the machine is shared

// Polls `done` until it holds or the time is up.
inline bool WaitFor(const std::function<bool()> &done, DWORD timeoutMs = kTimeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() > end) return false;
    Sleep(20);
  }
}

inline std::string ClassOf(HWND hwnd) {
  char name[128] = {};
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

// WM_GETTEXT across processes (the system carries the text back).
inline std::string TextOf(HWND hwnd) {
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

inline LRESULT Send(HWND hwnd, UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(hwnd, msg, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result);
  return static_cast<LRESULT>(result);
}

// Clicks are posted: a click that opens a modal box must not block us.
inline void Click(HWND button) { PostMessageA(button, BM_CLICK, 0, 0); }

// A user's pick in a drop-down list: the selection, then the notification
// the list sends its parent.
inline void Pick(HWND combo, int index) {
  Send(combo, CB_SETCURSEL, static_cast<WPARAM>(index));
  PostMessageA(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(combo));
}

inline void Type(HWND edit, const std::string &chars) {
  for (unsigned char c : chars) PostMessageA(edit, WM_CHAR, c, 1);
}

inline std::vector<std::string> Items(HWND combo) {
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

inline int IndexOf(const std::vector<std::string> &items, const std::string &item) {
  const auto it = std::find(items.begin(), items.end(), item);
  return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

// A status panel's text: the bar writes it into a buffer that must live in
// its own process.
inline std::string PanelText(HWND bar, int part) {
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

// A 32-bit top-down bitmap selected into a memory DC, for as long as it lives.
class Canvas {
 public:
  Canvas(int width, int height) : screen_(GetDC(nullptr)), dc_(CreateCompatibleDC(screen_)) {
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bitmap_ = CreateDIBSection(dc_, &bi, DIB_RGB_COLORS, &bits_, nullptr, 0);
    old_ = SelectObject(dc_, bitmap_);
  }
  ~Canvas() {
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
    ReleaseDC(nullptr, screen_);
  }
  Canvas(const Canvas &) = delete;
  Canvas &operator=(const Canvas &) = delete;

  HDC Screen() const { return screen_; }
  HDC Dc() const { return dc_; }
  // The pixels, once GDI has finished drawing.
  const std::uint32_t *Bits() const {
    GdiFlush();
    return static_cast<const std::uint32_t *>(bits_);
  }

 private:
  HDC screen_;
  HDC dc_;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
  void *bits_ = nullptr;
};

inline Capture CaptureScreen(const RECT &rc) {
  Capture cap;
  cap.width = rc.right - rc.left;
  cap.height = rc.bottom - rc.top;
  if (cap.width <= 0 || cap.height <= 0) return cap;
  Canvas canvas(cap.width, cap.height);
  BitBlt(canvas.Dc(), 0, 0, cap.width, cap.height, canvas.Screen(), rc.left, rc.top, SRCCOPY);
  cap.pixels.assign(canvas.Bits(), canvas.Bits() + cap.width * cap.height);
  for (auto &p : cap.pixels) p &= 0x00FFFFFFu;
  return cap;
}

// Which system icon a box shows: its picture on the screen compared with
// each candidate drawn here over the same background.
inline std::string IconShown(HWND iconStatic) {
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
    Canvas canvas(shown.width, shown.height);
    HDC dc = canvas.Dc();
    const std::uint32_t bg = shown.pixels[0];
    HBRUSH brush = CreateSolidBrush(RGB((bg >> 16) & 0xFF, (bg >> 8) & 0xFF, bg & 0xFF));
    RECT all = {0, 0, shown.width, shown.height};
    FillRect(dc, &all, brush);
    DeleteObject(brush);
    DrawIconEx(dc, 0, 0, LoadIconA(nullptr, c.id), shown.width, shown.height, 0, nullptr,
               DI_NORMAL);
    const std::uint32_t *mine = canvas.Bits();
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

// The message boxes `owner` has up, oldest first.
inline std::vector<HWND> OwnedBoxes(HWND owner) {
  std::vector<HWND> boxes;
  for (HWND h = FindWindowExA(nullptr, nullptr, "#32770", nullptr); h != nullptr;
       h = FindWindowExA(nullptr, h, "#32770", nullptr)) {
    if (IsWindowVisible(h) && GetWindow(h, GW_OWNER) == owner) boxes.insert(boxes.begin(), h);
  }
  return boxes;
}

inline Box ReadBox(HWND hwnd) {
  Box box;
  box.hwnd = hwnd;
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

inline Box WaitForBox(HWND owner) {
  HWND found = nullptr;
  WaitFor([&] {
    const std::vector<HWND> boxes = OwnedBoxes(owner);
    found = boxes.empty() ? nullptr : boxes.back();
    return found != nullptr;
  });
  return found != nullptr ? ReadBox(found) : Box{};
}

inline bool CloseBox(const Box &box) {
  if (box.hwnd == nullptr) return false;
  HWND ok = GetDlgItem(box.hwnd, IDOK);
  if (ok != nullptr) {
    Click(ok);
  } else {
    PostMessageA(box.hwnd, WM_COMMAND, IDOK, 0);
  }
  return WaitFor([&] { return !IsWindow(box.hwnd) || !IsWindowVisible(box.hwnd); });
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

// Each control by its kind and caption, or by its place for the lists.
inline Window FindControls(HWND main) {
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

inline bool AllFound(const Window &w) {
  for (HWND h :
       {w.cbCom, w.cbBaudRate, w.cbParity, w.cbStop, w.cb40AT, w.cb20AT, w.btnOpenClose, w.btnSend,
        w.btnClearSend, w.btnClearRecv, w.btnUpdate, w.btnClearCount, w.cbHEXSend, w.cbHexDisplay,
        w.cbAutoSend, w.edtAutoSend, w.memSend, w.memLog, w.sbTitle}) {
    if (h == nullptr) return false;
  }
  return true;
}

// The byte total in " Recv:N" / " Send:N".
inline long Counter(const Window &w, int part) {
  const std::string text = PanelText(w.sbTitle, part);
  const std::size_t colon = text.find(':');
  return colon == std::string::npos ? -1 : std::strtol(text.c_str() + colon + 1, nullptr, 10);
}

inline bool SaveWindowPicture(HWND hwnd, const std::string &path) {
  RECT rc;
  GetWindowRect(hwnd, &rc);
  const Capture cap = CaptureScreen(rc);
  return !cap.pixels.empty() && forms::win32::WritePng(path, cap.width, cap.height, cap.pixels);
}

}  // namespace win32e2e
