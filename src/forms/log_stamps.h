// When the log's lines arrived, and the log as shown with those times.
//
// LogStamps records marks: a byte position of the held text and the local
// time (milliseconds since the epoch) at which that byte arrived. A log
// records them as text comes in, whether or not they are shown, so showing
// them later gives the right times for the whole history. Marks only ever
// go at or after the end of what is held, in order. Memory: 2 bytes a mark
// plus 16 bytes for each millisecond in which marks were made (a flood of
// lines shares its milliseconds).
//
// StampedLog is the text a view shows: the held bytes, with
// "[HH:MM:SS.mmm] " (local time) before every marked byte while stamps are
// shown, and the held bytes alone otherwise. It only ever grows at its end
// while the held text does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "forms/log_text.h"

namespace forms {

class LogStamps {
 public:
  static constexpr std::size_t kLength = 15;  // "[HH:MM:SS.mmm] "

  void Clear();
  // A mark at `pos` (>= every earlier mark) that arrived at `ms`.
  void Add(std::uint64_t pos, std::int64_t ms);
  std::size_t Count() const { return positions_.Size(); }
  std::uint64_t PosAt(std::size_t index) const { return positions_[index]; }
  std::int64_t TimeAt(std::size_t index) const;
  // Marks at positions before `pos`.
  std::size_t CountBefore(std::uint64_t pos) const;
  // Every mark in order: fn(position, time).
  template <class Fn>
  void ForEach(Fn fn) const {
    std::size_t run = 0;
    std::size_t i = 0;
    positions_.ForEach([&](std::uint64_t pos) {
      while (run + 1 < times_.size() && times_[run + 1].first <= i) ++run;
      fn(pos, times_[run].second);
      ++i;
    });
  }
  // Bytes this record takes (for the log's memory bound).
  std::size_t MemoryBytes() const;

  // "[HH:MM:SS.mmm] " for `ms` in local time, written to `out` (kLength bytes).
  static void Format(std::int64_t ms, char *out);
  // The current time in milliseconds since the epoch.
  static std::int64_t Now();

 private:
  PositionList positions_;
  // (first mark, time) for each run of marks made in the same millisecond.
  std::vector<std::pair<std::uint64_t, std::int64_t>> times_;
};

// Marks and held bytes copied out for a reader on another thread.
struct StampedSnapshot {
  LogTextSnapshot text;
  std::vector<std::pair<std::uint64_t, std::int64_t>> marks;  // (position, time); empty: none shown
};

class StampedLog : public LogSource {
 public:
  // Both must outlive this object.
  StampedLog(const LogText &text, const LogStamps &stamps) : text_(text), stamps_(stamps) {}

  bool Shown() const { return shown_; }
  void SetShown(bool shown) {
    shown_ = shown;
    Forget();
  }
  // The held text changed other than at its end (cleared, replaced).
  void Forget() { cached_ = false; }

  std::size_t Size() const override;
  std::string_view PieceAt(std::size_t pos) const override;

  // Where held byte `held` is in the shown text (after its stamp, if any).
  std::uint64_t ShownOfHeld(std::uint64_t held) const;
  // The held byte at shown position `shown`, or the byte a stamp there
  // belongs to.
  std::uint64_t HeldOfShown(std::uint64_t shown) const;

  StampedSnapshot Snapshot() const;

 private:
  // The last mark whose stamp starts at or before shown position `pos`
  // (its index + 1; 0 for none).
  std::size_t MarksUpTo(std::uint64_t pos) const;
  std::uint64_t StampStart(std::size_t index) const {
    return stamps_.PosAt(index) + LogStamps::kLength * index;
  }

  const LogText &text_;
  const LogStamps &stamps_;
  bool shown_ = false;
  // The mark found last: walking the text in order finds the next one at once.
  mutable bool cached_ = false;
  mutable std::size_t cachedMarks_ = 0;
  mutable std::uint64_t cachedFrom_ = 0, cachedTo_ = 0;  // shown range it answers for
  // The two stamps formatted last (a reader may hold one piece while it
  // asks for the next).
  mutable char formatted_[2][LogStamps::kLength] = {};
  mutable std::size_t formattedMark_[2] = {SIZE_MAX, SIZE_MAX};
  mutable int formattedNext_ = 0;
};

// Writes the shown text of a snapshot piece by piece: fn(std::string_view).
template <class Fn>
void ForEachShownPiece(const StampedSnapshot &snapshot, Fn fn) {
  std::uint64_t pos = 0;
  auto held = [&](std::uint64_t to) {
    while (pos < to) {
      std::string_view piece = snapshot.text.PieceAt(static_cast<std::size_t>(pos));
      if (piece.size() > to - pos) piece = piece.substr(0, static_cast<std::size_t>(to - pos));
      fn(piece);
      pos += piece.size();
    }
  };
  char stamp[LogStamps::kLength];
  for (const auto &mark : snapshot.marks) {
    if (mark.first >= snapshot.text.size) break;
    held(mark.first);
    LogStamps::Format(mark.second, stamp);
    fn(std::string_view(stamp, sizeof stamp));
  }
  held(snapshot.text.size);
}

}  // namespace forms
