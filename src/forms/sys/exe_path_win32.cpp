#include "forms/sys/exe_path.h"
#include "platform/winapi.h"

namespace forms::sys {

std::string ExecutablePath() {
  char buffer[32768];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return std::string();
  return std::string(buffer, n);
}

}  // namespace forms::sys
