// Received chunks through the window's receive handler (text and hex
// display), then the log's decoder and row layout over what it shows.
//
// Input: an optional pre-fill (so that the fuzzed bytes can straddle the
// log's 64 KiB storage chunks), then chunks, each a control byte (display
// mode, length) followed by its bytes. Checked:
// - the log holds exactly each chunk's bytes (text) or two upper-case digits
//   and a space per byte (hex), in order, and nothing else;
// - the Recv panel counts every byte, and the log is scrolled to its end;
// - a layout updated after every chunk equals one laid out from scratch,
//   for UTF-8 and for a single-byte code page;
// - rows are contiguous, each row's text has as many characters as its
//   range, the rows joined give the whole shown text, no row passes the
//   row limit, and every line break of the bytes is one '\n' shown;
// - a log of plain ASCII is shown as itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "fake_registry.h"
#include "forms/headless.h"
#include "forms/log_layout.h"

namespace {

void Check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "receive_fuzz: %s\n", what);
    std::abort();
  }
}

app::TfrmMain &Window() {
  static app::TfrmMain *window = [] {
    static app::FakeRegistryData none;  // no ports: the window never opens one
    forms::Application->Initialize();
    forms::UseHeadless();
    app::TfrmMain::SetPortSource(app::DevicePathSource(none.Factory()));
    forms::Application->CreateForm(app::frmMain);
    return app::frmMain;
  }();
  return *window;
}

std::string Hex(const std::string &bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
    out += ' ';
  }
  return out;
}

const std::array<char32_t, 256> &Latin1Table() {
  static const std::array<char32_t, 256> table = [] {
    std::array<char32_t, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = (i >= 0x80 && i < 0xA0) ? 0xFFFD : char32_t(i);
    return t;
  }();
  return table;
}

int Width(char32_t c) {
  if (c < 0x80) return 8;
  return static_cast<int>(c % 5) * 4;  // 0 to 16: zero-width characters too
}

bool SameRows(const forms::LogLayout &a, const forms::LogLayout &b) {
  if (a.RowCount() != b.RowCount() || a.CharCount() != b.CharCount()) return false;
  for (std::size_t i = 0; i < a.RowCount(); ++i) {
    const auto x = a.RowAt(i), y = b.RowAt(i);
    if (x.byteStart != y.byteStart || x.byteEnd != y.byteEnd || x.charStart != y.charStart ||
        x.charEnd != y.charEnd || x.endsLine != y.endsLine) {
      return false;
    }
  }
  return true;
}

// Rows that end before byte `from` (the pre-fill) are not looked at one by
// one: checking them is slow, and they hold plain lines only.
void CheckLayout(const forms::LogLayout &layout, const forms::LogText &text, bool utf8,
                 std::uint64_t from) {
  std::u16string joined;
  std::size_t breaks = 0;
  std::size_t first = 0;
  while (first + 1 < layout.RowCount() && layout.RowAt(first).byteEnd < from) ++first;
  for (std::size_t i = first; i < layout.RowCount(); ++i) {
    const auto r = layout.RowAt(i);
    if (i + 1 < layout.RowCount()) {
      const auto next = layout.RowAt(i + 1);
      Check(r.byteEnd == next.byteStart && r.charEnd == next.charStart, "rows are contiguous");
    }
    const std::u16string row = layout.RowText(i);
    Check(row.size() == r.charEnd - r.charStart, "row text matches its range");
    const std::size_t content = layout.RowText(i, false).size();
    Check(content <= forms::LogLayout::kMaxRowUnits, "row limit");
    if (r.endsLine) {
      Check(!row.empty() && row.back() == u'\n' && content + 1 == row.size(), "a row's break");
      ++breaks;
    }
    joined += row;
  }
  const std::uint64_t firstChar = layout.RowAt(first).charStart;
  Check(joined == layout.TextRange(firstChar, layout.CharCount()), "rows joined are the text");
  Check(joined.size() == layout.CharCount() - firstChar, "character count");

  // Line breaks in the bytes laid out so far (CR LF, CR and LF each one).
  const std::uint64_t end = layout.RowAt(layout.RowCount() - 1).byteEnd;
  std::size_t wantBreaks = 0;
  bool ascii = true;
  std::u16string asShown;
  for (std::uint64_t p = layout.RowAt(first).byteStart; p < text.Size(); ++p) {
    const unsigned char c = static_cast<unsigned char>(text.At(p));
    if (p >= end) {
      // Only an unfinished character may wait at the end.
      Check(utf8 && c >= 0x80 && text.Size() - end < 4, "only a split character waits");
      continue;
    }
    if (c >= 0x80 || c == 0) ascii = false;
    if (c == '\n' && p > layout.RowAt(first).byteStart && text.At(p - 1) == '\r') continue;
    if (c == '\r' || c == '\n') {
      ++wantBreaks;
      asShown += u'\n';
    } else {
      asShown += static_cast<char16_t>(c);
    }
  }
  std::size_t shownBreaks = 0;
  for (char16_t ch : joined) shownBreaks += ch == u'\n';
  Check(shownBreaks == wantBreaks, "every line break is one '\\n'");
  Check(breaks == wantBreaks, "rows ending in a break");
  if (ascii) Check(joined == asShown, "plain ASCII is shown as itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  app::TfrmMain &w = Window();
  FuzzedDataProvider in(data, size);
  w.btnClearRecvClick(nullptr);
  w.btnClearCountClick(nullptr);

  const forms::LogText &log = w.memLog->Log();
  forms::Utf8Decoder utf8;
  forms::SingleByteDecoder latin1(Latin1Table());
  forms::LogLayout byUtf8(log, utf8), byLatin1(log, latin1);
  const int width = in.ConsumeIntegralInRange(-1, 300);
  // Measured widths for UTF-8 in some runs (zero-width characters too), one
  // unit per character otherwise: a width cache costs 256 KiB per layout,
  // too much for every run.
  const bool measured = in.ConsumeBool();
  if (measured) byUtf8.SetWidthFunction(Width);
  byUtf8.SetWidth(measured ? width : width / 8);
  byLatin1.SetWidth(width / 8);

  std::string expected;
  std::int64_t total = 0;
  auto receive = [&](const std::string &chunk, bool hex) {
    w.cbHexDisplay->SetChecked(hex);
    std::string copy = chunk;  // the handler may only read it during the call
    w.ComPortReceiveData(w.ComPort, copy.data(), static_cast<std::uint16_t>(copy.size()));
    expected += hex ? Hex(chunk) : chunk;
    total += static_cast<std::int64_t>(chunk.size());
    byUtf8.Update();
    byLatin1.Update();
  };

  // Rarely (it is slow), fill the log to just below a storage chunk's end
  // first, so that the chunks below straddle it.
  std::uint64_t filled = 0;
  if (in.ConsumeIntegral<std::uint8_t>() == 255) {
    const std::size_t bytes = forms::LogText::kChunkSize - 1 - in.ConsumeIntegralInRange(0, 1023);
    std::string line(78, 'x');
    line += "\r\n";
    std::string text;
    while (text.size() < bytes) text += line;
    text.resize(bytes);
    for (std::size_t at = 0; at < text.size(); at += 1024) receive(text.substr(at, 1024), false);
    filled = bytes;
  }

  while (in.remaining_bytes() > 0) {
    const std::uint8_t control = in.ConsumeIntegral<std::uint8_t>();
    const bool hex = control & 1;
    // Mostly short chunks; sometimes up to the reader's 1024 bytes.
    const std::size_t most = (control & 2) ? 1024 : 16;
    std::string chunk = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(1, most));
    if (chunk.empty()) break;  // the reader never delivers an empty chunk
    receive(chunk, hex);
  }

  Check(log.Equals(expected), "the log holds exactly what was received");
  Check(w.sbTitle->Panels()[1].Text() == " Recv:" + std::to_string(total), "Recv counter");
  Check(total == 0 || w.memLog->IsScrolledToEnd(), "scrolled to the end after a chunk");

  forms::LogLayout freshUtf8(log, utf8), freshLatin1(log, latin1);
  if (measured) freshUtf8.SetWidthFunction(Width);
  freshUtf8.SetWidth(measured ? width : width / 8);
  freshLatin1.SetWidth(width / 8);
  freshUtf8.Update();  // a layout lays out nothing until asked
  freshLatin1.Update();
  Check(SameRows(byUtf8, freshUtf8), "UTF-8: appended layout equals a fresh one");
  Check(SameRows(byLatin1, freshLatin1), "code page: appended layout equals a fresh one");
  CheckLayout(byUtf8, log, true, filled);
  CheckLayout(byLatin1, log, false, filled);
  return 0;
}
