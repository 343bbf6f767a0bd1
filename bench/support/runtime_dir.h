// Qt wants a runtime folder; without one it makes /tmp/runtime-<user> and
// leaves it. A private one is made here and removed at the end.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

class RuntimeDir {
 public:
  RuntimeDir() {
    if (std::getenv("XDG_RUNTIME_DIR") != nullptr) return;
    char name[] = "/tmp/tessavo-bench.XXXXXX";
    if (mkdtemp(name) == nullptr) return;
    path_ = name;
    setenv("XDG_RUNTIME_DIR", name, 1);
  }
  ~RuntimeDir() {
    if (!path_.empty()) rmdir(path_.c_str());
  }
  RuntimeDir(const RuntimeDir &) = delete;
  RuntimeDir &operator=(const RuntimeDir &) = delete;

 private:
  std::string path_;
};
