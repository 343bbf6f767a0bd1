#include <cstring>

#include "platform/winapi.h"

namespace platform {

namespace {
// The flags word sits right after DCBlength and BaudRate.
constexpr std::size_t kFlagsOffset = 2 * sizeof(DWORD);
}  // namespace

DWORD GetDcbFlags(const DCB &dcb) {
  DWORD flags = 0;
  std::memcpy(&flags, reinterpret_cast<const unsigned char *>(&dcb) + kFlagsOffset, sizeof flags);
  return flags;
}

void SetDcbFlags(DCB &dcb, DWORD flags) {
  std::memcpy(reinterpret_cast<unsigned char *>(&dcb) + kFlagsOffset, &flags, sizeof flags);
}

}  // namespace platform
