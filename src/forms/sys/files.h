// Files and local time, from the operating system.
#pragma once

#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

namespace forms::sys {

// The local time of `t` (thread-safe).
void LocalTime(std::time_t t, std::tm &out);

// Writes a file in place of another without harming it on failure: the
// bytes go to a new file beside the target, which replaces the target only
// once everything is written. A failure leaves the target as it was and
// removes the new file; Reason() then says why in the system's words.
class ReplacingFile {
 public:
  virtual ~ReplacingFile() = default;
  virtual bool Write(const char *data, std::size_t size) = 0;
  // Writes the pieces in order, as few system calls as the system allows.
  virtual bool WritePieces(const std::string_view *pieces, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (!Write(pieces[i].data(), pieces[i].size())) return false;
    }
    return true;
  }
  // Closes the new file and puts it in place of the target.
  virtual bool Commit() = 0;
  virtual const std::string &Reason() const = 0;
};

// Null when the new file cannot be made; `reason` then says why.
std::unique_ptr<ReplacingFile> CreateReplacingFile(const std::string &path, std::string &reason);

}  // namespace forms::sys
