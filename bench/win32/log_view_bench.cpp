// The Win32 log control's append cost at the start of a log and at the end of
// a large one, for 80-character lines and for one endless line, each append
// scrolled to the end and painted. A ratio near 1 means appending costs what
// is appended, not what the log holds. A plain multi-line EDIT control is
// measured the same way (at much smaller sizes) for comparison. Run under
// Wine with a display (scripts/wine-env up with TESSAVO_WINE_DISPLAY=x11).
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "forms/win32/log_view.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Chunk(bool lines, std::size_t size, std::size_t &counter) {
  std::string out;
  out.reserve(size);
  while (out.size() < size) {
    if (lines && counter % 80 == 78) {
      out += "\r\n";
      counter += 2;
    } else {
      out += static_cast<char>('a' + counter % 26);
      ++counter;
    }
  }
  out.resize(size);
  return out;
}

void Pump() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

// Seconds to append `bytes` in 1 KiB chunks, each followed by a scroll to the
// end and, when `paint`, a paint.
template <class AppendFn>
double Measure(HWND view, AppendFn append, bool lines, std::size_t bytes, std::size_t &counter,
               bool paint) {
  const auto start = Clock::now();
  for (std::size_t done = 0; done < bytes; done += 1024) {
    append(view, Chunk(lines, 1024, counter));
    SendMessageA(view, WM_VSCROLL, SB_BOTTOM, 0);
    if (paint) UpdateWindow(view);
  }
  Pump();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Two views of the same kind, one above the other: a small log and one
// filled with `fill` bytes first. Rounds of appends alternate between them,
// so both are measured under the same load of a shared machine.
template <class CreateFn, class AppendFn>
void Report(const char *what, HWND top, CreateFn create, AppendFn append, bool lines,
            std::size_t round, int rounds, std::size_t fill) {
  HWND small = create(top, 0);
  HWND large = create(top, 311);
  std::size_t smallCounter = 0;
  std::size_t largeCounter = 0;
  for (std::size_t done = 0; done < fill; done += 1024) {
    append(large, Chunk(lines, 1024, largeCounter));
    if (done % (64 << 10) == 0) Pump();
  }
  Measure(small, append, lines, round, smallCounter, true);  // warm up
  for (int paint = 0; paint < 2; ++paint) {
    double tSmall = 0;
    double tLarge = 0;
    for (int i = 0; i < rounds; ++i) {
      tSmall += Measure(small, append, lines, round, smallCounter, paint != 0);
      tLarge += Measure(large, append, lines, round, largeCounter, paint != 0);
    }
    const double mb = static_cast<double>(round) * rounds / (1024.0 * 1024.0);
    std::printf("%-34s %-7s %7.2f MB/s near empty %7.2f MB/s at %6zu KiB  ratio %.2f\n", what,
                paint ? "+paint" : "append", mb / tSmall, mb / tLarge, largeCounter / 1024,
                tLarge / tSmall);
  }
  std::fflush(stdout);
  DestroyWindow(small);
  DestroyWindow(large);
}

}  // namespace

int main() {
  HWND top = CreateWindowExA(0, "STATIC", "log bench", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 560,
                             680, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  HFONT font = CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                           DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
  std::printf(
      "1 KiB appends, each scrolled to the end (and painted), 527 x 311 views;\n"
      "ratio: time per byte in the large log / in the small one\n");
  auto logView = [font](HWND parent, int y) {
    HWND log = forms::win32::CreateLogView(parent, 0, y, 527, 311, WS_VISIBLE, WS_EX_CLIENTEDGE);
    SendMessageA(log, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return log;
  };
  auto logAppend = [](HWND log, const std::string &s) { forms::win32::LogViewAppend(log, s); };
  Report("log view, 80-character lines", top, logView, logAppend, true, 64 << 10, 16, 32u << 20);
  Report("log view, one endless line", top, logView, logAppend, false, 64 << 10, 16, 32u << 20);

  // The stock control, where the cost grows with the text.
  auto edit = [font](HWND parent, int y) {
    HWND e = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                             WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY, 0, y,
                             527, 311, parent, nullptr, GetModuleHandleA(nullptr), nullptr);
    SendMessageA(e, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    SendMessageA(e, EM_SETLIMITTEXT, 0, 0);
    return e;
  };
  auto editAppend = [](HWND e, const std::string &s) {
    const LRESULT n = SendMessageA(e, WM_GETTEXTLENGTH, 0, 0);
    SendMessageA(e, EM_SETSEL, static_cast<WPARAM>(n), n);
    SendMessageA(e, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(s.c_str()));
  };
  Report("EDIT control, 80-character lines", top, edit, editAppend, true, 8 << 10, 4, 1u << 20);
  Report("EDIT control, one endless line", top, edit, editAppend, false, 8 << 10, 4, 1u << 20);
  DestroyWindow(top);
  DeleteObject(font);
  return 0;
}
