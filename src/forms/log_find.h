// Finding bytes in a log: the search runs over the bytes the log holds, piece
// by piece, never over a rendered copy. A match may span the log's chunks.
//
// A query is text (bytes in the system code page; with match case off,
// ASCII letters match either case) or hex bytes ("0D 0A", "0d0a"). Hex bytes
// also find their own hex text ("0D 0A"), as a log in hex display holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "forms/log_text.h"

namespace forms {

struct LogMatch {
  std::size_t pos = 0;
  std::size_t length = 0;
  bool found = false;
};

class LogFinder {
 public:
  // False (and no pattern) for hex text that is not whole bytes.
  bool SetQuery(const std::string &text, bool matchCase, bool hex);
  bool Empty() const { return patterns_.empty(); }

  // The first match that starts in [from, to) and ends by `to`.
  LogMatch Forward(const LogSource &text, std::size_t from, std::size_t to) const;
  // The last match that starts at or after `from` and ends by `to`.
  LogMatch Backward(const LogSource &text, std::size_t from, std::size_t to) const;

  // Hex digits to bytes, spaces anywhere between bytes; false when they are
  // not whole bytes or there are none.
  static bool ParseHex(const std::string &text, std::string &bytes);

 private:
  struct Pattern {
    std::string bytes;
    bool foldCase = false;
    std::size_t rare = 0;  // the byte of the pattern to look for first
  };
  static LogMatch ForwardOne(const Pattern &p, const LogSource &text, std::size_t from,
                             std::size_t to);
  static LogMatch BackwardOne(const Pattern &p, const LogSource &text, std::size_t from,
                              std::size_t to);
  std::vector<Pattern> patterns_;
};

}  // namespace forms
