#include "forms/log_stamps.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#include "forms/sys/files.h"

namespace forms {

// ---- LogStamps ------------------------------------------------------------------

void LogStamps::Clear() {
  positions_.Clear();
  times_.clear();
  times_.shrink_to_fit();
}

void LogStamps::Add(std::uint64_t pos, std::int64_t ms) {
  if (times_.empty() || times_.back().second != ms) times_.emplace_back(positions_.Size(), ms);
  positions_.PushBack(pos);
}

std::int64_t LogStamps::TimeAt(std::size_t index) const {
  auto it = std::upper_bound(
      times_.begin(), times_.end(), static_cast<std::uint64_t>(index),
      [](std::uint64_t i, const std::pair<std::uint64_t, std::int64_t> &t) { return i < t.first; });
  return it == times_.begin() ? 0 : std::prev(it)->second;
}

std::size_t LogStamps::CountBefore(std::uint64_t pos) const { return positions_.CountBefore(pos); }

std::size_t LogStamps::MemoryBytes() const {
  return positions_.MemoryBytes() +
         times_.capacity() * sizeof(std::pair<std::uint64_t, std::int64_t>);
}

void LogStamps::Format(std::int64_t ms, char *out) {
  // Lines come many to a second: the local time of the second is kept.
  thread_local std::int64_t cachedSecond = INT64_MIN;
  thread_local char clock[8];
  std::int64_t second = ms / 1000;
  int milli = static_cast<int>(ms % 1000);
  if (milli < 0) {
    milli += 1000;
    --second;
  }
  if (second != cachedSecond) {
    std::tm tm = {};
    sys::LocalTime(static_cast<std::time_t>(second), tm);
    const int parts[3] = {tm.tm_hour, tm.tm_min, tm.tm_sec};
    for (std::size_t i = 0; i < 3; ++i) {
      clock[3 * i] = static_cast<char>('0' + parts[i] / 10 % 10);
      clock[3 * i + 1] = static_cast<char>('0' + parts[i] % 10);
      if (i < 2) clock[3 * i + 2] = ':';
    }
    cachedSecond = second;
  }
  out[0] = '[';
  std::memcpy(out + 1, clock, 8);
  out[9] = '.';
  out[10] = static_cast<char>('0' + milli / 100);
  out[11] = static_cast<char>('0' + milli / 10 % 10);
  out[12] = static_cast<char>('0' + milli % 10);
  out[13] = ']';
  out[14] = ' ';
}

std::int64_t LogStamps::Now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// ---- StampedLog -----------------------------------------------------------------

std::size_t StampedLog::Size() const {
  return text_.Size() + (shown_ ? LogStamps::kLength * stamps_.Count() : 0);
}

std::size_t StampedLog::MarksUpTo(std::uint64_t pos) const {
  if (cached_ && pos >= cachedFrom_ && pos < cachedTo_) return cachedMarks_;
  const std::size_t count = stamps_.Count();
  // The first mark whose stamp starts after pos; stamp starts grow with the index.
  std::size_t lo = 0, hi = count;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (StampStart(mid) <= pos) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  cached_ = true;
  cachedMarks_ = lo;
  cachedFrom_ = lo == 0 ? 0 : StampStart(lo - 1);
  cachedTo_ = lo < count ? StampStart(lo) : UINT64_MAX;
  return lo;
}

std::string_view StampedLog::PieceAt(std::size_t pos) const {
  if (!shown_) return text_.PieceAt(pos);
  if (pos >= Size()) return {};
  const std::size_t marks = MarksUpTo(pos);
  if (marks > 0) {
    const std::size_t mark = marks - 1;
    const std::uint64_t start = StampStart(mark);
    if (pos < start + LogStamps::kLength) {
      int slot = formattedMark_[0] == mark ? 0 : formattedMark_[1] == mark ? 1 : -1;
      if (slot < 0) {
        slot = formattedNext_;
        formattedNext_ ^= 1;
        LogStamps::Format(stamps_.TimeAt(mark), formatted_[slot]);
        formattedMark_[slot] = mark;
      }
      const std::size_t at = static_cast<std::size_t>(pos - start);
      return std::string_view(formatted_[slot] + at, LogStamps::kLength - at);
    }
  }
  const std::size_t held = pos - LogStamps::kLength * marks;
  std::string_view piece = text_.PieceAt(held);
  if (marks < stamps_.Count()) {
    const std::uint64_t next = stamps_.PosAt(marks);
    if (held + piece.size() > next) piece = piece.substr(0, static_cast<std::size_t>(next - held));
  }
  return piece;
}

std::uint64_t StampedLog::ShownOfHeld(std::uint64_t held) const {
  if (!shown_) return held;
  // A marked byte comes after its own stamp.
  return held + LogStamps::kLength * stamps_.CountBefore(held + 1);
}

std::uint64_t StampedLog::HeldOfShown(std::uint64_t shown) const {
  if (!shown_) return shown;
  const std::size_t marks = MarksUpTo(shown);
  if (marks > 0) {
    const std::size_t mark = marks - 1;
    if (shown < StampStart(mark) + LogStamps::kLength) return stamps_.PosAt(mark);
  }
  return shown - LogStamps::kLength * marks;
}

StampedSnapshot StampedLog::Snapshot() const {
  StampedSnapshot s;
  s.text = text_.Snapshot();
  if (shown_) {
    s.marks.reserve(stamps_.Count());
    stamps_.ForEach([&s](std::uint64_t pos, std::int64_t ms) { s.marks.emplace_back(pos, ms); });
  }
  return s;
}

}  // namespace forms
