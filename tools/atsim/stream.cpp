#include "atsim/stream.h"

#include <limits>

namespace atsim {

namespace {
constexpr std::uint64_t kLine = 64;
constexpr std::uint64_t kDigits = 8;
constexpr std::uint64_t kMicros = 1000000;
}  // namespace

std::optional<StreamPattern> ParseStreamPattern(std::string_view text) {
  if (text == "text") return StreamPattern::kText;
  if (text == "counter") return StreamPattern::kCounter;
  if (text == "random") return StreamPattern::kRandom;
  return std::nullopt;
}

char TextPatternByte(std::uint64_t offset) {
  const std::uint64_t line = offset / kLine;
  const std::uint64_t col = offset % kLine;
  if (col < kDigits) {
    std::uint64_t n = line;
    for (std::uint64_t i = kDigits - 1; i > col; --i) n /= 10;
    return static_cast<char>('0' + n % 10);
  }
  if (col == kDigits) return ' ';
  if (col == kLine - 2) return '\r';
  if (col == kLine - 1) return '\n';
  // The letters shift by one each line, so a lost or repeated line shows.
  return static_cast<char>('A' + (line + col - kDigits - 1) % 26);
}

StreamSource::StreamSource(StreamPattern pattern, std::uint64_t total, std::uint64_t seed)
    : pattern_(pattern), total_(total), state_(seed == 0 ? 0x9E3779B97F4A7C15ULL : seed) {}

std::size_t StreamSource::Next(std::size_t max, std::string &out) {
  const std::uint64_t left = total_ - produced_;
  const std::size_t n = left < max ? static_cast<std::size_t>(left) : max;
  out.reserve(out.size() + n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t offset = produced_ + i;
    switch (pattern_) {
      case StreamPattern::kText:
        out += TextPatternByte(offset);
        break;
      case StreamPattern::kCounter:
        out += static_cast<char>(offset & 0xFF);
        break;
      case StreamPattern::kRandom:
        if (word_bytes_ == 0) {
          state_ ^= state_ >> 12;
          state_ ^= state_ << 25;
          state_ ^= state_ >> 27;
          word_ = state_ * 0x2545F4914F6CDD1DULL;
          word_bytes_ = 8;
        }
        out += static_cast<char>(word_ & 0xFF);
        word_ >>= 8;
        --word_bytes_;
        break;
    }
  }
  produced_ += n;
  return n;
}

std::uint64_t BytesDue(std::uint64_t rate, std::uint64_t elapsed_us) {
  if (rate == 0) return std::numeric_limits<std::uint64_t>::max();
  // Split the product so that long runs at high rates cannot overflow.
  return (elapsed_us / kMicros) * rate + (elapsed_us % kMicros) * rate / kMicros;
}

std::uint64_t MicrosUntilDue(std::uint64_t rate, std::uint64_t count) {
  if (rate == 0) return 0;
  const std::uint64_t whole = count / rate;
  const std::uint64_t part = count % rate;
  return whole * kMicros + (part * kMicros + rate - 1) / rate;
}

}  // namespace atsim
