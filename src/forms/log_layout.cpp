#include "forms/log_layout.h"

#include <algorithm>
#include <stdexcept>

namespace forms {

// ---- decoders -------------------------------------------------------------------

TextDecoder::Char Utf8Decoder::Next(const unsigned char *p, std::size_t n) const {
  const unsigned b0 = p[0];
  if (b0 < 0x80) return Char{b0, 1};
  std::size_t length;
  unsigned lo = 0x80, hi = 0xBF;  // the second byte's range
  char32_t code;
  if (b0 < 0xC2) {
    return Char{LogLayout::kReplacement, 1};  // a continuation byte, or an overlong start
  } else if (b0 < 0xE0) {
    length = 2;
    code = b0 & 0x1F;
  } else if (b0 < 0xF0) {
    length = 3;
    code = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 < 0xF5) {
    length = 4;
    code = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return Char{LogLayout::kReplacement, 1};
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= n) return Char{0, 0};
    const unsigned b = p[i];
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) {
      // The valid start before this byte is one bad character; the byte
      // itself begins the next one.
      return Char{LogLayout::kReplacement, i};
    }
    code = (code << 6) | (b & 0x3F);
  }
  return Char{code, length};
}

// ---- row starts -----------------------------------------------------------------

void LogLayout::RowStarts::PushBack(Start s) {
  if (size_ % group_ == 0) {
    bases_.push_back(s);
    offsets_.push_back(Offsets{0, 0});
  } else {
    const Start &base = bases_.back();
    offsets_.push_back(Offsets{static_cast<std::uint16_t>(s.byte - base.byte),
                               static_cast<std::uint16_t>(s.ch - base.ch)});
  }
  ++size_;
}

void LogLayout::RowStarts::SetLastByte(std::uint64_t byte) {
  if ((size_ - 1) % group_ == 0) {
    bases_.back().byte = byte;
  } else {
    offsets_.back().byte = static_cast<std::uint16_t>(byte - bases_.back().byte);
  }
}

void LogLayout::RowStarts::Clear() {
  bases_.clear();
  bases_.shrink_to_fit();
  offsets_.clear();
  offsets_.shrink_to_fit();
  size_ = 0;
}

template <class Key>
std::size_t LogLayout::RowStarts::Find(std::uint64_t pos, Key key) const {
  // The group first, by its full start, then the row within it.
  std::size_t lo = 0;
  std::size_t hi = bases_.size();
  while (hi - lo > 1) {
    const std::size_t mid = (lo + hi) / 2;
    if (key(bases_[mid]) <= pos) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  std::size_t first = lo * group_;
  std::size_t end = std::min(size_, first + group_);
  while (end - first > 1) {
    const std::size_t mid = (first + end) / 2;
    if (key((*this)[mid]) <= pos) {
      first = mid;
    } else {
      end = mid;
    }
  }
  return first;
}

std::size_t LogLayout::RowStarts::FindByte(std::uint64_t pos) const {
  return Find(pos, [](const Start &s) { return s.byte; });
}

std::size_t LogLayout::RowStarts::FindChar(std::uint64_t pos) const {
  return Find(pos, [](const Start &s) { return s.ch; });
}

// ---- layout ---------------------------------------------------------------------

LogLayout::LogLayout(const LogSource &text, const TextDecoder &decoder)
    : text_(text), decoder_(decoder), rows_(decoder.MaxLength()) {
  rows_.PushBack(Start{0, 0});
}

void LogLayout::SetWidthFunction(WidthFunction width) {
  widthFn_ = std::move(width);
  widthCache_.clear();
  Reset();
}

void LogLayout::SetWidth(int pixels) {
  if (pixels == width_) return;
  width_ = pixels;
  Reset();
}

void LogLayout::Reset() {
  ++generation_;
  rows_.Clear();
  rows_.PushBack(Start{0, 0});
  decodedEnd_ = 0;
  chars_ = 0;
  rowWidth_ = 0;
  rowUnits_ = 0;
  lastWasCr_ = false;
  wrapPending_ = false;
  hasBreak_ = false;
  Update();
}

TextDecoder::Char LogLayout::DecodeAt(std::uint64_t pos) const {
  const std::string_view piece = text_.PieceAt(static_cast<std::size_t>(pos));
  if (piece.size() >= decoder_.MaxLength() || pos + piece.size() >= text_.Size()) {
    return decoder_.Next(reinterpret_cast<const unsigned char *>(piece.data()), piece.size());
  }
  // A character across two chunks.
  unsigned char buffer[8];
  const std::size_t n = text_.CopyOut(static_cast<std::size_t>(pos),
                                      std::min<std::size_t>(decoder_.MaxLength(), sizeof buffer),
                                      reinterpret_cast<char *>(buffer));
  return decoder_.Next(buffer, n);
}

int LogLayout::MeasureWidth(char32_t shown) const {
  // Without a width function every character is one unit wide.
  if (!widthFn_) return 1;
  if (shown > 0xFFFF) return std::max(0, widthFn_(shown));
  // Asked once per character: a toolkit's measurement costs far more than
  // the rest of laying out a character.
  if (widthCache_.empty()) widthCache_.assign(0x10000, -1);
  std::int32_t &w = widthCache_[shown];
  if (w < 0) w = std::max(0, widthFn_(shown));
  return w;
}

void LogLayout::NewRow(std::uint64_t byte, std::uint64_t ch) {
  rows_.PushBack(Start{byte, ch});
  rowWidth_ = 0;
  rowUnits_ = 0;
  hasBreak_ = false;
  wrapPending_ = false;
}

void LogLayout::Update() {
  const std::uint64_t size = text_.Size();
  if (size < decodedEnd_) {
    Reset();
    return;
  }
  const std::size_t maxLength = decoder_.MaxLength();
  const bool ascii = decoder_.AsciiCompatible();
  std::uint64_t pos = decodedEnd_;
  bool unfinished = false;
  while (pos < size && !unfinished) {
    // Chunk by chunk; only a character that spans two chunks is copied.
    const std::string_view piece = text_.PieceAt(static_cast<std::size_t>(pos));
    const auto *p = reinterpret_cast<const unsigned char *>(piece.data());
    const std::size_t n = piece.size();
    const bool lastPiece = pos + n >= size;
    std::size_t i = 0;
    while (i < n) {
      if (ascii && !wrapPending_ && !lastWasCr_) {
        // Printable ASCII that fits on the row, the common case, without
        // the general rules: a tight loop over the bytes.
        while (i < n) {
          const unsigned char b = p[i];
          if (b < 0x20 || b >= 0x7F || rowUnits_ + 1 > kMaxRowUnits) break;
          const int w = CharWidth(b);
          if (width_ > 0 && rowWidth_ + w > width_ && rowUnits_ > 0) break;
          rowWidth_ += w;
          ++rowUnits_;
          ++chars_;
          if (b == ' ') {
            hasBreak_ = true;
            break_ = Start{pos + i + 1, chars_};
            breakWidth_ = rowWidth_;
            breakUnits_ = rowUnits_;
          }
          ++i;
        }
        if (i >= n) break;
      }
      TextDecoder::Char c;
      if (ascii && p[i] < 0x80) {
        c = TextDecoder::Char{p[i], 1};
      } else if (n - i >= maxLength || lastPiece) {
        c = decoder_.Next(p + i, n - i);
      } else {
        c = DecodeAt(pos + i);
      }
      if (c.length == 0) {
        unfinished = true;  // the rest of this character is still to come
        break;
      }
      Take(c.code, pos + i, c.length);
      i += c.length;
    }
    pos += i;
  }
  decodedEnd_ = pos;
}

void LogLayout::Take(char32_t code, std::uint64_t pos, std::size_t length) {
  const std::uint64_t next = pos + length;
  if (code == '\n' && lastWasCr_) {
    // The LF of a CR LF: the break is already there.
    rows_.SetLastByte(next);
    lastWasCr_ = false;
    return;
  }
  lastWasCr_ = false;
  if (code == '\r' || code == '\n') {
    chars_ += 1;
    lastWasCr_ = code == '\r';
    NewRow(next, chars_);
    return;
  }
  const char32_t shown = Shown(code);
  const std::size_t units = shown > 0xFFFF ? 2 : 1;
  const int w = CharWidth(shown);
  if (wrapPending_) {
    NewRow(pos, chars_);
  } else if (rowUnits_ > 0) {
    if (rowUnits_ + units > kMaxRowUnits) {
      NewRow(pos, chars_);
    } else if (width_ > 0 && rowWidth_ + w > width_) {
      if (shown == ' ') {
        // A space that does not fit hangs at the end of its row.
        rowWidth_ += w;
        rowUnits_ += units;
        chars_ += units;
        wrapPending_ = true;
        hasBreak_ = false;
        return;
      }
      if (hasBreak_) {
        // The word that does not fit moves to a row of its own.
        const Start at = break_;
        const int moved = rowWidth_ - breakWidth_;
        const std::size_t movedUnits = rowUnits_ - breakUnits_;
        NewRow(at.byte, at.ch);
        rowWidth_ = moved;
        rowUnits_ = movedUnits;
        if (rowUnits_ > 0 && rowWidth_ + w > width_) NewRow(pos, chars_);
      } else {
        NewRow(pos, chars_);
      }
    }
  }
  rowWidth_ += w;
  rowUnits_ += units;
  chars_ += units;
  if (shown == ' ') {
    hasBreak_ = true;
    break_ = Start{next, chars_};
    breakWidth_ = rowWidth_;
    breakUnits_ = rowUnits_;
  }
}

LogLayout::Row LogLayout::RowAt(std::size_t row) const {
  Row r;
  if (row >= rows_.Size()) throw std::out_of_range("LogLayout::RowAt");
  const Start s = rows_[row];
  r.byteStart = s.byte;
  r.charStart = s.ch;
  if (row + 1 < rows_.Size()) {
    const Start next = rows_[row + 1];
    r.byteEnd = next.byte;
    r.charEnd = next.ch;
    // Only a line break ends a row right after itself with the byte CR or LF.
    const char last =
        r.byteEnd > r.byteStart ? text_.ByteAt(static_cast<std::size_t>(r.byteEnd - 1)) : '\0';
    r.endsLine = last == '\n' || last == '\r';
  } else {
    r.byteEnd = decodedEnd_;
    r.charEnd = chars_;
  }
  return r;
}

std::size_t LogLayout::RowOfChar(std::uint64_t pos) const { return rows_.FindChar(pos); }

std::size_t LogLayout::RowOfByte(std::uint64_t pos) const { return rows_.FindByte(pos); }

std::uint64_t LogLayout::CharOfByte(std::uint64_t pos) const {
  if (pos >= decodedEnd_) return chars_;
  const std::size_t row = RowOfByte(pos);
  const Row r = RowAt(row);
  std::uint64_t found = r.charEnd;
  bool done = false;
  ForEachCharAt(row, [&](char32_t, std::uint64_t ch, std::uint64_t byte, std::size_t) {
    if (!done && byte >= pos) {
      found = ch;
      done = true;
    }
  });
  return found;
}

std::uint64_t LogLayout::ByteOfChar(std::uint64_t pos) const {
  if (pos >= chars_) return decodedEnd_;
  const std::size_t row = RowOfChar(pos);
  std::uint64_t found = RowAt(row).byteEnd;
  bool done = false;
  ForEachCharAt(row, [&](char32_t, std::uint64_t ch, std::uint64_t byte, std::size_t units) {
    if (!done && ch + units > pos) {
      found = byte;
      done = true;
    }
  });
  return found;
}

template <class Fn>
void LogLayout::ForEachCharAt(std::size_t row, Fn fn) const {
  const Row r = RowAt(row);
  std::uint64_t pos = r.byteStart;
  std::uint64_t ch = r.charStart;
  bool afterCr = false;
  while (pos < r.byteEnd) {
    const TextDecoder::Char c = DecodeAt(pos);
    if (c.length == 0) break;
    if (c.code == '\n' && afterCr) {
      afterCr = false;
      pos += c.length;
      continue;
    }
    afterCr = c.code == '\r';
    const char32_t shown = afterCr || c.code == '\n' ? U'\n' : Shown(c.code);
    const std::size_t units = shown > 0xFFFF ? 2 : 1;
    fn(shown, ch, pos, units);
    ch += units;
    pos += c.length;
  }
}

template <class Fn>
void LogLayout::ForEachChar(std::size_t row, Fn fn) const {
  const Row r = RowAt(row);
  std::uint64_t pos = r.byteStart;
  std::uint64_t ch = r.charStart;
  bool afterCr = false;
  while (pos < r.byteEnd) {
    const TextDecoder::Char c = DecodeAt(pos);
    if (c.length == 0) break;
    if (c.code == '\n' && afterCr) {
      afterCr = false;
      pos += c.length;
      continue;
    }
    afterCr = c.code == '\r';
    const bool isBreak = c.code == '\r' || c.code == '\n';
    const char32_t shown = isBreak ? U'\n' : Shown(c.code);
    const std::size_t units = shown > 0xFFFF ? 2 : 1;
    fn(shown, ch, units, isBreak);
    ch += units;
    pos += c.length;
  }
}

namespace {

void AppendUtf16(std::u16string &out, char32_t code) {
  if (code > 0xFFFF) {
    code -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(code));
  }
}

}  // namespace

std::u16string LogLayout::RowText(std::size_t row, bool withBreak) const {
  std::u16string out;
  ForEachChar(row, [&](char32_t shown, std::uint64_t, std::size_t, bool isBreak) {
    if (!isBreak || withBreak) AppendUtf16(out, shown);
  });
  return out;
}

std::u16string LogLayout::TextRange(std::uint64_t from, std::uint64_t to) const {
  std::u16string out;
  to = std::min(to, chars_);
  if (from >= to) return out;
  for (std::size_t row = RowOfChar(from); row < rows_.Size() && rows_[row].ch < to; ++row) {
    ForEachChar(row, [&](char32_t shown, std::uint64_t ch, std::size_t, bool) {
      if (ch >= from && ch < to) AppendUtf16(out, shown);
    });
  }
  return out;
}

int LogLayout::XOfChar(std::uint64_t pos) const {
  const std::size_t row = RowOfChar(pos);
  int x = 0;
  ForEachChar(row, [&](char32_t shown, std::uint64_t ch, std::size_t, bool isBreak) {
    if (ch < pos && !isBreak) x += CharWidth(shown);
  });
  return x;
}

std::uint64_t LogLayout::CharAtX(std::size_t row, int x) const {
  const Row r = RowAt(row);
  std::uint64_t found = r.charEnd;
  bool done = false;
  int left = 0;
  ForEachChar(row, [&](char32_t shown, std::uint64_t ch, std::size_t, bool isBreak) {
    if (done) return;
    if (isBreak) {
      found = ch;  // before the line's break
      done = true;
      return;
    }
    const int w = CharWidth(shown);
    if (x < left + (w + 1) / 2) {
      found = ch;
      done = true;
      return;
    }
    left += w;
  });
  return found;
}

}  // namespace forms
