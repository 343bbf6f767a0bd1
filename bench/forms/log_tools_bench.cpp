// Saving and finding in a large log, each beside the plain system call that
// does the same work, in the same run:
// - Save Log As... of 64 MiB (the log's own writer: a new file beside the
//   target, renamed over it) against one plain write() of the same bytes to
//   a file in the same folder. Target: <= 2.
// - Find of a string placed at the end of 64 MiB, over the log's stored
//   pieces, against memmem() over the same bytes in one block. Target: <= 3.
// Each figure is the best of five runs, the log's and the plain call's taken
// in turn, so both meet the same weather on a shared machine. Also printed, with no target: the
// save with timestamps shown, a search that ignores case, and hex bytes.
//
//   log_tools_bench [MiB] [folder]   (defaults: 64, $TMPDIR or /tmp)
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "forms/log_commands.h"
#include "forms/log_find.h"
#include "forms/log_stamps.h"
#include "forms/log_text.h"

namespace {

using Clock = std::chrono::steady_clock;

double Time(const std::function<void()> &run) {
  const auto t0 = Clock::now();
  run();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The best of five runs of each, in turn.
std::pair<double, double> BestOf5(const std::function<void()> &ours,
                                  const std::function<void()> &plain) {
  double a = 1e30, b = 1e30;
  for (int i = 0; i < 5; ++i) {
    a = std::min(a, Time(ours));
    b = std::min(b, Time(plain));
  }
  return {a, b};
}

void Die(const char *what) {
  std::perror(what);
  std::exit(1);
}

}  // namespace

int main(int argc, char **argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const char *tmp = std::getenv("TMPDIR");
  const std::string dir = argc > 2 ? argv[2] : (tmp != nullptr ? tmp : "/tmp");
  const std::size_t size = mib << 20;
  const std::string needle = "+NAME:HC-05";

  // 80-byte lines as a device logging text sends, received in 1 KiB chunks,
  // with the needle as the last bytes.
  std::vector<char> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t col = i % 80;
    bytes[i] = col == 78 ? '\r' : col == 79 ? '\n' : static_cast<char>('!' + (i / 80 + col) % 90);
  }
  std::copy(needle.begin(), needle.end(), bytes.end() - static_cast<long>(needle.size()));
  forms::LogText text;
  forms::LogStamps stamps;
  std::int64_t ms = forms::LogStamps::Now();
  for (std::size_t at = 0; at < size; at += 1024) {
    const std::size_t lines = text.LineCount();
    text.Append(std::string_view(bytes.data() + at, std::min<std::size_t>(1024, size - at)));
    ++ms;
    for (std::size_t l = lines; l < text.LineCount(); ++l) stamps.Add(text.LineStart(l), ms);
  }
  forms::StampedLog shown(text, stamps);

  std::printf("%zu MiB of 80-byte lines; files in %s; best of 5\n", mib, dir.c_str());
  std::printf("%-38s %10s %10s %7s %7s\n", "", "log s", "plain s", "ratio", "target");

  // ---- save ----
  const std::string plainPath = dir + "/tessavo-bench-plain.txt";
  const std::string savePath = dir + "/tessavo-bench-saved.txt";
  auto plainWrite = [&] {
    const int fd = open(plainPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) Die("open");
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = write(fd, bytes.data() + done, size - done);
      if (n <= 0) Die("write");
      done += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0) Die("close");
  };
  auto save = [&](const forms::StampedSnapshot &snapshot) {
    return BestOf5(
        [&] {
          std::string reason;
          if (!forms::WriteLogFile(snapshot, savePath, reason)) {
            std::fprintf(stderr, "save failed: %s\n", reason.c_str());
            std::exit(1);
          }
        },
        plainWrite);
  };
  const auto saved = save(shown.Snapshot());
  std::printf("%-38s %10.3f %10.3f %7.2f %7s\n", "save (write() of the bytes)", saved.first,
              saved.second, saved.first / saved.second, "<= 2");
  shown.SetShown(true);
  const auto stamped = save(shown.Snapshot());
  std::printf("%-38s %10.3f %10.3f %7.2f %7s\n", "save with timestamps (+19% bytes)", stamped.first,
              stamped.second, stamped.first / stamped.second, "-");
  shown.SetShown(false);
  unlink(plainPath.c_str());
  unlink(savePath.c_str());

  // ---- find ----
  std::size_t at = 0;
  auto plainFind = [&] {
    const void *hit = memmem(bytes.data(), size, needle.data(), needle.size());
    at = hit != nullptr ? static_cast<std::size_t>(static_cast<const char *>(hit) - bytes.data())
                        : 0;
  };
  plainFind();
  auto find = [&](const char *name, const std::string &query, bool matchCase, bool hex,
                  const char *target) {
    forms::LogFinder finder;
    finder.SetQuery(query, matchCase, hex);
    forms::LogMatch m;
    const auto t = BestOf5([&] { m = finder.Forward(text, 0, text.Size()); }, plainFind);
    if (!m.found || m.pos != at) {
      std::fprintf(stderr, "find of %s went wrong\n", query.c_str());
      std::exit(1);
    }
    std::printf("%-38s %10.3f %10.3f %7.2f %7s\n", name, t.first, t.second, t.first / t.second,
                target);
  };
  find("find, match case (memmem)", needle, true, false, "<= 3");
  find("find, any case", "+name:hc-05", false, false, "-");
  find("find, hex bytes (and their hex text)", "2B 4E 41 4D 45 3A", false, true, "-");
  return 0;
}
