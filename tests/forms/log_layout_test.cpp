// The log's storage and its portable row layout: what rows a text makes,
// that appending piece by piece gives exactly what one append gives, and
// that appending touches only the new bytes.
#include "forms/log_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "forms/log_text.h"
#include "forms/strings.h"

using forms::LogLayout;
using forms::LogText;
using forms::TextDecoder;
using forms::Utf8Decoder;

namespace {

std::string Utf8(const std::u16string &s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A text, its layout (one unit per character unless told otherwise), and
// helpers to read the rows back as UTF-8.
struct Log {
  explicit Log(int width = 0) : layout(text, decoder) { layout.SetWidth(width); }
  void Add(const std::string &bytes) {
    text.Append(bytes);
    layout.Update();
  }
  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    for (std::size_t r = 0; r < layout.RowCount(); ++r) rows.push_back(Utf8(layout.RowText(r)));
    return rows;
  }
  std::string Shown() const { return Utf8(layout.TextRange(0, layout.CharCount())); }

  LogText text;
  Utf8Decoder decoder;
  LogLayout layout;
};

using Rows = std::vector<std::string>;

// ---- storage ---------------------------------------------------------------------

TEST(LogTextTest, BytesAndLinesReadBackAcrossChunksAndAppends) {
  LogText text;
  std::string all;
  std::mt19937 rng(7);
  const char alphabet[] = "abc \r\n\0\xC3";
  // Enough to span several chunks, in pieces of every size up to 3000.
  while (all.size() < 3 * LogText::kChunkSize + 123) {
    std::string piece(rng() % 3000, ' ');
    for (char &c : piece) c = alphabet[rng() % (sizeof alphabet - 1)];
    text.Append(piece);
    all += piece;
  }
  ASSERT_EQ(text.Size(), all.size());
  EXPECT_TRUE(text.Equals(all));
  EXPECT_EQ(text.ToString(), all);
  const std::size_t across = LogText::kChunkSize - 5;
  EXPECT_EQ(text.Substr(across, 10), all.substr(across, 10));
  EXPECT_EQ(text.At(2 * LogText::kChunkSize), all[2 * LogText::kChunkSize]);
  EXPECT_FALSE(text.Equals(all.substr(1)));

  // The line index agrees with the string lists' own splitting of the text,
  // also after a line longer than several chunks.
  for (int round = 0; round < 2; ++round) {
    const std::vector<std::string> lines = forms::TStrings::SplitLines(all);
    ASSERT_EQ(text.LineCount(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::size_t start = text.LineStart(i);
      ASSERT_EQ(text.Substr(start, text.LineContentEnd(i) - start), lines[i]) << i;
    }
    const std::string longLine = "\n" + std::string(3 * LogText::kChunkSize + 7, 'L') + "\r\nend";
    text.Append(longLine);
    all += longLine;
  }
  EXPECT_THROW(text.LineStart(text.LineCount()), std::out_of_range);

  // Positions kept in 2 bytes each count as plain ones do, empty blocks
  // between them included.
  forms::PositionList list;
  std::vector<std::uint64_t> plain;
  for (std::size_t i = 0; i < text.LineCount(); ++i) {
    list.PushBack(text.LineStart(i));
    plain.push_back(text.LineStart(i));
  }
  for (std::uint64_t pos = 0; pos < all.size() + 70000; pos += 977) {
    ASSERT_EQ(
        list.CountBefore(pos),
        static_cast<std::size_t>(std::lower_bound(plain.begin(), plain.end(), pos) - plain.begin()))
        << pos;
  }
  text.Clear();
  EXPECT_EQ(text.Size(), 0u);
  EXPECT_EQ(text.LineCount(), 0u);
}

TEST(LogTextTest, ACrLfSplitAcrossAppendsIsOneBreak) {
  LogText text;
  text.Append("OK\r");
  EXPECT_EQ(text.LineCount(), 1u);
  EXPECT_TRUE(text.EndsWithLineBreak());
  text.Append("\n");
  EXPECT_EQ(text.LineCount(), 1u);
  text.Append("\rnext");  // a lone CR after a CR LF: an empty line between
  ASSERT_EQ(text.LineCount(), 3u);
  EXPECT_EQ(text.LineStart(1), 4u);
  EXPECT_EQ(text.LineContentEnd(1), 4u);
  EXPECT_EQ(text.LineStart(2), 5u);
  EXPECT_FALSE(text.EndsWithLineBreak());
}

// ---- rows ------------------------------------------------------------------------

TEST(LogLayoutTest, EachKindOfLineBreakEndsARow) {
  Log log;
  log.Add("ab\ncd\r\nef\rgh");
  EXPECT_EQ(log.Rows(), (Rows{"ab\n", "cd\n", "ef\n", "gh"}));
  EXPECT_EQ(log.layout.CharCount(), 11u);
  EXPECT_TRUE(log.layout.RowAt(1).endsLine);
  EXPECT_FALSE(log.layout.RowAt(3).endsLine);

  // A CR LF split across appends stays one break; a text ending in a break
  // has an empty last row to continue on.
  Log split;
  split.Add("OK\r");
  EXPECT_EQ(split.Rows(), (Rows{"OK\n", ""}));
  split.Add("\nnext\n");
  EXPECT_EQ(split.Rows(), (Rows{"OK\n", "next\n", ""}));
  EXPECT_EQ(split.layout.CharCount(), 8u);
  split.Add("\r\r\n");  // an empty line, then another
  EXPECT_EQ(split.Rows(), (Rows{"OK\n", "next\n", "\n", "\n", ""}));
}

TEST(LogLayoutTest, LinesWrapAtTheWidthAfterTheLastSpaceThatFits) {
  Log log(10);
  log.Add("hello world again");
  EXPECT_EQ(log.Rows(), (Rows{"hello ", "world ", "again"}));

  Log word(10);  // no space to wrap at: the row is cut where it is full
  word.Add("abcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(word.Rows(), (Rows{"abcdefghij", "klmnopqrst", "uvwxyz"}));

  Log hang(10);  // a space that does not fit stays at the end of its row
  hang.Add("abcdefghij klm\n");
  EXPECT_EQ(hang.Rows(), (Rows{"abcdefghij ", "klm\n", ""}));
  Log hangAtBreak(10);  // ... and makes no empty row before a break
  hangAtBreak.Add("abcdefghij \nx");
  EXPECT_EQ(hangAtBreak.Rows(), (Rows{"abcdefghij \n", "x"}));

  // Widths come from the width function: wide characters fill rows sooner.
  Log wide;
  wide.layout.SetWidthFunction([](char32_t c) { return c == 'W' ? 4 : 1; });
  wide.layout.SetWidth(8);
  wide.Add("WWiiW ii");
  EXPECT_EQ(wide.Rows(), (Rows{"WW", "iiW ", "ii"}));
  // A new width lays the whole text out again.
  wide.layout.SetWidth(100);
  EXPECT_EQ(wide.Rows(), (Rows{"WWiiW ii"}));
}

TEST(LogLayoutTest, AnEndlessHexLineWrapsBetweenByteValues) {
  Log log(30);  // ten "41 " per row
  std::string chunk;
  for (int i = 0; i < 1024; ++i) chunk += "4F ";
  for (int i = 0; i < 64; ++i) log.Add(chunk);
  ASSERT_EQ(log.layout.RowCount(), 64u * 1024u / 10u + 1u);
  for (std::size_t r = 0; r < log.layout.RowCount(); r += 97) {
    const LogLayout::Row row = log.layout.RowAt(r);
    EXPECT_EQ(row.byteStart % 3, 0u) << r;
    EXPECT_EQ(log.layout.RowText(r).substr(0, 3), u"4F ") << r;
  }
}

TEST(LogLayoutTest, ARowEndsAfterItsMostCharactersEvenWhenTheyTakeNoWidth) {
  Log log(10);
  log.layout.SetWidthFunction([](char32_t) { return 0; });
  log.Add(std::string(2 * LogLayout::kMaxRowUnits + 5, 'z'));
  ASSERT_EQ(log.layout.RowCount(), 3u);
  EXPECT_EQ(log.layout.RowText(2).size(), 5u);
}

// ---- decoding --------------------------------------------------------------------

TEST(LogLayoutTest, ACharacterSplitAcrossAppendsIsShownWholeOnceComplete) {
  Log log;
  log.Add("caf\xC3");
  EXPECT_EQ(log.Shown(), "caf");  // the half character waits
  log.Add("\xA9!");
  EXPECT_EQ(log.Shown(), "caf\xC3\xA9!");
  log.Add("\xF0\x9F");  // U+1F600 in three appends: two UTF-16 units
  log.Add("\x98");
  EXPECT_EQ(log.layout.CharCount(), 5u);
  log.Add("\x80.");
  EXPECT_EQ(log.Shown(), "caf\xC3\xA9!\xF0\x9F\x98\x80.");
  EXPECT_EQ(log.layout.CharCount(), 8u);
}

TEST(LogLayoutTest, InvalidBytesShowAsReplacementsAndLoseNothingAfterThem) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const std::pair<std::string, std::string> cases[] = {
      {"a\xFF"
       "b",
       "a" + r + "b"},
      {"\xE2\x82"
       "A",
       r + "A"},                                         // a cut-short start is one replacement
      {"\xC0\xAF", r + r},                               // overlong
      {"\xED\xA0\x80z", r + r + r + "z"},                // a surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},               // past U+10FFFF
      {"\x80\xBF\xE2\x82\xAC", r + r + "\xE2\x82\xAC"},  // stray continuations, then a euro
  };
  for (const auto &[bytes, shown] : cases) {
    Log log;
    log.Add(bytes);
    EXPECT_EQ(log.Shown(), shown) << bytes;
  }
  // An invalid start cut short at the end waits until the next byte decides.
  Log log;
  log.Add("x\xE2\x82");
  EXPECT_EQ(log.Shown(), "x");
  log.Add("\nz");
  EXPECT_EQ(log.Rows(), (Rows{"x" + r + "\n", "z"}));
}

TEST(LogLayoutTest, AZeroByteShowsAsASymbolAndCutsNothing) {
  std::vector<char32_t> measured;
  Log log;
  log.layout.SetWidthFunction([&](char32_t c) {
    measured.push_back(c);
    return 1;
  });
  log.Add(std::string("OK\0+RSSI\0\0", 10));
  log.Add("end");
  EXPECT_EQ(log.Shown(),
            "OK\xE2\x90\x80+RSSI\xE2\x90\x80\xE2\x90\x80"
            "end");
  EXPECT_EQ(log.layout.CharCount(), 13u);
  EXPECT_NE(std::find(measured.begin(), measured.end(), U'\u2400'), measured.end());
  EXPECT_EQ(std::find(measured.begin(), measured.end(), U'\0'), measured.end());
}

// ---- appending in pieces -----------------------------------------------------------

// Counts the characters the layout decodes.
class CountingDecoder : public TextDecoder {
 public:
  Char Next(const unsigned char *p, std::size_t n) const override {
    ++calls;
    return inner.Next(p, n);
  }
  std::size_t MaxLength() const override { return inner.MaxLength(); }
  Utf8Decoder inner;
  mutable std::size_t calls = 0;
};

TEST(LogLayoutTest, AppendingInAnyPiecesGivesTheRowsOfOneAppend) {
  std::mt19937 rng(11);
  const std::vector<std::string> atoms = {"a",
                                          "bc",
                                          " ",
                                          "  ",
                                          "\r",
                                          "\n",
                                          "\r\n",
                                          std::string(1, '\0'),
                                          "\xC3\xA9",
                                          "\xE2\x82\xAC",
                                          "\xF0\x9F\x98\x80",
                                          "\xFF",
                                          "\xE2\x82",
                                          "41 0A ",
                                          "word"};
  for (int round = 0; round < 20; ++round) {
    std::string all;
    while (all.size() < 3000) all += atoms[rng() % atoms.size()];
    const int width = 5 + static_cast<int>(rng() % 40);
    Log whole(width);
    whole.Add(all);
    Log pieces(width);
    for (std::size_t at = 0; at < all.size();) {
      const std::size_t n = std::min<std::size_t>(1 + rng() % 7, all.size() - at);
      pieces.Add(all.substr(at, n));
      at += n;
    }
    ASSERT_EQ(pieces.Rows(), whole.Rows()) << "round " << round;
    ASSERT_EQ(pieces.layout.CharCount(), whole.layout.CharCount());
  }
}

TEST(LogLayoutTest, AnAppendDecodesOnlyTheNewBytes) {
  // One endless line, then many short lines: either way each append
  // decodes about as many characters as it brings.
  for (const auto &chunk : {std::string(1024, 'x'), std::string("0123456789ABCDE\r\n")}) {
    LogText text;
    CountingDecoder decoder;
    LogLayout layout(text, decoder);
    layout.SetWidth(80);
    std::size_t appended = 0;
    for (int i = 0; i < 2000; ++i) {
      text.Append(chunk);
      appended += chunk.size();
      layout.Update();
    }
    EXPECT_LE(decoder.calls, appended + 2000);
  }
}

// ---- positions ---------------------------------------------------------------------

TEST(LogLayoutTest, PositionsMapToRowsTextAndXAndBack) {
  Log log(10);
  log.Add("hello world\r\nab\xC3\xA9");
  // Rows: "hello " [0,6), "world\n" [6,12), "abé" [12,15).
  ASSERT_EQ(log.layout.RowCount(), 3u);
  EXPECT_EQ(log.layout.RowOfChar(0), 0u);
  EXPECT_EQ(log.layout.RowOfChar(5), 0u);
  EXPECT_EQ(log.layout.RowOfChar(6), 1u);
  EXPECT_EQ(log.layout.RowOfChar(11), 1u);  // the break belongs to its row
  EXPECT_EQ(log.layout.RowOfChar(14), 2u);
  EXPECT_EQ(log.layout.RowOfChar(99), 2u);
  EXPECT_EQ(Utf8(log.layout.TextRange(4, 14)), "o world\nab");
  EXPECT_EQ(Utf8(log.layout.TextRange(13, 99)), "b\xC3\xA9");
  EXPECT_EQ(log.layout.TextRange(7, 7), u"");

  EXPECT_EQ(log.layout.XOfChar(8), 2);
  EXPECT_EQ(log.layout.CharAtX(1, 2), 8u);
  EXPECT_EQ(log.layout.CharAtX(1, 0), 6u);
  EXPECT_EQ(log.layout.CharAtX(1, 50), 11u);  // before the row's break
  EXPECT_EQ(log.layout.CharAtX(0, 50), 6u);   // a wrapped row ends where the next begins
  EXPECT_EQ(log.layout.CharAtX(2, 50), 15u);
}

TEST(LogLayoutTest, RowStartsHoldForRowsOfTheMostBytesARowCanTake) {
  // Rows full of 4-byte characters (2 units each) and of 3-byte ones, some
  // ended by a CR LF that comes in two appends: what each row starts with,
  // counted here, is what the layout reports, and maps back to its row.
  const std::string emoji = "\xF0\x9F\x98\x80";
  const std::string euro = "\xE2\x82\xAC";
  Log log(0);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> starts;  // byte, char
  std::uint64_t bytes = 0;
  std::uint64_t chars = 0;
  for (int r = 0; r < 70; ++r) {
    starts.emplace_back(bytes, chars);
    std::string row;
    const bool wide = r % 2 == 0;
    for (std::size_t u = 0; u < LogLayout::kMaxRowUnits; u += wide ? 2 : 1)
      row += wide ? emoji : euro;
    chars += LogLayout::kMaxRowUnits;
    bytes += row.size();
    if (r % 3 == 0) {
      log.Add(row + "\r");
      log.Add("\n");
      bytes += 2;
      chars += 1;
    } else {
      log.Add(row);
    }
  }
  log.Add("end");
  starts.emplace_back(bytes, chars);
  ASSERT_EQ(log.layout.RowCount(), starts.size());
  for (std::size_t r = 0; r < starts.size(); ++r) {
    const LogLayout::Row row = log.layout.RowAt(r);
    ASSERT_EQ(row.byteStart, starts[r].first) << "row " << r;
    ASSERT_EQ(row.charStart, starts[r].second) << "row " << r;
    ASSERT_EQ(log.layout.RowOfByte(starts[r].first), r);
    ASSERT_EQ(log.layout.RowOfChar(starts[r].second), r);
    if (r > 0) {
      ASSERT_EQ(log.layout.RowOfChar(starts[r].second - 1), r - 1);
    }
  }
  EXPECT_EQ(log.layout.CharCount(), chars + 3);
}

TEST(LogLayoutTest, AShrunkTextIsLaidOutAgainFromItsStart) {
  Log log(10);
  log.Add("first line\nsecond");
  log.text.Clear();
  log.layout.Update();
  EXPECT_EQ(log.layout.RowCount(), 1u);
  EXPECT_EQ(log.layout.CharCount(), 0u);
  log.Add("x");
  EXPECT_EQ(log.Rows(), (Rows{"x"}));
}

}  // namespace
