// The text of a memo, kept in fixed-size chunks with an index of its line
// starts. Appending costs only the appended bytes: nothing already stored is
// copied again, and no buffer ever doubles (a doubling string needs up to
// three times its size while it moves). Reading any byte or line is direct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace forms {

// A text read piece by piece: what a log view lays out. Positions are bytes.
class LogSource {
 public:
  virtual ~LogSource() = default;
  virtual std::size_t Size() const = 0;
  // The bytes from `pos` up to a boundary of the source's choosing (at
  // least one byte while pos < Size()); valid until the next call.
  virtual std::string_view PieceAt(std::size_t pos) const = 0;
  char ByteAt(std::size_t pos) const { return PieceAt(pos)[0]; }
  // Copies `len` bytes from `pos` (clipped to the text) to `out`; returns
  // the count copied.
  std::size_t CopyOut(std::size_t pos, std::size_t len, char *out) const;
};

// Positions in a text, each at or after the one before, in 2 bytes each:
// its offset within its 64 KiB block of the text, with the index of the
// first position in every block. Reading one costs a search over the
// blocks; appending costs nothing more than storing it.
class PositionList {
 public:
  std::size_t Size() const { return offsets_.size(); }
  bool Empty() const { return offsets_.empty(); }
  std::uint64_t operator[](std::size_t index) const {
    return (static_cast<std::uint64_t>(BlockOf(index)) << kBlockBits) | offsets_[index];
  }
  // The position at `index`; std::out_of_range past the end.
  std::uint64_t At(std::size_t index) const;
  void PushBack(std::uint64_t pos);
  void Clear();
  // How many positions are before `pos`.
  std::size_t CountBefore(std::uint64_t pos) const;
  std::size_t MemoryBytes() const;
  // Every position in order: fn(position).
  template <class Fn>
  void ForEach(Fn fn) const {
    std::size_t block = 0;
    for (std::size_t i = 0; i < offsets_.size(); ++i) {
      while (block + 1 < blockFirst_.size() && blockFirst_[block + 1] <= i) ++block;
      fn((static_cast<std::uint64_t>(block) << kBlockBits) | offsets_[i]);
    }
  }

 private:
  static constexpr unsigned kBlockBits = 16;
  std::size_t BlockOf(std::size_t index) const;

  std::deque<std::uint16_t> offsets_;
  // blockFirst_[b]: the index of the first position at or after block b.
  std::vector<std::size_t> blockFirst_;
};

// The bytes a LogText held at one moment. Chunks are shared, so a snapshot
// stays valid and unchanged while the text grows or is cleared: appends
// only write past the snapshot's end, and a cleared text lets go of its
// chunks without freeing them under a reader.
struct LogTextSnapshot {
  std::vector<std::shared_ptr<const char[]>> chunks;
  std::size_t size = 0;
  std::string_view PieceAt(std::size_t pos) const;
};

class LogText : public LogSource {
 public:
  // Bytes per chunk. The first chunk grows up to it, so a short text (a send
  // box, a one-line message) does not take a whole chunk.
  static constexpr std::size_t kChunkSize = 64 * 1024;

  LogText() = default;
  LogText(const LogText &) = delete;
  LogText &operator=(const LogText &) = delete;

  std::size_t Size() const override { return size_; }
  bool Empty() const { return size_ == 0; }

  void Append(std::string_view bytes);
  void Assign(std::string_view bytes);
  void Clear();

  char At(std::size_t pos) const { return chunks_[pos / kChunkSize][pos % kChunkSize]; }
  // The stored bytes from `pos` up to the end of its chunk (or of the text):
  // readers walk the text piece by piece without copying it.
  std::string_view PieceAt(std::size_t pos) const override;
  // Copies `len` bytes from `pos` (clipped to the text) to `out`; returns
  // the count copied.
  std::size_t CopyTo(std::size_t pos, std::size_t len, char *out) const;
  std::string Substr(std::size_t pos, std::size_t len) const;
  std::string ToString() const { return Substr(0, size_); }
  bool Equals(std::string_view bytes) const;
  // The bytes held now; safe to read from another thread while this text
  // keeps growing on its own.
  LogTextSnapshot Snapshot() const;

  // Lines as a memo counts them: a line ends at CR LF, a lone CR or a lone
  // LF; a break at the very end does not start another line; an empty text
  // has no line.
  std::size_t LineCount() const { return lineStarts_.Size(); }
  std::size_t LineStart(std::size_t index) const {
    return static_cast<std::size_t>(lineStarts_.At(index));
  }
  // Where the content of line `index` ends (before its break).
  std::size_t LineContentEnd(std::size_t index) const;
  // Where the next line starts (after the break), or the text's size.
  std::size_t LineNext(std::size_t index) const;
  bool EndsWithLineBreak() const { return breakLen_ > 0; }

 private:
  void IndexLines(std::size_t from);
  std::shared_ptr<char[]> NewChunk(std::size_t index, std::size_t capacity);

  // A block from the system that chunks are cut from, once the text is past
  // its first block's worth: freed when its last chunk goes (a snapshot may
  // hold chunks of a cleared text).
  struct Block;

  std::vector<std::shared_ptr<char[]>> chunks_;
  std::shared_ptr<Block> block_;   // the block new chunks come from
  std::size_t blockUsed_ = 0;      // chunks cut from it so far
  std::size_t firstCapacity_ = 0;  // the first chunk's size while it grows
  std::size_t size_ = 0;
  PositionList lineStarts_;
  // Bytes of the line break that ends the text (0: the last line is open);
  // a CR alone may still become CR LF.
  int breakLen_ = 0;
  bool endsWithCr_ = false;
};

}  // namespace forms
