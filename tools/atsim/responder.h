// The simulated module's command parser and responder: bytes in, bytes out.
//
// No I/O and no clock: the caller feeds whatever arrived and, when the line
// has been quiet for a while, calls Flush() to end a command that had no
// terminator. That keeps every behaviour testable without timing.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace atsim {

enum class Personality {
  // BLE "4.0" family: no line terminators either way; replies "OK",
  // "OK+Get:<value>", "OK+Set:<value>".
  kBle40,
  // Classic "2.1" family: lines ending in CR LF; replies "+KEY=<value>" and
  // "OK" lines, "ERROR:(n)" on failure.
  kClassic21,
};

std::optional<Personality> ParsePersonality(std::string_view text);
const char *PersonalityName(Personality p);

// Error replies. The 4.0 family answers without a terminator, the 2.1 family
// with CR LF.
inline constexpr std::string_view kBle40UnknownReply = "ERR+Unknown";
inline constexpr std::string_view kClassic21UnknownReply = "ERROR:(0)\r\n";
inline constexpr std::string_view kClassic21BadValueReply = "ERROR:(1)\r\n";
inline constexpr std::string_view kClassic21ReadOnlyReply = "ERROR:(2)\r\n";

class Responder {
 public:
  explicit Responder(Personality personality, bool transparent = false);

  // Takes the bytes that just arrived and returns the replies to every
  // command they complete. In transparent mode returns the bytes unchanged.
  std::string Feed(std::string_view bytes);

  // The line went quiet: whatever is pending is taken as one whole command.
  std::string Flush();

  // True while bytes are held that no reply has accounted for yet.
  bool HasPending() const { return !pending_.empty() || discarding_; }

  Personality personality() const { return personality_; }
  bool transparent() const { return transparent_; }

  // Longest unanswered input kept; past it the input is answered as an
  // unknown command so a flood of junk cannot grow memory.
  static constexpr std::size_t kMaxPending = 256;

 private:
  std::string FeedBle40(std::string_view bytes);
  std::string FeedClassic21(std::string_view bytes);
  std::string Drain40(bool at_end);
  std::string Execute40(std::string_view command);
  std::string Execute21(std::string_view line);
  void RestoreDefaults();

  Personality personality_;
  bool transparent_;
  std::string pending_;
  bool discarding_ = false;  // 2.1: skipping the rest of an over-long line
  // Setting name (upper case, as in the command) -> current value.
  std::map<std::string, std::string, std::less<>> settings_;
};

}  // namespace atsim
