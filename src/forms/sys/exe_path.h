// The running program's file path, from the operating system.
#pragma once

#include <string>

namespace forms::sys {

// Empty when the system does not tell.
std::string ExecutablePath();

}  // namespace forms::sys
