#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "forms/sys/files.h"

namespace forms::sys {

void LocalTime(std::time_t t, std::tm &out) { localtime_r(&t, &out); }

namespace {

std::string ErrnoText(int error) {
  char buffer[256] = {};
  // The GNU strerror_r returns its text; the POSIX one fills the buffer.
  const auto text = strerror_r(error, buffer, sizeof buffer);
  if constexpr (std::is_same_v<decltype(text), const int>) {
    return buffer;
  } else {
    return text != nullptr ? std::string(text) : std::string(buffer);
  }
}

class PosixReplacingFile : public ReplacingFile {
 public:
  PosixReplacingFile(std::string target, std::string temp, int fd)
      : target_(std::move(target)), temp_(std::move(temp)), fd_(fd) {}
  ~PosixReplacingFile() override {
    if (fd_ >= 0) close(fd_);
    if (!committed_) unlink(temp_.c_str());
  }

  bool Write(const char *data, std::size_t size) override {
    while (size > 0) {
      const ssize_t n = write(fd_, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Fail();
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  bool WritePieces(const std::string_view *pieces, std::size_t count) override {
    std::vector<iovec> io;
    for (std::size_t i = 0; i < count; ++i) {
      if (!pieces[i].empty()) {
        io.push_back(iovec{const_cast<char *>(pieces[i].data()), pieces[i].size()});
      }
    }
    std::size_t first = 0;
    while (first < io.size()) {
      const int n = static_cast<int>(std::min<std::size_t>(io.size() - first, IOV_MAX));
      ssize_t done = writev(fd_, io.data() + first, n);
      if (done < 0) {
        if (errno == EINTR) continue;
        return Fail();
      }
      // Past what was written, a piece may be cut in two.
      while (first < io.size() && static_cast<std::size_t>(done) >= io[first].iov_len) {
        done -= static_cast<ssize_t>(io[first].iov_len);
        ++first;
      }
      if (first < io.size() && done > 0) {
        io[first].iov_base = static_cast<char *>(io[first].iov_base) + done;
        io[first].iov_len -= static_cast<std::size_t>(done);
      }
    }
    return true;
  }

  bool Commit() override {
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) return Fail();
    if (rename(temp_.c_str(), target_.c_str()) != 0) return Fail();
    committed_ = true;
    return true;
  }

  const std::string &Reason() const override { return reason_; }

 private:
  bool Fail() {
    reason_ = ErrnoText(errno);
    return false;
  }

  std::string target_, temp_;
  int fd_;
  bool committed_ = false;
  std::string reason_;
};

}  // namespace

std::unique_ptr<ReplacingFile> CreateReplacingFile(const std::string &path, std::string &reason) {
  // Beside the target, so the rename stays within one file system.
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // A file that exists keeps its permissions.
  mode_t mode = 0666;
  struct stat st = {};
  if (stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  for (int attempt = 0;; ++attempt) {
    std::string temp = dir;
    temp += "." + name + ".saving-";
    temp += std::to_string(getpid()) + "-" + std::to_string(attempt);
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return std::make_unique<PosixReplacingFile>(path, temp, fd);
    if (errno != EEXIST || attempt >= 100) {
      reason = ErrnoText(errno);
      return nullptr;
    }
  }
}

}  // namespace forms::sys
