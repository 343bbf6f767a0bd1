// The rows of a read-only log view, kept without any toolkit: a backend
// supplies how wide each character is, the view's width, and paints the
// rows it shows. Appending lays out only the last row and the new text, so
// a log of any size (one endless line included) appends in time
// proportional to what was appended, and finding the rows to paint costs
// only the rows shown.
//
// What is shown:
// - The bytes are decoded in the system code page by a TextDecoder: a
//   character split across two appends stays whole (an unfinished sequence
//   at the end waits for the rest), and a byte that cannot start or continue
//   a character shows as U+FFFD with nothing after it lost.
// - A zero byte shows as U+2400 ("␀").
// - CR LF, a lone LF and a lone CR each end a line, like the memo's Lines
//   (a device that ends lines with CR alone still gets separate lines; a CR
//   LF split across two appends is still one break).
// - Lines wrap at the view's width: after the last space that fits, or
//   before the character that does not fit when the row has no space. A
//   space that does not fit stays at the end of its row. A row also ends
//   after kMaxRowUnits characters, so zero-width characters cannot make one
//   row unbounded.
//
// Text positions ("characters") count UTF-16 code units of the shown text,
// in which every line break is one '\n': what a toolkit's text interface
// and accessibility offsets count.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "forms/log_text.h"

namespace forms {

// Turns bytes into characters one at a time, without state between
// characters, so a view can decode from the start of any row.
class TextDecoder {
 public:
  struct Char {
    char32_t code = 0;
    std::size_t length = 0;  // bytes taken; 0: the bytes may be an unfinished character
  };
  virtual ~TextDecoder() = default;
  // The character at `p` (n > 0 bytes available). Returns length 0 only when
  // all n bytes are the start of a character that more bytes could finish.
  virtual Char Next(const unsigned char *p, std::size_t n) const = 0;
  // The most bytes one character can take.
  virtual std::size_t MaxLength() const = 0;
  // True when every byte below 0x80 is that ASCII character on its own
  // (lets the layout skip the decoder for plain text).
  virtual bool AsciiCompatible() const { return false; }
};

// UTF-8 as the Unicode standard reads it: overlong forms, surrogates and
// values past U+10FFFF are invalid, and each maximal invalid part (a lone
// byte, or the valid start of a sequence cut short) becomes one U+FFFD.
class Utf8Decoder : public TextDecoder {
 public:
  Char Next(const unsigned char *p, std::size_t n) const override;
  std::size_t MaxLength() const override { return 4; }
  bool AsciiCompatible() const override { return true; }
};

// A code page of one byte per character (a Windows ANSI code page); a byte
// with no character maps to U+FFFD in the table.
class SingleByteDecoder : public TextDecoder {
 public:
  explicit SingleByteDecoder(const std::array<char32_t, 256> &table) : table_(table) {
    for (char32_t b = 0; b < 0x80; ++b) ascii_ = ascii_ && table_[b] == b;
  }
  Char Next(const unsigned char *p, std::size_t n) const override {
    (void)n;
    return Char{table_[*p], 1};
  }
  std::size_t MaxLength() const override { return 1; }
  bool AsciiCompatible() const override { return ascii_; }

 private:
  std::array<char32_t, 256> table_;
  bool ascii_ = true;
};

class LogLayout {
 public:
  // Width of a shown character (never a line break), in a unit of the
  // backend's choosing (the Qt view uses 1/64 pixel, so the widths of a row
  // add up to what the toolkit draws); SetWidth takes the same unit.
  using WidthFunction = std::function<int(char32_t)>;

  static constexpr std::size_t kMaxRowUnits = 1024;
  static constexpr char32_t kZeroSymbol = 0x2400;
  static constexpr char32_t kReplacement = 0xFFFD;

  // `text` and `decoder` must outlive the layout.
  LogLayout(const LogSource &text, const TextDecoder &decoder);

  // A new font: widths are asked again and everything is laid out again.
  void SetWidthFunction(WidthFunction width);
  // The width rows wrap at; a change lays everything out again. 0 or less:
  // no wrapping by width (rows still end at kMaxRowUnits).
  void SetWidth(int pixels);
  int Width() const { return width_; }

  // Lays out what was appended to the text since the last call. A text that
  // shrank (cleared or replaced) is laid out from its start.
  void Update();
  // Lays out the whole text again (after a change other than an append).
  void Reset();

  // Counts the times the rows were laid out anew (Reset, new width or
  // font): rows cached by a view are stale when it changes.
  std::uint64_t Generation() const { return generation_; }

  std::size_t RowCount() const { return rows_.Size(); }
  // Characters shown so far (an unfinished character at the end not yet).
  std::uint64_t CharCount() const { return chars_; }

  struct Row {
    std::uint64_t byteStart = 0;
    std::uint64_t byteEnd = 0;  // after its line break, if it has one
    std::uint64_t charStart = 0;
    std::uint64_t charEnd = 0;  // after its '\n', if it has one
    bool endsLine = false;      // ends with a line break (else it wraps or is the last)
  };
  Row RowAt(std::size_t row) const;
  // The row that shows character `pos`; past the end, the last row.
  std::size_t RowOfChar(std::uint64_t pos) const;
  // The row that holds byte `pos`; past the end, the last row.
  std::size_t RowOfByte(std::uint64_t pos) const;
  // The first character at or after byte `pos` (its line break counts as
  // one character; the LF of a CR LF is part of it), and the first byte of
  // character `pos`.
  std::uint64_t CharOfByte(std::uint64_t pos) const;
  std::uint64_t ByteOfChar(std::uint64_t pos) const;

  // The shown characters of a row, its '\n' included when `withBreak`.
  std::u16string RowText(std::size_t row, bool withBreak = true) const;
  // The shown text from character `from` up to `to` (clipped to the text).
  std::u16string TextRange(std::uint64_t from, std::uint64_t to) const;

  // Left edge, in width units from the row's start, of character `pos`
  // within its row, by the width function; the row's end for its break or
  // beyond.
  int XOfChar(std::uint64_t pos) const;
  // The character position nearest to `x` in `row` (a boundary between two
  // characters: the one whose left half holds x, or after it).
  std::uint64_t CharAtX(std::size_t row, int x) const;

  // The shown code point for a decoded one (the zero byte's symbol).
  static char32_t Shown(char32_t code) { return code == 0 ? kZeroSymbol : code; }

 private:
  struct Start {
    std::uint64_t byte;
    std::uint64_t ch;
  };
  // Every row's start, in about 5 bytes a row rather than 16: rows come in
  // groups, each with its first row's start in full and every row's as
  // 16-bit offsets from it. A group has as many rows as surely fit in
  // 64 KiB of bytes (a row holds at most kMaxRowUnits + 1 characters and
  // its line break).
  class RowStarts {
   public:
    explicit RowStarts(std::size_t maxCharBytes)
        : group_(std::max<std::size_t>(1, 0xFFFF / (maxCharBytes * (kMaxRowUnits + 1) + 2))) {}
    std::size_t Size() const { return size_; }
    Start operator[](std::size_t row) const {
      const Start &base = bases_[row / group_];
      const Offsets &o = offsets_[row];
      return Start{base.byte + o.byte, base.ch + o.ch};
    }
    void PushBack(Start s);
    // Moves the last row's start to `byte` (the LF of a CR LF).
    void SetLastByte(std::uint64_t byte);
    void Clear();
    // The last row whose start is at or before `pos`, by byte or by char.
    std::size_t FindByte(std::uint64_t pos) const;
    std::size_t FindChar(std::uint64_t pos) const;

   private:
    struct Offsets {
      std::uint16_t byte;
      std::uint16_t ch;
    };
    template <class Key>
    std::size_t Find(std::uint64_t pos, Key key) const;

    std::size_t group_;
    std::size_t size_ = 0;
    std::deque<Start> bases_;
    std::deque<Offsets> offsets_;
  };
  // One decoded character of the text at `pos` (length 0: unfinished).
  TextDecoder::Char DecodeAt(std::uint64_t pos) const;
  int CharWidth(char32_t shown) const {
    if (shown < 0x10000 && !widthCache_.empty() && widthCache_[shown] >= 0) {
      return widthCache_[shown];
    }
    return MeasureWidth(shown);
  }
  int MeasureWidth(char32_t shown) const;
  // Lays out one decoded character that starts at byte `pos`.
  void Take(char32_t code, std::uint64_t pos, std::size_t length);
  void NewRow(std::uint64_t byte, std::uint64_t ch);
  // Walks the characters of a row: fn(code (shown), byteStart, charStart).
  template <class Fn>
  void ForEachChar(std::size_t row, Fn fn) const;
  // The same with each character's first byte: fn(shown, charStart, byte, units).
  template <class Fn>
  void ForEachCharAt(std::size_t row, Fn fn) const;

  const LogSource &text_;
  const TextDecoder &decoder_;
  WidthFunction widthFn_;
  mutable std::vector<std::int32_t> widthCache_;  // for U+0000..U+FFFF; -1 unknown
  int width_ = 0;

  std::uint64_t generation_ = 0;
  RowStarts rows_;                // every row's start; the first is {0, 0}
  std::uint64_t decodedEnd_ = 0;  // bytes taken so far
  std::uint64_t chars_ = 0;
  // The last row as laid out so far.
  int rowWidth_ = 0;
  std::size_t rowUnits_ = 0;
  bool lastWasCr_ = false;
  bool wrapPending_ = false;  // a hanging space filled the row
  // After the last space of the last row: where it could wrap.
  bool hasBreak_ = false;
  Start break_{0, 0};
  int breakWidth_ = 0;
  std::size_t breakUnits_ = 0;
};

}  // namespace forms
