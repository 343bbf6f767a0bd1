// Memory for a large store, in blocks straight from the system: a log that
// grows by megabytes a second fills fresh memory, and taking it a page at a
// time costs a fault for every 4 KiB.
#pragma once

#include <cstddef>

namespace forms::sys {

constexpr std::size_t kLargeBlock = std::size_t{2} * 1024 * 1024;

// kLargeBlock bytes, aligned to that size, which the system may back with
// one large page where it has them; nullptr when refused.
void *AllocateLargeBlock();
void FreeLargeBlock(void *block);

}  // namespace forms::sys
