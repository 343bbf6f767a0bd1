#include <windows.h>

#include "forms/sys/pages.h"

namespace forms::sys {

// Large pages need a privilege ordinary users lack: committed pages as usual.
void *AllocateLargeBlock() {
  return VirtualAlloc(nullptr, kLargeBlock, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeLargeBlock(void *block) {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace forms::sys
