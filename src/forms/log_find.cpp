#include "forms/log_find.h"

#include <algorithm>
#include <cstring>

namespace forms {

namespace {

unsigned char Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

bool IsLetter(unsigned char c) { return Fold(c) >= 'a' && Fold(c) <= 'z'; }

// How often a byte turns up in what a serial log holds (text, AT answers,
// hex text), coarsely: the search looks first for the pattern's rarest byte.
int Commonness(unsigned char c) {
  if (c == ' ') return 10;
  if (c >= '0' && c <= '9') return 8;
  if (std::strchr("etaoinshrdlu", Fold(c)) != nullptr && c != 0) return 9;
  if (c >= 'a' && c <= 'z') return 6;
  if (c >= 'A' && c <= 'Z') return 7;
  if (c == '\r' || c == '\n') return 7;
  if (c >= 0x21 && c < 0x7F) return 4;
  return 2;
}

}  // namespace

bool LogFinder::ParseHex(const std::string &text, std::string &bytes) {
  bytes.clear();
  int half = -1;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (Fold(c) >= 'a' && Fold(c) <= 'f') {
      v = Fold(c) - 'a' + 10;
    } else if (c == ' ' || c == '\t' || c == ',') {
      if (half >= 0) return false;  // a lone digit
      continue;
    } else {
      return false;
    }
    if (half < 0) {
      half = v;
    } else {
      bytes.push_back(static_cast<char>(half * 16 + v));
      half = -1;
    }
  }
  return half < 0 && !bytes.empty();
}

bool LogFinder::SetQuery(const std::string &text, bool matchCase, bool hex) {
  patterns_.clear();
  auto add = [this](std::string bytes, bool fold) {
    Pattern p;
    p.bytes = std::move(bytes);
    p.foldCase = fold;
    int best = 1 << 30;
    for (std::size_t i = 0; i < p.bytes.size(); ++i) {
      const auto c = static_cast<unsigned char>(p.bytes[i]);
      // A letter of either case cannot be looked for with one memchr.
      const int cost = Commonness(c) + (fold && IsLetter(c) ? 20 : 0);
      if (cost < best) {
        best = cost;
        p.rare = i;
      }
    }
    patterns_.push_back(std::move(p));
  };
  if (!hex) {
    if (text.empty()) return false;
    add(text, !matchCase);
    return true;
  }
  std::string bytes;
  if (!ParseHex(text, bytes)) return false;
  // The hex text a log in hex display holds for the same bytes.
  static const char kHex[] = "0123456789ABCDEF";
  std::string spelled;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (i > 0) spelled.push_back(' ');
    spelled.push_back(kHex[b >> 4]);
    spelled.push_back(kHex[b & 15]);
  }
  add(bytes, false);
  add(spelled, true);
  return true;
}

LogMatch LogFinder::Forward(const LogSource &text, std::size_t from, std::size_t to) const {
  LogMatch best;
  for (const Pattern &p : patterns_) {
    const LogMatch m = ForwardOne(p, text, from, to);
    if (m.found && (!best.found || m.pos < best.pos)) best = m;
  }
  return best;
}

LogMatch LogFinder::Backward(const LogSource &text, std::size_t from, std::size_t to) const {
  LogMatch best;
  for (const Pattern &p : patterns_) {
    const LogMatch m = BackwardOne(p, text, from, to);
    if (m.found && (!best.found || m.pos > best.pos)) best = m;
  }
  return best;
}

namespace {

bool Equal(const unsigned char *a, const unsigned char *b, std::size_t n, bool fold) {
  if (!fold) return std::memcmp(a, b, n) == 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

// The first place in [p, p + n) where `pattern` starts and fits, or null.
const unsigned char *FindIn(const unsigned char *p, std::size_t n, const std::string &pattern,
                            std::size_t rare, bool fold) {
  const std::size_t m = pattern.size();
  if (n < m) return nullptr;
  const auto *pat = reinterpret_cast<const unsigned char *>(pattern.data());
  const unsigned char r = pat[rare];
  const unsigned char rFold = Fold(r);
  const bool twoCases = fold && IsLetter(r);
  const unsigned char *end = p + n - m + 1;  // starts before this fit
  const unsigned char *at = p + rare;        // where the rare byte may be
  const unsigned char *atEnd = end + rare;
  while (at < atEnd) {
    const unsigned char *hit;
    if (!twoCases) {
      hit = static_cast<const unsigned char *>(
          std::memchr(at, r, static_cast<std::size_t>(atEnd - at)));
    } else {
      hit = nullptr;
      for (const unsigned char *q = at; q < atEnd; ++q) {
        if (Fold(*q) == rFold) {
          hit = q;
          break;
        }
      }
    }
    if (hit == nullptr) return nullptr;
    const unsigned char *start = hit - rare;
    if (Equal(start, pat, m, fold)) return start;
    at = hit + 1;
  }
  return nullptr;
}

}  // namespace

LogMatch LogFinder::ForwardOne(const Pattern &pat, const LogSource &text, std::size_t from,
                               std::size_t to) {
  LogMatch result;
  const std::size_t m = pat.bytes.size();
  to = std::min(to, text.Size());
  if (m == 0 || from >= to || to - from < m) return result;
  std::string seam;
  std::size_t pos = from;
  while (pos < to && to - pos >= m) {
    std::string_view piece = text.PieceAt(pos);
    if (piece.size() > to - pos) piece = piece.substr(0, to - pos);
    const auto *p = reinterpret_cast<const unsigned char *>(piece.data());
    if (const unsigned char *hit = FindIn(p, piece.size(), pat.bytes, pat.rare, pat.foldCase)) {
      result.pos = pos + static_cast<std::size_t>(hit - p);
      result.length = m;
      result.found = true;
      return result;
    }
    const std::size_t next = pos + piece.size();
    if (m > 1 && next < to) {
      // A match across the seam starts in the last m - 1 bytes of this piece.
      const std::size_t seamFrom = next - std::min(piece.size(), m - 1);
      const std::size_t seamLen = std::min(to - seamFrom, 2 * (m - 1));
      seam.resize(seamLen);
      text.CopyOut(seamFrom, seamLen, seam.data());
      const auto *s = reinterpret_cast<const unsigned char *>(seam.data());
      if (const unsigned char *hit = FindIn(s, seamLen, pat.bytes, pat.rare, pat.foldCase)) {
        const std::size_t at = seamFrom + static_cast<std::size_t>(hit - s);
        if (at < next) {
          result.pos = at;
          result.length = m;
          result.found = true;
          return result;
        }
      }
    }
    pos = next;
  }
  return result;
}

LogMatch LogFinder::BackwardOne(const Pattern &pat, const LogSource &text, std::size_t from,
                                std::size_t to) {
  // Windows of the text from its end, each searched forward for its last
  // match; a window overlaps the next by m - 1 bytes.
  LogMatch result;
  const std::size_t m = pat.bytes.size();
  to = std::min(to, text.Size());
  if (m == 0 || from >= to || to - from < m) return result;
  constexpr std::size_t kWindow = std::size_t{256} * 1024;
  std::size_t end = to;
  while (end > from && end - from >= m) {
    const std::size_t start = end - from > kWindow ? end - kWindow : from;
    LogMatch last;
    for (std::size_t at = start;;) {
      const LogMatch hit = ForwardOne(pat, text, at, end);
      if (!hit.found) break;
      last = hit;
      at = hit.pos + 1;
    }
    if (last.found) return last;
    if (start == from) break;
    end = start + m - 1;
  }
  return result;
}

}  // namespace forms
