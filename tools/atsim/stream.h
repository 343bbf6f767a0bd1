// Byte streams for throughput and display tests: a fixed number of bytes in
// a pattern that a reader can check, produced in pieces of any size.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace atsim {

enum class StreamPattern {
  // 64-byte lines: 8-digit line number, a space, 53 letters, CR LF.
  kText,
  // Byte i is i mod 256.
  kCounter,
  // xorshift64* from a seed: incompressible, reproducible.
  kRandom,
};

std::optional<StreamPattern> ParseStreamPattern(std::string_view text);

// The byte at `offset` of the text pattern.
char TextPatternByte(std::uint64_t offset);

class StreamSource {
 public:
  StreamSource(StreamPattern pattern, std::uint64_t total, std::uint64_t seed = 1);

  // Appends up to `max` of the next bytes to `out` and returns how many.
  std::size_t Next(std::size_t max, std::string &out);

  std::uint64_t total() const { return total_; }
  std::uint64_t produced() const { return produced_; }
  bool done() const { return produced_ >= total_; }
  // Makes the stream `more` bytes longer; the pattern goes on where it was.
  void Extend(std::uint64_t more) { total_ += more; }

 private:
  StreamPattern pattern_;
  std::uint64_t total_;
  std::uint64_t produced_ = 0;
  std::uint64_t state_;
  std::uint64_t word_ = 0;  // random bytes not handed out yet, low byte first
  int word_bytes_ = 0;
};

// How many bytes a stream at `rate` bytes per second may have sent after
// `elapsed_us` microseconds. A rate of 0 means no limit.
std::uint64_t BytesDue(std::uint64_t rate, std::uint64_t elapsed_us);

// Microseconds after the start at which byte number `count` (counted from 1)
// falls due.
std::uint64_t MicrosUntilDue(std::uint64_t rate, std::uint64_t count);

}  // namespace atsim
