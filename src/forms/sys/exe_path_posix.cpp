#include <filesystem>
#include <system_error>

#include "forms/sys/exe_path.h"

namespace forms::sys {

std::string ExecutablePath() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

}  // namespace forms::sys
