#include <sys/mman.h>

#include <cstdint>

#include "forms/sys/pages.h"

namespace forms::sys {

void *AllocateLargeBlock() {
  // Twice the size, then only the aligned block is kept: a transparent huge
  // page needs an aligned range.
  void *raw =
      mmap(nullptr, 2 * kLargeBlock, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kLargeBlock - 1) & ~(std::uintptr_t{kLargeBlock} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t end = start + 2 * kLargeBlock;
  if (end > aligned + kLargeBlock) {
    munmap(reinterpret_cast<void *>(aligned + kLargeBlock), end - aligned - kLargeBlock);
  }
  void *block = reinterpret_cast<void *>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(block, kLargeBlock, MADV_HUGEPAGE);  // a hint: refused, pages come as usual
#endif
  return block;
}

void FreeLargeBlock(void *block) {
  if (block != nullptr) munmap(block, kLargeBlock);
}

}  // namespace forms::sys
