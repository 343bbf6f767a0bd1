#include "forms/win32/log_view.h"

#include <windowsx.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "forms/log_commands.h"
#include "forms/log_layout.h"

namespace forms::win32 {

namespace {

const char kClassName[] = "TessavoLogView";
constexpr int kMargin = 2;  // left and right, as an edit control leaves
// Posted to itself: what was appended is laid out, the end shown and the
// scroll bar brought up to date once the queue has caught up, at most once
// a frame. A layout and a scroll bar redrawn at every append would cost
// more than the append.
constexpr UINT kSync = WM_APP + 0x4C0;
constexpr UINT_PTR kSyncTimer = 1;
constexpr DWORD kFrameMs = 15;

// ---- the ANSI code page as a decoder --------------------------------------------

std::array<char32_t, 256> SingleByteTable(UINT codePage) {
  std::array<char32_t, 256> table{};
  for (int b = 0; b < 256; ++b) {
    const char byte = static_cast<char>(b);
    wchar_t w = 0;
    table[static_cast<std::size_t>(b)] =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, &byte, 1, &w, 1) == 1
            ? static_cast<char32_t>(w)
            : LogLayout::kReplacement;
  }
  return table;
}

// A double-byte code page (Chinese, Japanese, Korean Windows): a lead byte
// and the byte after it make one character.
class DbcsDecoder : public TextDecoder {
 public:
  explicit DbcsDecoder(UINT codePage) : codePage_(codePage), single_(SingleByteTable(codePage)) {
    for (int b = 0; b < 256; ++b) {
      lead_[static_cast<std::size_t>(b)] = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(b)) != 0;
    }
  }
  Char Next(const unsigned char *p, std::size_t n) const override {
    if (!lead_[p[0]]) return Char{single_[p[0]], 1};
    if (n < 2) return Char{0, 0};
    wchar_t w[2] = {};
    const int got = MultiByteToWideChar(codePage_, MB_ERR_INVALID_CHARS,
                                        reinterpret_cast<const char *>(p), 2, w, 2);
    if (got == 1) return Char{static_cast<char32_t>(w[0]), 2};
    return Char{LogLayout::kReplacement, 1};
  }
  std::size_t MaxLength() const override { return 2; }

 private:
  UINT codePage_;
  std::array<char32_t, 256> single_;
  std::array<bool, 256> lead_{};
};

std::unique_ptr<TextDecoder> AnsiDecoder() {
  const UINT cp = GetACP();
  if (cp == CP_UTF8) return std::make_unique<Utf8Decoder>();
  CPINFO info = {};
  if (GetCPInfo(cp, &info) && info.MaxCharSize == 2) return std::make_unique<DbcsDecoder>(cp);
  return std::make_unique<SingleByteDecoder>(SingleByteTable(cp));
}

// ---- state ------------------------------------------------------------------------

struct LogState;

// The view as the log's commands see it.
class Access : public LogViewAccess {
 public:
  explicit Access(LogState &s) : s_(s) {}
  const LogLayout &CurrentLayout() override;
  std::uint64_t Anchor() const override;
  std::uint64_t Caret() const override;
  void Select(std::uint64_t anchor, std::uint64_t caret) override;
  void ShowCharacter(std::uint64_t pos) override;
  std::size_t TopRow() override;
  std::size_t PageRows() override;
  void ScrollToRow(std::size_t row) override;
  void SetClipboard(const std::u16string &text) override;

 private:
  LogState &s_;
};

struct LogState {
  HWND hwnd = nullptr;
  HFONT font = nullptr;

  LogText own;  // the text when no memo is attached
  const LogSource *text = &own;
  TMemo *memo = nullptr;
  Access access{*this};
  std::function<void(const std::string &)> setText;  // for an attached memo
  std::unique_ptr<TextDecoder> decoder = AnsiDecoder();
  std::unique_ptr<LogLayout> layout;

  HDC measureDc = nullptr;
  std::vector<std::int16_t> widths;  // by UTF-16 unit, -1 until measured
  int lineHeight = 13;
  int tabWidth = 32;
  int clientHeight = 0;

  std::size_t top = 0;  // first row shown
  bool scrollBarDue = false;
  // Pending until the next frame.
  bool appended = false;
  bool followEnd = false;
  bool syncDue = false;
  DWORD lastSync = 0;
  int wheelRest = 0;

  // Selection in shown characters: anchor to caret.
  std::uint64_t anchor = 0;
  std::uint64_t caret = 0;
  bool dragging = false;

  // Double buffer, kept while the size holds.
  HBITMAP buffer = nullptr;
  int bufferW = 0;
  int bufferH = 0;
};

LogState *StateOf(HWND hwnd) {
  return reinterpret_cast<LogState *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

// ---- metrics ----------------------------------------------------------------------

int CharWidth(LogState &s, char32_t c) {
  if (c == U'\t') return s.tabWidth;
  if (c < 0x10000) {
    std::int16_t &w = s.widths[c];
    if (w < 0) {
      // A block at a time: neighbouring characters come together.
      const UINT first = static_cast<UINT>(c) & ~0xFFu;
      INT got[256];
      const bool ok = GetCharWidth32W(s.measureDc, first, first + 255, got) != FALSE;
      for (UINT i = 0; i < 256; ++i) {
        s.widths[first + i] =
            static_cast<std::int16_t>(ok ? std::clamp(got[i], 0, 4096) : s.lineHeight / 2);
      }
    }
    return w;
  }
  const char32_t v = c - 0x10000;
  const wchar_t pair[2] = {static_cast<wchar_t>(0xD800 + (v >> 10)),
                           static_cast<wchar_t>(0xDC00 + (v & 0x3FF))};
  SIZE size = {};
  GetTextExtentPoint32W(s.measureDc, pair, 2, &size);
  return size.cx;
}

std::size_t VisibleRows(const LogState &s) {
  return static_cast<std::size_t>(std::max(1, s.clientHeight / std::max(1, s.lineHeight)));
}

std::size_t MaxTop(const LogState &s) {
  const std::size_t rows = s.layout->RowCount();
  const std::size_t visible = VisibleRows(s);
  return rows > visible ? rows - visible : 0;
}

void SyncScrollBar(LogState &s) {
  s.scrollBarDue = false;
  SCROLLINFO si = {};
  si.cbSize = sizeof si;
  si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
  si.nMin = 0;
  si.nMax = static_cast<int>(std::min<std::size_t>(s.layout->RowCount() - 1, 0x7FFFFFFF));
  si.nPage = static_cast<UINT>(VisibleRows(s));
  si.nPos = static_cast<int>(s.top);
  SetScrollInfo(s.hwnd, SB_VERT, &si, TRUE);
}

// Asks for a frame: once the queue has caught up when the last frame was
// long enough ago, else when a frame's time since it has passed.
void ScheduleSync(LogState &s) {
  if (s.syncDue) return;
  const DWORD since = GetTickCount() - s.lastSync;
  if (since >= kFrameMs) {
    s.syncDue = PostMessageA(s.hwnd, kSync, 0, 0) != FALSE;
  } else {
    s.syncDue = SetTimer(s.hwnd, kSyncTimer, kFrameMs - since, nullptr) != 0;
  }
}

void UpdateScrollBar(LogState &s) {
  s.scrollBarDue = true;
  ScheduleSync(s);
  if (!s.syncDue) SyncScrollBar(s);
}

void ScrollTo(LogState &s, std::size_t top) {
  top = std::min(top, MaxTop(s));
  if (top == s.top) return;
  s.top = top;
  // Painting the few rows in view again costs less than moving pixels.
  InvalidateRect(s.hwnd, nullptr, FALSE);
  UpdateScrollBar(s);
}

// Repaints rows from `row` down, where they are on screen.
void InvalidateFromRow(LogState &s, std::size_t row) {
  if (row > s.top + VisibleRows(s)) return;
  RECT rc;
  GetClientRect(s.hwnd, &rc);
  if (row > s.top) {
    rc.top = static_cast<LONG>((row - s.top) * static_cast<std::size_t>(s.lineHeight));
  }
  InvalidateRect(s.hwnd, &rc, FALSE);
}

// After the rows were laid out anew (Reset, a new width or font).
void Relaid(LogState &s) {
  s.top = std::min(s.top, MaxTop(s));
  s.anchor = std::min<std::uint64_t>(s.anchor, s.layout->CharCount());
  s.caret = std::min<std::uint64_t>(s.caret, s.layout->CharCount());
  UpdateScrollBar(s);
  InvalidateRect(s.hwnd, nullptr, FALSE);
}

void ApplyFont(LogState &s, HFONT font) {
  s.font = font;
  SelectObject(s.measureDc, font != nullptr ? font : GetStockObject(DEFAULT_GUI_FONT));
  TEXTMETRICW tm;
  GetTextMetricsW(s.measureDc, &tm);
  s.lineHeight = std::max<int>(1, tm.tmHeight);
  s.tabWidth = std::max<int>(1, tm.tmAveCharWidth * 4);
  s.widths.assign(0x10000, -1);
  LogState *state = &s;
  s.layout->SetWidthFunction([state](char32_t c) { return CharWidth(*state, c); });
}

void ApplySize(LogState &s) {
  RECT rc;
  GetClientRect(s.hwnd, &rc);
  s.clientHeight = rc.bottom - rc.top;
  const int width = std::max(1, static_cast<int>(rc.right - rc.left) - 2 * kMargin);
  if (width != s.layout->Width()) {
    s.layout->SetWidth(width);
    Relaid(s);
  } else {
    s.top = std::min(s.top, MaxTop(s));
    UpdateScrollBar(s);
  }
}

// ---- text -------------------------------------------------------------------------

void TextAppended(LogState &s) {
  s.appended = true;
  ScheduleSync(s);
}

// Takes in what is pending: lays out the new text, shows the end when it
// was asked for, and brings the scroll bar up to date.
void Sync(LogState &s) {
  if (s.syncDue) {
    s.syncDue = false;
    KillTimer(s.hwnd, kSyncTimer);
  }
  s.lastSync = GetTickCount();
  if (s.appended) {
    s.appended = false;
    const std::size_t lastRow = s.layout->RowCount() - 1;
    const std::size_t rowsBefore = s.layout->RowCount();
    s.layout->Update();
    InvalidateFromRow(s, lastRow);
    if (s.layout->RowCount() != rowsBefore) s.scrollBarDue = true;
  }
  if (s.followEnd) {
    s.followEnd = false;
    const std::size_t top = MaxTop(s);
    if (top != s.top) {
      s.top = top;
      InvalidateRect(s.hwnd, nullptr, FALSE);
      s.scrollBarDue = true;
    }
  }
  if (s.scrollBarDue) SyncScrollBar(s);
}

void TextChanged(LogState &s) {
  s.appended = false;
  s.top = 0;
  s.anchor = s.caret = 0;
  s.layout->Reset();
  Relaid(s);
}

// ---- selection --------------------------------------------------------------------

std::uint64_t HitTest(LogState &s, int x, int y) {
  const long long r = static_cast<long long>(s.top) + (y < 0 ? -1 : y / std::max(1, s.lineHeight));
  if (r < 0) return 0;
  if (static_cast<std::size_t>(r) >= s.layout->RowCount()) return s.layout->CharCount();
  return s.layout->CharAtX(static_cast<std::size_t>(r), x - kMargin);
}

void SetClipboardText(LogState &s, const std::u16string &shown) {
  std::wstring text;
  for (char16_t c : shown) {
    if (c == u'\n') {
      text += L"\r\n";
    } else {
      text += static_cast<wchar_t>(c);
    }
  }
  if (!OpenClipboard(s.hwnd)) return;
  EmptyClipboard();
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  if (HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    if (void *p = GlobalLock(mem)) {
      std::memcpy(p, text.c_str(), bytes);
      GlobalUnlock(mem);
      if (SetClipboardData(CF_UNICODETEXT, mem) == nullptr) GlobalFree(mem);
    } else {
      GlobalFree(mem);
    }
  }
  CloseClipboard();
}

void CopySelection(LogState &s) {
  Sync(s);
  const std::uint64_t a = std::min(s.anchor, s.caret);
  const std::uint64_t b = std::max(s.anchor, s.caret);
  if (a == b) return;
  SetClipboardText(s, s.layout->TextRange(a, b));
}

// Scrolls as little as needed to show the row of character `pos`.
void ShowChar(LogState &s, std::uint64_t pos) {
  Sync(s);
  const std::size_t row = s.layout->RowOfChar(pos);
  if (row < s.top) {
    ScrollTo(s, row);
  } else if (row >= s.top + VisibleRows(s)) {
    ScrollTo(s, row - VisibleRows(s) + 1);
  }
}

void SetSelection(LogState &s, std::uint64_t anchor, std::uint64_t caret) {
  Sync(s);
  s.anchor = std::min<std::uint64_t>(anchor, s.layout->CharCount());
  s.caret = std::min<std::uint64_t>(caret, s.layout->CharCount());
  InvalidateRect(s.hwnd, nullptr, FALSE);
}

}  // namespace

const LogLayout &Access::CurrentLayout() {
  Sync(s_);
  return *s_.layout;
}
std::uint64_t Access::Anchor() const { return s_.anchor; }
std::uint64_t Access::Caret() const { return s_.caret; }
void Access::Select(std::uint64_t anchor, std::uint64_t caret) { SetSelection(s_, anchor, caret); }
void Access::ShowCharacter(std::uint64_t pos) { ShowChar(s_, pos); }
std::size_t Access::TopRow() {
  Sync(s_);
  return s_.top;
}
std::size_t Access::PageRows() { return VisibleRows(s_); }
void Access::ScrollToRow(std::size_t row) {
  Sync(s_);
  ScrollTo(s_, row);
}
void Access::SetClipboard(const std::u16string &text) { SetClipboardText(s_, text); }

namespace {

// ---- painting ---------------------------------------------------------------------

// Draws characters [from, to) of a row's text (offsets into `row`).
void DrawPart(LogState &s, HDC dc, const std::u16string &row, std::size_t from, std::size_t to,
              int &x, int y, bool selected) {
  if (from >= to) return;
  std::wstring shown;
  std::vector<INT> dx;
  shown.reserve(to - from);
  dx.reserve(to - from);
  int width = 0;
  for (std::size_t i = from; i < to; ++i) {
    char32_t c = row[i];
    const bool pair = c >= 0xD800 && c < 0xDC00 && i + 1 < to;
    if (pair) c = 0x10000 + ((c - 0xD800) << 10) + (row[i + 1] - 0xDC00);
    const int w = CharWidth(s, c);
    shown += c == U'\t' ? L' ' : static_cast<wchar_t>(row[i]);
    dx.push_back(w);
    if (pair) {
      shown += static_cast<wchar_t>(row[++i]);
      dx.push_back(0);
    }
    width += w;
  }
  if (selected) {
    RECT rc = {x, y, x + width, y + s.lineHeight};
    FillRect(dc, &rc, GetSysColorBrush(COLOR_HIGHLIGHT));
    SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHTTEXT));
  } else {
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  }
  ExtTextOutW(dc, x, y, 0, nullptr, shown.data(), static_cast<UINT>(shown.size()), dx.data());
  x += width;
}

void Paint(LogState &s) {
  Sync(s);
  PAINTSTRUCT ps;
  HDC target = BeginPaint(s.hwnd, &ps);
  RECT client;
  GetClientRect(s.hwnd, &client);
  const int w = std::max<int>(1, client.right);
  const int h = std::max<int>(1, client.bottom);
  if (s.buffer == nullptr || s.bufferW != w || s.bufferH != h) {
    if (s.buffer != nullptr) DeleteObject(s.buffer);
    s.buffer = CreateCompatibleBitmap(target, w, h);
    s.bufferW = w;
    s.bufferH = h;
  }
  HDC dc = CreateCompatibleDC(target);
  HGDIOBJ oldBitmap = SelectObject(dc, s.buffer);
  HGDIOBJ oldFont = SelectObject(dc, s.font != nullptr ? s.font : GetStockObject(DEFAULT_GUI_FONT));
  FillRect(dc, &ps.rcPaint, GetSysColorBrush(COLOR_WINDOW));
  SetBkMode(dc, TRANSPARENT);
  const std::uint64_t selA = std::min(s.anchor, s.caret);
  const std::uint64_t selB = std::max(s.anchor, s.caret);
  const int lh = std::max(1, s.lineHeight);
  const std::size_t rows = s.layout->RowCount();
  for (std::size_t r = s.top + static_cast<std::size_t>(std::max<LONG>(0, ps.rcPaint.top) / lh);
       r < rows; ++r) {
    const int y = static_cast<int>(r - s.top) * lh;
    if (y >= ps.rcPaint.bottom) break;
    const LogLayout::Row row = s.layout->RowAt(r);
    const std::u16string text = s.layout->RowText(r, false);
    const std::uint64_t start = row.charStart;
    const std::uint64_t end = start + text.size();
    const std::size_t a = static_cast<std::size_t>(std::clamp(selA, start, end) - start);
    const std::size_t b = static_cast<std::size_t>(std::clamp(selB, start, end) - start);
    int x = kMargin;
    DrawPart(s, dc, text, 0, a, x, y, false);
    DrawPart(s, dc, text, a, b, x, y, true);
    DrawPart(s, dc, text, b, text.size(), x, y, false);
  }
  // The caret, where keyboard selection starts from, while the log has focus.
  if (GetFocus() == s.hwnd) {
    const std::size_t row = s.layout->RowOfChar(s.caret);
    if (row >= s.top && row < s.top + VisibleRows(s) + 1) {
      const int x = kMargin + s.layout->XOfChar(s.caret);
      const int y = static_cast<int>(row - s.top) * lh;
      RECT caret = {x, y, x + 1, y + lh};
      FillRect(dc, &caret, GetSysColorBrush(COLOR_WINDOWTEXT));
    }
  }
  BitBlt(target, ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right - ps.rcPaint.left,
         ps.rcPaint.bottom - ps.rcPaint.top, dc, ps.rcPaint.left, ps.rcPaint.top, SRCCOPY);
  SelectObject(dc, oldFont);
  SelectObject(dc, oldBitmap);
  DeleteDC(dc);
  EndPaint(s.hwnd, &ps);
}

// ---- the window procedure -----------------------------------------------------------

void OnVScroll(LogState &s, int code) {
  const std::size_t visible = VisibleRows(s);
  const std::size_t page = visible > 1 ? visible - 1 : 1;
  switch (code) {
    case SB_LINEUP:
      ScrollTo(s, s.top > 0 ? s.top - 1 : 0);
      break;
    case SB_LINEDOWN:
      ScrollTo(s, s.top + 1);
      break;
    case SB_PAGEUP:
      ScrollTo(s, s.top > page ? s.top - page : 0);
      break;
    case SB_PAGEDOWN:
      ScrollTo(s, s.top + page);
      break;
    case SB_TOP:
      ScrollTo(s, 0);
      break;
    case SB_BOTTOM:
      ScrollTo(s, MaxTop(s));
      break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: {
      SCROLLINFO si = {};
      si.cbSize = sizeof si;
      si.fMask = SIF_TRACKPOS;
      GetScrollInfo(s.hwnd, SB_VERT, &si);
      ScrollTo(s, static_cast<std::size_t>(std::max(0, si.nTrackPos)));
      break;
    }
    default:
      break;
  }
}

// ---- read-only edit queries -----------------------------------------------------------
// Positions are bytes of the text WM_GETTEXT gives; lines are the rows shown.

std::uint64_t ByteOf(LogState &s, std::uint64_t ch) { return s.layout->ByteOfChar(ch); }
std::uint64_t CharOf(LogState &s, std::uint64_t byte) { return s.layout->CharOfByte(byte); }

// Where the content of a row ends in bytes (before its line break).
std::uint64_t RowContentEnd(LogState &s, std::size_t row) {
  const LogLayout::Row r = s.layout->RowAt(row);
  return r.endsLine ? ByteOf(s, r.charEnd - 1) : r.byteEnd;
}

// The row of byte `pos`; -1 (as the edit control takes it) for the caret's
// row, or the selection's first row.
std::size_t RowOfQuery(LogState &s, WPARAM pos) {
  if (static_cast<LONG_PTR>(pos) < 0) return s.layout->RowOfChar(std::min(s.anchor, s.caret));
  return s.layout->RowOfByte(static_cast<std::uint64_t>(pos));
}

LRESULT EditQuery(LogState &s, UINT msg, WPARAM wParam, LPARAM lParam) {
  Sync(s);
  const std::uint64_t size = s.text->Size();
  switch (msg) {
    case EM_GETSEL: {
      const std::uint64_t a = ByteOf(s, std::min(s.anchor, s.caret));
      const std::uint64_t b = ByteOf(s, std::max(s.anchor, s.caret));
      if (wParam != 0) *reinterpret_cast<DWORD *>(wParam) = static_cast<DWORD>(a);
      if (lParam != 0) *reinterpret_cast<DWORD *>(lParam) = static_cast<DWORD>(b);
      return a > 0xFFFF || b > 0xFFFF ? -1 : static_cast<LRESULT>(MAKELONG(a, b));
    }
    case EM_SETSEL: {
      const auto from = static_cast<long long>(static_cast<int>(wParam));
      const auto to = static_cast<long long>(static_cast<int>(lParam));
      if (from < 0) {
        SetSelection(s, s.caret, s.caret);  // -1 deselects
        return 0;
      }
      auto clamp = [size](long long v) {
        return v < 0 ? size : std::min<std::uint64_t>(static_cast<std::uint64_t>(v), size);
      };
      // The caret goes to the second position, as in an edit control.
      SetSelection(s, CharOf(s, clamp(from)), CharOf(s, clamp(to)));
      return 0;
    }
    case EM_SCROLLCARET:
      ShowChar(s, s.caret);
      return TRUE;
    case EM_GETLINECOUNT:
      return static_cast<LRESULT>(s.layout->RowCount());
    case EM_LINEINDEX: {
      const std::size_t row = static_cast<int>(wParam) < 0
                                  ? s.layout->RowOfChar(s.caret)
                                  : static_cast<std::size_t>(static_cast<int>(wParam));
      if (row >= s.layout->RowCount()) return -1;
      return static_cast<LRESULT>(s.layout->RowAt(row).byteStart);
    }
    case EM_LINEFROMCHAR:
      return static_cast<LRESULT>(RowOfQuery(s, wParam));
    case EM_LINELENGTH: {
      if (static_cast<int>(wParam) < 0) {
        // The characters on the selection's lines that are not selected.
        const std::uint64_t a = ByteOf(s, std::min(s.anchor, s.caret));
        const std::uint64_t b = ByteOf(s, std::max(s.anchor, s.caret));
        const std::size_t first = s.layout->RowOfByte(a);
        const std::size_t last = s.layout->RowOfByte(b);
        const std::uint64_t before = a - s.layout->RowAt(first).byteStart;
        const std::uint64_t end = RowContentEnd(s, last);
        return static_cast<LRESULT>(before + (end > b ? end - b : 0));
      }
      const std::size_t row = s.layout->RowOfByte(static_cast<std::uint64_t>(wParam));
      return static_cast<LRESULT>(RowContentEnd(s, row) - s.layout->RowAt(row).byteStart);
    }
    case EM_GETLINE: {
      if (lParam == 0) return 0;
      const std::size_t row = static_cast<std::size_t>(static_cast<int>(wParam));
      char *out = reinterpret_cast<char *>(lParam);
      const std::size_t room = *reinterpret_cast<const WORD *>(out);
      if (static_cast<int>(wParam) < 0 || row >= s.layout->RowCount()) return 0;
      const std::uint64_t from = s.layout->RowAt(row).byteStart;
      const std::uint64_t n = std::min<std::uint64_t>(RowContentEnd(s, row) - from, room);
      // No zero is added, as the edit control adds none.
      return static_cast<LRESULT>(
          s.text->CopyOut(static_cast<std::size_t>(from), static_cast<std::size_t>(n), out));
    }
    default:
      return 0;
  }
}

// ---- the log's menu and keys -------------------------------------------------------------

void ContextMenu(LogState &s, LPARAM lParam) {
  TLogCommands &commands = s.memo->Commands();
  const std::vector<TLogMenuItem> items = commands.MenuItems();
  HMENU menu = CreatePopupMenu();
  if (menu == nullptr) return;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const TLogMenuItem &item = items[i];
    if (item.command == TLogCommand::None) {
      AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    std::string text = item.text;
    if (!item.shortcut.empty()) text += "\t" + item.shortcut;
    UINT flags = MF_STRING;
    if (!item.enabled) flags |= MF_GRAYED;
    if (item.checked) flags |= MF_CHECKED;
    AppendMenuA(menu, flags, i + 1, text.c_str());
  }
  POINT at = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
  if (lParam == -1) {
    // From the keyboard: at the caret.
    at.x = kMargin;
    at.y = 0;
    const std::size_t row = s.layout->RowOfChar(s.caret);
    if (row >= s.top && row < s.top + VisibleRows(s)) {
      at.x += s.layout->XOfChar(s.caret);
      at.y = static_cast<LONG>((row - s.top + 1) * static_cast<std::size_t>(s.lineHeight));
    }
    ClientToScreen(s.hwnd, &at);
  }
  const UINT picked = static_cast<UINT>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, s.hwnd, nullptr));
  DestroyMenu(menu);
  if (picked >= 1 && picked <= items.size()) commands.Run(items[picked - 1].command);
}

// ---- the window procedure -----------------------------------------------------------

LRESULT CALLBACK LogWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto *s = new LogState();
    s->hwnd = hwnd;
    s->layout = std::make_unique<LogLayout>(*s->text, *s->decoder);
    s->measureDc = CreateCompatibleDC(nullptr);
    ApplyFont(*s, nullptr);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(s));
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  LogState *s = StateOf(hwnd);
  if (s == nullptr) return DefWindowProcA(hwnd, msg, wParam, lParam);
  switch (msg) {
    case WM_NCDESTROY:
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
      if (s->memo != nullptr) {
        if (TLogCommands *commands = s->memo->ExistingCommands()) commands->Detach(&s->access);
      }
      KillTimer(hwnd, kSyncTimer);
      if (s->buffer != nullptr) DeleteObject(s->buffer);
      DeleteDC(s->measureDc);
      delete s;
      return DefWindowProcA(hwnd, msg, wParam, lParam);
    case WM_CREATE:
    case WM_SIZE:
      ApplySize(*s);
      return 0;
    case WM_SETFONT:
      ApplyFont(*s, reinterpret_cast<HFONT>(wParam));
      Relaid(*s);
      if (LOWORD(lParam) == 0) ValidateRect(hwnd, nullptr);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(s->font);
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(s->text->Size());
    case WM_GETTEXT: {
      if (wParam == 0 || lParam == 0) return 0;
      char *out = reinterpret_cast<char *>(lParam);
      const std::size_t n = s->text->CopyOut(0, static_cast<std::size_t>(wParam) - 1, out);
      out[n] = '\0';
      return static_cast<LRESULT>(n);
    }
    case WM_SETTEXT: {
      const std::string text = lParam != 0 ? reinterpret_cast<const char *>(lParam) : "";
      if (s->memo != nullptr) {
        if (s->setText) s->setText(text);
        return TRUE;
      }
      s->own.Assign(text);
      TextChanged(*s);
      return TRUE;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      Paint(*s);
      return 0;
    case WM_VSCROLL:
      if (LOWORD(wParam) == SB_BOTTOM) {
        // Shown with the next frame, with what was appended by then.
        s->followEnd = true;
        ScheduleSync(*s);
        return 0;
      }
      Sync(*s);
      OnVScroll(*s, LOWORD(wParam));
      return 0;
    case kSync:
      Sync(*s);
      return 0;
    case WM_TIMER:
      if (wParam == kSyncTimer) {
        Sync(*s);
        return 0;
      }
      break;
    case WM_MOUSEWHEEL: {
      Sync(*s);
      UINT lines = 3;
      SystemParametersInfoA(SPI_GETWHEELSCROLLLINES, 0, &lines, 0);
      s->wheelRest += GET_WHEEL_DELTA_WPARAM(wParam);
      const int steps = s->wheelRest / WHEEL_DELTA;
      s->wheelRest %= WHEEL_DELTA;
      const long long move = -static_cast<long long>(steps) * static_cast<long long>(lines);
      ScrollTo(*s, static_cast<std::size_t>(
                       std::max<long long>(0, static_cast<long long>(s->top) + move)));
      return 0;
    }
    case WM_GETDLGCODE:
      return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case WM_KEYDOWN: {
      const bool ctrl = GetKeyState(VK_CONTROL) < 0;
      const bool shift = GetKeyState(VK_SHIFT) < 0;
      if (s->memo != nullptr) {
        if (s->memo->Commands().Key(static_cast<unsigned>(wParam), shift, ctrl)) return 0;
        break;
      }
      switch (wParam) {
        case VK_UP:
          OnVScroll(*s, SB_LINEUP);
          return 0;
        case VK_DOWN:
          OnVScroll(*s, SB_LINEDOWN);
          return 0;
        case VK_PRIOR:
          OnVScroll(*s, SB_PAGEUP);
          return 0;
        case VK_NEXT:
          OnVScroll(*s, SB_PAGEDOWN);
          return 0;
        case VK_HOME:
          if (ctrl) OnVScroll(*s, SB_TOP);
          return 0;
        case VK_END:
          if (ctrl) OnVScroll(*s, SB_BOTTOM);
          return 0;
        default:
          break;
      }
      break;
    }
    case WM_CHAR:
      // A memo's log took Ctrl+A, Ctrl+C, Ctrl+F and Ctrl+S as keys.
      if (s->memo != nullptr) return 0;
      if (wParam == 1) {  // Ctrl+A
        SetSelection(*s, 0, s->layout->CharCount());
      } else if (wParam == 3) {  // Ctrl+C
        CopySelection(*s);
      }
      return 0;
    case WM_CONTEXTMENU:
      if (s->memo == nullptr) break;
      Sync(*s);
      ContextMenu(*s, lParam);
      return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      InvalidateRect(hwnd, nullptr, FALSE);  // the caret
      return 0;
    case EM_GETSEL:
    case EM_SETSEL:
    case EM_SCROLLCARET:
    case EM_GETLINECOUNT:
    case EM_LINEINDEX:
    case EM_LINELENGTH:
    case EM_GETLINE:
    case EM_LINEFROMCHAR:
      return EditQuery(*s, msg, wParam, lParam);
    case WM_COPY:
      CopySelection(*s);
      return 0;
    case WM_LBUTTONDOWN: {
      Sync(*s);
      SetFocus(hwnd);
      SetCapture(hwnd);
      s->dragging = true;
      const std::uint64_t at = HitTest(*s, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      if ((wParam & MK_SHIFT) == 0) s->anchor = at;
      s->caret = at;
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    }
    case WM_MOUSEMOVE:
      if (s->dragging) {
        const int y = GET_Y_LPARAM(lParam);
        if (y < 0) OnVScroll(*s, SB_LINEUP);
        if (y >= s->clientHeight) OnVScroll(*s, SB_LINEDOWN);
        const std::uint64_t at = HitTest(*s, GET_X_LPARAM(lParam), y);
        if (at != s->caret) {
          s->caret = at;
          InvalidateRect(hwnd, nullptr, FALSE);
        }
      }
      return 0;
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
      if (s->dragging) {
        s->dragging = false;
        if (msg == WM_LBUTTONUP) ReleaseCapture();
      }
      return 0;
    default:
      break;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

bool RegisterLogClass() {
  static const bool registered = [] {
    WNDCLASSA cls = {};
    cls.style = CS_DBLCLKS;
    cls.lpfnWndProc = LogWndProc;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.hCursor = LoadCursor(nullptr, IDC_IBEAM);
    cls.lpszClassName = kClassName;
    return RegisterClassA(&cls) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return registered;
}

}  // namespace

const char *LogViewClassName() { return kClassName; }

HWND CreateLogView(HWND parent, int x, int y, int width, int height, DWORD style, DWORD exStyle) {
  if (!RegisterLogClass()) return nullptr;
  return CreateWindowExA(exStyle, kClassName, "", WS_CHILD | WS_VSCROLL | style, x, y, width,
                         height, parent, nullptr, GetModuleHandleA(nullptr), nullptr);
}

void LogViewAttach(HWND log, TMemo *memo, std::function<void(const std::string &)> setText) {
  LogState *s = StateOf(log);
  if (s == nullptr) return;
  if (s->memo != nullptr) s->memo->Commands().Detach(&s->access);
  s->memo = memo;
  s->text = memo != nullptr ? static_cast<const LogSource *>(&memo->Shown()) : &s->own;
  s->setText = std::move(setText);
  s->layout = std::make_unique<LogLayout>(*s->text, *s->decoder);
  s->layout->SetWidthFunction([s](char32_t c) { return CharWidth(*s, c); });
  RECT rc;
  GetClientRect(log, &rc);
  s->layout->SetWidth(std::max(1, static_cast<int>(rc.right - rc.left) - 2 * kMargin));
  s->top = 0;
  s->anchor = s->caret = 0;
  s->appended = false;
  if (memo != nullptr) memo->Commands().Attach(&s->access);
  Relaid(*s);
}

void LogViewAppend(HWND log, std::string_view bytes) {
  LogState *s = StateOf(log);
  if (s == nullptr || s->memo != nullptr || bytes.empty()) return;
  s->own.Append(bytes);
  TextAppended(*s);
}

void LogViewTextAppended(HWND log) {
  if (LogState *s = StateOf(log)) TextAppended(*s);
}

void LogViewTextChanged(HWND log) {
  if (LogState *s = StateOf(log)) TextChanged(*s);
}

void LogViewScrollToEnd(HWND log) { SendMessageA(log, WM_VSCROLL, SB_BOTTOM, 0); }

void LogViewFlush(HWND log) {
  if (LogState *s = StateOf(log)) Sync(*s);
}

std::size_t LogViewRowCount(HWND log) {
  LogViewFlush(log);
  const LogState *s = StateOf(log);
  return s != nullptr ? s->layout->RowCount() : 0;
}

std::size_t LogViewTopRow(HWND log) {
  LogViewFlush(log);
  const LogState *s = StateOf(log);
  return s != nullptr ? s->top : 0;
}

std::size_t LogViewVisibleRows(HWND log) {
  const LogState *s = StateOf(log);
  return s != nullptr ? VisibleRows(*s) : 0;
}

}  // namespace forms::win32
