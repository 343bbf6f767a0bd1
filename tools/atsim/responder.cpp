#include "atsim/responder.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace atsim {
namespace {

// A query may end in "?" or in the full-width question mark. Terminals send
// the latter as UTF-8 (EF BC 9F) or, from a Chinese ANSI code page, as GBK
// (A3 BF); a code page without it sends "?" itself. All mean "query".
constexpr std::array<std::string_view, 3> kQueryMarks = {"?", "\xEF\xBC\x9F", "\xA3\xBF"};

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool SameIgnoringCase(char a, char b) { return Upper(a) == Upper(b); }

std::string ToUpper(std::string_view s) {
  std::string out(s);
  for (char &c : out) c = Upper(c);
  return out;
}

bool AllOf(std::string_view s, bool (*pred)(unsigned char)) {
  return std::all_of(s.begin(), s.end(),
                     [pred](char c) { return pred(static_cast<unsigned char>(c)); });
}

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsHex(unsigned char c) { return std::isxdigit(c) != 0; }
bool IsPrintable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

// ---------------------------------------------------------------------------
// 4.0 family
//
// There is no terminator, so the parser has to decide from the bytes alone
// when a command is whole. Every command is "AT", or "AT+KEY" followed by
// nothing (an action), a query mark, or a value from a fixed character set
// and length range. Values of fixed length make a command whole the moment
// the last byte arrives; "AT" and variable-length values stay open until the
// next byte shows they are over, or the line goes quiet.

enum class Kind40 { kReadOnly, kSetting, kAction };

struct Key40 {
  std::string_view key;
  Kind40 kind;
  std::string_view initial;  // for kReadOnly and kSetting
  std::string_view chars;    // allowed value bytes; empty: printable except '?'
  std::size_t min_len;
  std::size_t max_len;
};

constexpr std::string_view kDigits = "0123456789";

// Invented values: a made-up address and firmware text, plausible defaults.
constexpr std::array<Key40, 25> kKeys40 = {{
    {"ADDR", Kind40::kReadOnly, "5C0272A19E40", {}, 0, 0},
    {"BAUD", Kind40::kSetting, "0", "012345678", 1, 1},
    {"CLEAR", Kind40::kAction, {}, {}, 0, 0},
    {"FLOW", Kind40::kSetting, "0", "01", 1, 1},
    {"FILT", Kind40::kSetting, "0", "01", 1, 1},
    {"HELP", Kind40::kReadOnly, {}, {}, 0, 0},
    {"IMME", Kind40::kSetting, "0", "01", 1, 1},
    {"MODE", Kind40::kSetting, "0", "012", 1, 1},
    {"NAME", Kind40::kSetting, "TESS-BLE", {}, 1, 12},
    {"PIO1", Kind40::kSetting, "0", "01", 1, 1},
    {"PARI", Kind40::kSetting, "0", "012", 1, 1},
    {"PASS", Kind40::kSetting, "000000", kDigits, 6, 6},
    {"POWE", Kind40::kSetting, "2", "0123", 1, 1},
    {"RADD", Kind40::kReadOnly, "3C71BF0A5521", {}, 0, 0},
    {"ROLE", Kind40::kSetting, "0", "01", 1, 1},
    {"RESET", Kind40::kAction, {}, {}, 0, 0},
    {"RENEW", Kind40::kAction, {}, {}, 0, 0},
    {"RSSI", Kind40::kReadOnly, "-58", {}, 0, 0},
    {"SAVE", Kind40::kSetting, "1", "01", 1, 1},
    {"STOP", Kind40::kSetting, "0", "01", 1, 1},
    {"START", Kind40::kAction, {}, {}, 0, 0},
    {"TYPE", Kind40::kSetting, "0", "012", 1, 1},
    {"TCON", Kind40::kSetting, "001000", kDigits, 6, 6},
    {"VERS", Kind40::kReadOnly, "ATSIM-BLE V1.5", {}, 0, 0},
    {"VERR", Kind40::kReadOnly, "ATSIM-BLE V1.5", {}, 0, 0},
}};

enum class Form40 { kPlainAt, kQuery, kSet, kAction };

// One way a command can be written: a head such as "AT+NAME" and its tail.
struct Pattern40 {
  const Key40 *key;  // null for plain "AT"
  Form40 form;
};

bool ValueByte40(const Key40 &key, char c) {
  if (key.chars.empty()) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7F && c != '?';
  }
  return key.chars.find(c) != std::string_view::npos;
}

struct Match40 {
  std::size_t complete = 0;            // length of the longest whole command at the start
  bool can_grow = false;               // all of the input is a proper prefix of a command
  const Pattern40 *pattern = nullptr;  // the pattern that gave `complete`
};

// How the start of `in` matches one pattern.
Match40 MatchOne(std::string_view in, const Pattern40 &p) {
  Match40 m;
  std::string head = "AT";
  if (p.key != nullptr) {
    head += '+';
    head += p.key->key;
  }
  const std::size_t n = std::min(head.size(), in.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (!SameIgnoringCase(in[i], head[i])) return m;
  }
  if (in.size() < head.size()) {
    m.can_grow = true;
    return m;
  }
  const std::string_view rest = in.substr(head.size());
  switch (p.form) {
    case Form40::kPlainAt:
    case Form40::kAction:
      m.complete = head.size();
      break;
    case Form40::kQuery:
      for (std::string_view mark : kQueryMarks) {
        const std::size_t k = std::min(mark.size(), rest.size());
        if (rest.substr(0, k) != mark.substr(0, k)) continue;
        if (k < mark.size()) {
          m.can_grow = true;
        } else {
          m.complete = head.size() + mark.size();
        }
      }
      break;
    case Form40::kSet: {
      std::size_t count = 0;
      while (count < rest.size() && count < p.key->max_len && ValueByte40(*p.key, rest[count])) {
        ++count;
      }
      if (count >= p.key->min_len) m.complete = head.size() + count;
      m.can_grow = count == rest.size() && count < p.key->max_len;
      break;
    }
  }
  if (m.complete > 0) m.pattern = &p;
  return m;
}

const std::vector<Pattern40> &Patterns40() {
  static const std::vector<Pattern40> patterns = [] {
    std::vector<Pattern40> v;
    v.push_back({nullptr, Form40::kPlainAt});
    for (const Key40 &k : kKeys40) {
      switch (k.kind) {
        case Kind40::kReadOnly:
          v.push_back({&k, Form40::kQuery});
          break;
        case Kind40::kSetting:
          v.push_back({&k, Form40::kQuery});
          v.push_back({&k, Form40::kSet});
          break;
        case Kind40::kAction:
          v.push_back({&k, Form40::kAction});
          break;
      }
    }
    return v;
  }();
  return patterns;
}

Match40 MatchAll(std::string_view in) {
  Match40 best;
  for (const Pattern40 &p : Patterns40()) {
    const Match40 m = MatchOne(in, p);
    best.can_grow = best.can_grow || m.can_grow;
    if (m.complete > best.complete) {
      best.complete = m.complete;
      best.pattern = m.pattern;
    }
  }
  return best;
}

// ---------------------------------------------------------------------------
// 2.1 family: one command per line, "AT+KEY?", "AT+KEY=value", "AT+KEY".

enum class Kind21 { kReadOnly, kSetting, kAction };

struct Key21 {
  std::string_view key;
  Kind21 kind;
  std::string_view initial;
  bool (*valid)(std::string_view);
};

bool IsBit(std::string_view v) { return v == "0" || v == "1"; }
bool Is0To2(std::string_view v) { return v.size() == 1 && v[0] >= '0' && v[0] <= '2'; }
bool Is0To3(std::string_view v) { return v.size() == 1 && v[0] >= '0' && v[0] <= '3'; }
bool IsName21(std::string_view v) { return !v.empty() && v.size() <= 32 && AllOf(v, IsPrintable); }
bool IsPin(std::string_view v) { return v.size() >= 4 && v.size() <= 16 && AllOf(v, IsDigit); }
bool IsCod(std::string_view v) { return v.size() == 6 && AllOf(v, IsHex); }
bool IsTimeout(std::string_view v) { return !v.empty() && v.size() <= 6 && AllOf(v, IsDigit); }
bool IsBaud(std::string_view v) {
  static constexpr std::array<std::string_view, 11> kRates = {"1200",   "2400",   "4800",  "9600",
                                                              "19200",  "38400",  "57600", "115200",
                                                              "230400", "460800", "921600"};
  return std::find(kRates.begin(), kRates.end(), v) != kRates.end();
}

constexpr std::size_t kPioCount = 12;

// UART and PIO are composite: UART reads and writes BAUD, STOP and CHK
// together; PIO holds one digit per pin. Both are handled in Execute21.
constexpr std::array<Key21, 33> kKeys21 = {{
    {"NAME", Kind21::kSetting, "TESS-SPP", IsName21},
    {"BAUD", Kind21::kSetting, "9600", IsBaud},
    {"CHK", Kind21::kSetting, "0", Is0To2},
    {"STOP", Kind21::kSetting, "0", IsBit},
    {"UART", Kind21::kSetting, {}, nullptr},
    {"SECH", Kind21::kSetting, "0", IsBit},
    {"APCH", Kind21::kSetting, "1", IsBit},
    {"TEMP", Kind21::kReadOnly, "24.5", nullptr},
    {"DISC", Kind21::kSetting, "1", IsBit},
    {"KEY", Kind21::kReadOnly, "0", nullptr},
    {"LED", Kind21::kSetting, "1", IsBit},
    {"PIO", Kind21::kSetting, "000000000000", nullptr},
    {"DEFAULT", Kind21::kAction, {}, nullptr},
    {"RESTART", Kind21::kAction, {}, nullptr},
    {"ROLE", Kind21::kSetting, "0", Is0To2},
    {"PIN", Kind21::kSetting, "1234", IsPin},
    {"AUTH", Kind21::kSetting, "1", IsBit},
    {"CLEAR", Kind21::kAction, {}, nullptr},
    {"VERSION", Kind21::kReadOnly, "ATSIM-SPP V1.5", nullptr},
    {"HELP", Kind21::kReadOnly, {}, nullptr},
    {"RADD", Kind21::kReadOnly, "1C48:F9:A0B7C2", nullptr},
    {"LADD", Kind21::kReadOnly, "98D3:31:F5A1C4", nullptr},
    {"IMME", Kind21::kSetting, "0", IsBit},
    {"WORK", Kind21::kAction, {}, nullptr},
    {"TCON", Kind21::kSetting, "1000", IsTimeout},
    {"TYPE", Kind21::kSetting, "0", Is0To3},
    {"TPIO", Kind21::kSetting, "0", IsBit},
    {"START", Kind21::kAction, {}, nullptr},
    {"BUFF", Kind21::kSetting, "0", IsBit},
    {"FILE", Kind21::kSetting, "0", IsBit},
    {"NOTI", Kind21::kSetting, "0", IsBit},
    {"RSSI", Kind21::kReadOnly, "-64", nullptr},
    {"COD", Kind21::kSetting, "001F00", IsCod},
}};

constexpr std::string_view kClearedAddress40 = "000000000000";
constexpr std::string_view kClearedAddress21 = "0:0:0";

template <typename Keys>
std::string HelpText(const Keys &keys) {
  std::string text = "AT";
  for (const auto &k : keys) {
    text += ',';
    text += k.key;
  }
  return text;
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

}  // namespace

std::optional<Personality> ParsePersonality(std::string_view text) {
  if (text == "4.0" || text == "4" || text == "ble") return Personality::kBle40;
  if (text == "2.1" || text == "2" || text == "spp") return Personality::kClassic21;
  return std::nullopt;
}

const char *PersonalityName(Personality p) { return p == Personality::kBle40 ? "4.0" : "2.1"; }

Responder::Responder(Personality personality, bool transparent)
    : personality_(personality), transparent_(transparent) {
  RestoreDefaults();
}

void Responder::RestoreDefaults() {
  settings_.clear();
  if (personality_ == Personality::kBle40) {
    for (const Key40 &k : kKeys40) {
      if (k.kind != Kind40::kAction) settings_[std::string(k.key)] = std::string(k.initial);
    }
    settings_["HELP"] = HelpText(kKeys40);
  } else {
    for (const Key21 &k : kKeys21) {
      if (k.kind != Kind21::kAction) settings_[std::string(k.key)] = std::string(k.initial);
    }
    settings_["HELP"] = HelpText(kKeys21);
  }
}

std::string Responder::Feed(std::string_view bytes) {
  if (transparent_) return std::string(bytes);
  return personality_ == Personality::kBle40 ? FeedBle40(bytes) : FeedClassic21(bytes);
}

std::string Responder::Flush() {
  if (transparent_) return {};
  if (personality_ == Personality::kBle40) return Drain40(true);
  if (pending_.empty()) {
    discarding_ = false;
    return {};
  }
  std::string out = Execute21(pending_);
  pending_.clear();
  discarding_ = false;
  return out;
}

// CR and LF are not part of any 4.0 command. A user who ends a line with
// Enter still expects an answer, so they end whatever is pending; on their
// own they are ignored.
std::string Responder::FeedBle40(std::string_view bytes) {
  std::string out;
  while (!bytes.empty()) {
    const auto end = std::find_if(bytes.begin(), bytes.end(), IsLineEnd);
    const std::size_t len = static_cast<std::size_t>(end - bytes.begin());
    pending_.append(bytes.substr(0, len));
    out += Drain40(false);
    if (len < bytes.size()) {
      out += Drain40(true);
      bytes.remove_prefix(len + 1);
    } else {
      bytes = {};
    }
  }
  return out;
}

// Answers every command that `pending_` starts with and that is certainly
// whole. With `at_end` nothing more belongs to the pending bytes: what is
// whole is answered, and what is not is an unknown command.
std::string Responder::Drain40(bool at_end) {
  std::string out;
  while (!pending_.empty()) {
    const Match40 m = MatchAll(pending_);
    if (m.complete == pending_.size() && (!m.can_grow || at_end)) {
      out += Execute40(pending_);
      pending_.clear();
      break;
    }
    if (m.can_grow && !at_end) break;
    // A whole command followed by bytes that cannot extend it: answer it if
    // those bytes look like the start of the next command ("ATAT+NAME?").
    // Otherwise the whole run is one bad command ("AT+BAUD9"), not "AT"
    // followed by junk.
    if (!m.can_grow && m.complete > 0) {
      const Match40 next = MatchAll(std::string_view(pending_).substr(m.complete));
      if (next.complete > 0 || next.can_grow) {
        out += Execute40(std::string_view(pending_).substr(0, m.complete));
        pending_.erase(0, m.complete);
        continue;
      }
    }
    // Junk waits for the quiet gap so that it earns one error, not many.
    if (at_end || pending_.size() > kMaxPending) {
      out += kBle40UnknownReply;
      pending_.clear();
    }
    break;
  }
  return out;
}

std::string Responder::Execute40(std::string_view command) {
  const Match40 m = MatchAll(command);
  if (m.pattern == nullptr || m.complete != command.size()) return std::string(kBle40UnknownReply);
  const Pattern40 &p = *m.pattern;
  if (p.form == Form40::kPlainAt) return "OK";
  const std::string key(p.key->key);
  switch (p.form) {
    case Form40::kQuery:
      return "OK+Get:" + settings_[key];
    case Form40::kSet: {
      std::string value(command.substr(3 + key.size()));
      settings_[key] = value;
      return "OK+Set:" + value;
    }
    case Form40::kAction:
      if (key == "CLEAR") settings_["RADD"] = std::string(kClearedAddress40);
      if (key == "RENEW") RestoreDefaults();
      return "OK+" + key;
    case Form40::kPlainAt:
      break;
  }
  return std::string(kBle40UnknownReply);
}

std::string Responder::FeedClassic21(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    if (IsLineEnd(c)) {
      // CR LF, a lone CR and a lone LF all end a line; empty lines are no
      // commands.
      if (!pending_.empty()) out += Execute21(pending_);
      pending_.clear();
      discarding_ = false;
      continue;
    }
    if (discarding_) continue;
    pending_ += c;
    if (pending_.size() > kMaxPending) {
      out += kClassic21UnknownReply;
      pending_.clear();
      discarding_ = true;  // the rest of this over-long line
    }
  }
  return out;
}

std::string Responder::Execute21(std::string_view line) {
  const std::string unknown(kClassic21UnknownReply);
  const std::size_t eq = line.find('=');
  const bool has_value = eq != std::string_view::npos;
  const std::string_view value = has_value ? line.substr(eq + 1) : std::string_view{};
  std::string_view raw_head = line.substr(0, eq);
  bool query = false;
  for (std::string_view mark : kQueryMarks) {
    if (raw_head.size() >= mark.size() && raw_head.substr(raw_head.size() - mark.size()) == mark) {
      raw_head.remove_suffix(mark.size());
      query = true;
      break;
    }
  }
  const std::string head = ToUpper(raw_head);
  if (head == "AT" && !has_value && !query) return "OK\r\n";
  if (head.rfind("AT+", 0) != 0) return unknown;
  const std::string key = head.substr(3);
  const auto entry =
      std::find_if(kKeys21.begin(), kKeys21.end(), [&key](const Key21 &k) { return k.key == key; });
  if (entry == kKeys21.end()) return unknown;

  // "AT+VERSION" is a query without the mark.
  if (!query && !has_value && key == "VERSION") query = true;

  if (query) {
    if (has_value || entry->kind == Kind21::kAction) return unknown;
    std::string v = settings_[key];
    if (key == "UART") v = settings_["BAUD"] + "," + settings_["STOP"] + "," + settings_["CHK"];
    return "+" + key + "=" + v + "\r\nOK\r\n";
  }
  if (has_value) {
    if (entry->kind != Kind21::kSetting) return std::string(kClassic21ReadOnlyReply);
    const std::string bad(kClassic21BadValueReply);
    if (key == "UART") {
      // baud,stop,parity
      const std::size_t c1 = value.find(',');
      const std::size_t c2 = c1 == std::string_view::npos ? c1 : value.find(',', c1 + 1);
      if (c2 == std::string_view::npos) return bad;
      const std::string_view baud = value.substr(0, c1);
      const std::string_view stop = value.substr(c1 + 1, c2 - c1 - 1);
      const std::string_view chk = value.substr(c2 + 1);
      if (!IsBaud(baud) || !IsBit(stop) || !Is0To2(chk)) return bad;
      settings_["BAUD"] = std::string(baud);
      settings_["STOP"] = std::string(stop);
      settings_["CHK"] = std::string(chk);
      return "OK\r\n";
    }
    if (key == "PIO") {
      // pin,level
      const std::size_t c = value.find(',');
      if (c == std::string_view::npos) return bad;
      const std::string_view pin = value.substr(0, c);
      const std::string_view level = value.substr(c + 1);
      if (pin.empty() || pin.size() > 2 || !AllOf(pin, IsDigit) || !IsBit(level)) return bad;
      const std::size_t index = std::stoul(std::string(pin));
      if (index >= kPioCount) return bad;
      settings_["PIO"][index] = level[0];
      return "OK\r\n";
    }
    if (!entry->valid(value)) return bad;
    settings_[key] = std::string(value);
    return "OK\r\n";
  }
  if (entry->kind != Kind21::kAction) return unknown;
  if (key == "DEFAULT") RestoreDefaults();
  if (key == "CLEAR") settings_["RADD"] = std::string(kClearedAddress21);
  return "OK\r\n";
}

}  // namespace atsim
