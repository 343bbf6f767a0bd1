#include "forms/log_text.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "forms/sys/pages.h"

namespace forms {

namespace {

constexpr std::size_t kChunksPerBlock = sys::kLargeBlock / LogText::kChunkSize;

}  // namespace

struct LogText::Block {
  explicit Block(void *memory) : base(static_cast<char *>(memory)) {}
  ~Block() { sys::FreeLargeBlock(base); }
  Block(const Block &) = delete;
  Block &operator=(const Block &) = delete;
  char *base;
};

std::shared_ptr<char[]> LogText::NewChunk(std::size_t index, std::size_t capacity) {
  if (index >= kChunksPerBlock && capacity == kChunkSize) {
    if (!block_ || blockUsed_ == kChunksPerBlock) {
      block_.reset();
      blockUsed_ = 0;
      if (void *memory = sys::AllocateLargeBlock()) {
        try {
          block_ = std::make_shared<Block>(memory);
        } catch (...) {
          sys::FreeLargeBlock(memory);
          throw;
        }
      }
    }
    if (block_) {
      // Owned by the block: the chunk keeps it alive.
      return std::shared_ptr<char[]>(block_, block_->base + kChunkSize * blockUsed_++);
    }
  }
  return std::shared_ptr<char[]>(new char[capacity]);
}

std::size_t LogSource::CopyOut(std::size_t pos, std::size_t len, char *out) const {
  const std::size_t size = Size();
  if (pos >= size) return 0;
  len = std::min(len, size - pos);
  std::size_t done = 0;
  while (done < len) {
    const std::string_view piece = PieceAt(pos + done);
    const std::size_t n = std::min(piece.size(), len - done);
    std::memcpy(out + done, piece.data(), n);
    done += n;
  }
  return len;
}

// ---- PositionList -------------------------------------------------------------

std::size_t PositionList::BlockOf(std::size_t index) const {
  return static_cast<std::size_t>(std::upper_bound(blockFirst_.begin(), blockFirst_.end(), index) -
                                  blockFirst_.begin()) -
         1;
}

std::uint64_t PositionList::At(std::size_t index) const {
  if (index >= offsets_.size()) throw std::out_of_range("PositionList::At");
  return (*this)[index];
}

void PositionList::PushBack(std::uint64_t pos) {
  const auto block = static_cast<std::size_t>(pos >> kBlockBits);
  while (blockFirst_.size() <= block) blockFirst_.push_back(offsets_.size());
  offsets_.push_back(static_cast<std::uint16_t>(pos & 0xFFFF));
}

void PositionList::Clear() {
  offsets_.clear();
  offsets_.shrink_to_fit();
  blockFirst_.clear();
  blockFirst_.shrink_to_fit();
}

std::size_t PositionList::CountBefore(std::uint64_t pos) const {
  const auto block = static_cast<std::size_t>(pos >> kBlockBits);
  if (block >= blockFirst_.size()) return offsets_.size();
  const std::size_t first = blockFirst_[block];
  const std::size_t end = block + 1 < blockFirst_.size() ? blockFirst_[block + 1] : offsets_.size();
  const auto from = offsets_.begin() + static_cast<std::ptrdiff_t>(first);
  const auto to = offsets_.begin() + static_cast<std::ptrdiff_t>(end);
  return first + static_cast<std::size_t>(
                     std::lower_bound(from, to, static_cast<std::uint16_t>(pos & 0xFFFF)) - from);
}

std::size_t PositionList::MemoryBytes() const {
  return offsets_.size() * sizeof(std::uint16_t) + blockFirst_.capacity() * sizeof(std::size_t);
}

// ---- LogText ---------------------------------------------------------------------

std::string_view LogTextSnapshot::PieceAt(std::size_t pos) const {
  if (pos >= size) return {};
  const std::size_t index = pos / LogText::kChunkSize;
  const std::size_t end = std::min(size, (index + 1) * LogText::kChunkSize);
  return std::string_view(chunks[index].get() + pos % LogText::kChunkSize, end - pos);
}

LogTextSnapshot LogText::Snapshot() const {
  LogTextSnapshot s;
  s.chunks.assign(chunks_.begin(), chunks_.end());
  s.size = size_;
  return s;
}

void LogText::Append(std::string_view bytes) {
  const std::size_t from = size_;
  const char *p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const std::size_t index = size_ / kChunkSize;
    const std::size_t offset = size_ % kChunkSize;
    if (index == chunks_.size()) {
      std::size_t capacity = kChunkSize;
      if (index == 0) {
        capacity = 256;
        while (capacity < left && capacity < kChunkSize) capacity *= 2;
        firstCapacity_ = capacity;
      }
      chunks_.push_back(NewChunk(index, capacity));
    }
    std::size_t capacity = index == 0 ? firstCapacity_ : kChunkSize;
    if (index == 0 && offset + left > capacity && capacity < kChunkSize) {
      // The first chunk grows by doubling, at most up to one chunk.
      std::size_t grown = capacity;
      while (grown < offset + left && grown < kChunkSize) grown *= 2;
      std::shared_ptr<char[]> bigger(new char[grown]);
      std::memcpy(bigger.get(), chunks_[0].get(), offset);
      chunks_[0] = std::move(bigger);
      firstCapacity_ = capacity = grown;
    }
    const std::size_t n = std::min(left, capacity - offset);
    std::memcpy(chunks_[index].get() + offset, p, n);
    p += n;
    left -= n;
    size_ += n;
  }
  IndexLines(from);
}

void LogText::Assign(std::string_view bytes) {
  Clear();
  Append(bytes);
}

void LogText::Clear() {
  chunks_.clear();
  chunks_.shrink_to_fit();
  block_.reset();
  blockUsed_ = 0;
  firstCapacity_ = 0;
  size_ = 0;
  lineStarts_.Clear();
  breakLen_ = 0;
  endsWithCr_ = false;
}

std::string_view LogText::PieceAt(std::size_t pos) const {
  if (pos >= size_) return {};
  const std::size_t index = pos / kChunkSize;
  const std::size_t end = std::min(size_, (index + 1) * kChunkSize);
  return std::string_view(chunks_[index].get() + pos % kChunkSize, end - pos);
}

std::size_t LogText::CopyTo(std::size_t pos, std::size_t len, char *out) const {
  if (pos >= size_) return 0;
  len = std::min(len, size_ - pos);
  std::size_t done = 0;
  while (done < len) {
    const std::string_view piece = PieceAt(pos + done);
    const std::size_t n = std::min(piece.size(), len - done);
    std::memcpy(out + done, piece.data(), n);
    done += n;
  }
  return len;
}

std::string LogText::Substr(std::size_t pos, std::size_t len) const {
  if (pos >= size_) return std::string();
  std::string s(std::min(len, size_ - pos), '\0');
  CopyTo(pos, s.size(), s.data());
  return s;
}

bool LogText::Equals(std::string_view bytes) const {
  if (bytes.size() != size_) return false;
  std::size_t pos = 0;
  while (pos < size_) {
    const std::string_view piece = PieceAt(pos);
    if (piece != bytes.substr(pos, piece.size())) return false;
    pos += piece.size();
  }
  return true;
}

std::size_t LogText::LineContentEnd(std::size_t index) const {
  std::size_t pos = LineStart(index);
  while (pos < size_) {
    const std::string_view piece = PieceAt(pos);
    const std::size_t at = piece.find_first_of("\r\n");
    if (at != std::string_view::npos) return pos + at;
    pos += piece.size();
  }
  return size_;
}

std::size_t LogText::LineNext(std::size_t index) const {
  return index + 1 < lineStarts_.Size() ? static_cast<std::size_t>(lineStarts_[index + 1]) : size_;
}

void LogText::IndexLines(std::size_t from) {
  if (lineStarts_.Empty() && size_ > 0) lineStarts_.PushBack(0);
  for (std::size_t pos = from; pos < size_;) {
    const std::string_view piece = PieceAt(pos);
    const char *p = piece.data();
    const std::size_t n = piece.size();
    std::size_t i = 0;
    if (breakLen_ > 0) {
      // What follows a break that ended the last append.
      if (endsWithCr_ && p[0] == '\n') {
        breakLen_ = 2;  // the LF of a CR LF that came in two appends
        endsWithCr_ = false;
        i = 1;
      }
      if (i < n) {
        lineStarts_.PushBack(pos + i);
        breakLen_ = 0;
        endsWithCr_ = false;
      }
    }
    // Breaks are found a block at a time (memchr), not byte by byte: a
    // hex log or a long line has none for a long way.
    const char *cr = nullptr;
    const char *lf = nullptr;
    while (i < n) {
      if (cr == nullptr || cr < p + i) {
        cr = static_cast<const char *>(std::memchr(p + i, '\r', n - i));
        if (cr == nullptr) cr = p + n;
      }
      if (lf == nullptr || lf < p + i) {
        lf = static_cast<const char *>(std::memchr(p + i, '\n', n - i));
        if (lf == nullptr) lf = p + n;
      }
      const char *brk = std::min(cr, lf);
      if (brk == p + n) break;
      std::size_t next = static_cast<std::size_t>(brk - p) + 1;
      if (*brk == '\r') {
        if (next < n && p[next] == '\n') {
          ++next;
        } else if (next == n) {
          // A CR at the end of the piece may yet be followed by an LF.
          breakLen_ = 1;
          endsWithCr_ = true;
          i = n;
          break;
        }
      }
      if (next == n) {
        breakLen_ = static_cast<int>(next - static_cast<std::size_t>(brk - p));
        endsWithCr_ = false;
        i = n;
        break;
      }
      lineStarts_.PushBack(pos + next);
      i = next;
    }
    pos += n;
  }
}

}  // namespace forms
