// The log control of the Win32 backend: a read-only, word-wrapping text view
// whose append costs what is appended, not what it already holds. A stock
// multi-line EDIT control re-lays out and copies its whole text as it grows,
// so it cannot keep that promise. The rows come from the portable LogLayout;
// the text is a LogText, the view's own or (for a memo) the memo's, so the
// bytes are kept once.
//
// It behaves like a read-only edit control where automation looks:
// WM_GETTEXTLENGTH and WM_GETTEXT answer the whole text as shown (bytes in
// the ANSI code page, line breaks as received, timestamps while they are
// shown), WM_SETTEXT replaces it, WM_VSCROLL scrolls (SB_BOTTOM to the
// end), WM_COPY copies the selection. The read-only edit queries answer as
// an edit control's do, with positions in the bytes WM_GETTEXT gives and
// lines as shown (wrapped): EM_GETSEL, EM_SETSEL, EM_GETLINECOUNT,
// EM_LINEINDEX, EM_LINELENGTH, EM_GETLINE, EM_LINEFROMCHAR, EM_SCROLLCARET.
// The user scrolls with the bar and the wheel, selects with the mouse and
// the keyboard (a caret, Shift with the arrows, Home/End, Page Up/Down), and
// a memo's log has the log's context menu and keys (TLogCommands).
//
// Appends and SB_BOTTOM are taken in at most once a frame: the new text is
// laid out and the end shown together, when the queue has caught up.
//
// Shown text: bytes decoded with the ANSI code page (LogLayout's rules: a
// character split between two appends stays whole, CR LF, lone CR and lone
// LF each break the line, a zero byte shows as U+2400).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "forms/controls.h"
#include "forms/log_text.h"
#include "platform/winapi.h"

namespace forms::win32 {

// The registered class name ("TessavoLogView").
const char *LogViewClassName();

// A log control as a child of `parent` (WS_CHILD | WS_VSCROLL plus `style`),
// showing a text of its own.
HWND CreateLogView(HWND parent, int x, int y, int width, int height, DWORD style, DWORD exStyle);

// Shows the memo's text (as shown, timestamps and all) instead of the
// view's own, with the memo's commands. WM_SETTEXT then goes to `setText`
// (the memo replaces its text and the view hears of it by
// LogViewTextChanged). The memo must outlive the window.
void LogViewAttach(HWND log, TMemo *memo, std::function<void(const std::string &)> setText);

// Appends bytes to the view's own text (no line break added).
void LogViewAppend(HWND log, std::string_view bytes);
// The shown text grew at its end: lays out what is new, repaints what changed.
void LogViewTextAppended(HWND log);
// The shown text was replaced or cleared, or timestamps were shown or
// hidden: lays it all out again.
void LogViewTextChanged(HWND log);
// Shows the last row at the bottom (SB_BOTTOM).
void LogViewScrollToEnd(HWND log);

// Takes in what is pending (as the next frame would).
void LogViewFlush(HWND log);

// For tests and benchmarks: rows as laid out now, the first one shown, and
// how many fit in the window.
std::size_t LogViewRowCount(HWND log);
std::size_t LogViewTopRow(HWND log);
std::size_t LogViewVisibleRows(HWND log);

}  // namespace forms::win32
