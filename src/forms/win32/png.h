// A small PNG writer for screenshots: 8-bit RGB, stored (uncompressed)
// deflate blocks, so it needs no compression library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace forms::win32 {

// `pixels` are 0x00RRGGBB words (the alpha byte is ignored), rows from the
// top. Returns false when the file cannot be written.
bool WritePng(const std::string &path, int width, int height,
              const std::vector<std::uint32_t> &pixels);

}  // namespace forms::win32
