// Smoke tests of the atsim program itself on a real pseudo-terminal: it
// prints its port, answers on it, survives the port being closed and
// reopened, streams, takes commands on its control port, and cleans up
// after itself.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Generous: only a hung program should ever reach it.
constexpr auto kPatience = std::chrono::seconds(20);

int MillisLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = ::testing::TempDir() + "atsim_test.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
  }
  // Also removes what a failed test left inside.
  ~TempDir() {
    if (path_.empty()) return;
    if (DIR *d = opendir(path_.c_str())) {
      while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") unlink((path_ + "/" + name).c_str());
      }
      closedir(d);
    }
    rmdir(path_.c_str());
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// atsim as a child process whose stdout we read.
class Atsim {
 public:
  explicit Atsim(std::vector<std::string> args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    args.insert(args.begin(), ATSIM_PATH);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
  }

  ~Atsim() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }

  // The first line of output: the port's path.
  std::string ReadPortPath() {
    std::string line;
    const auto deadline = Clock::now() + kPatience;
    char c = 0;
    while (line.empty() || line.back() != '\n') {
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, MillisLeft(deadline)) <= 0) return {};
      if (read(stdout_, &c, 1) != 1) return {};
      line += c;
    }
    line.pop_back();
    return line;
  }

  bool Terminate() { return pid_ > 0 && kill(pid_, SIGTERM) == 0; }

  // Waits for the process to end; returns its wait status or -1.
  int Wait() {
    const auto deadline = Clock::now() + kPatience;
    while (Clock::now() < deadline) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        return status;
      }
      if (r < 0) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  bool reaped_ = false;
};

int OpenRaw(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

bool WriteAll(int fd, const std::string &s) {
  return write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
}

// Reads until `want` bytes came or the patience runs out.
std::string ReadBytes(int fd, std::size_t want) {
  std::string got;
  const auto deadline = Clock::now() + kPatience;
  char buf[4096];
  while (got.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, MillisLeft(deadline)) <= 0) break;
    const ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

bool Exists(const std::string &path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

TEST(AtsimProgram, AnswersOnItsPortSurvivesReopenAndCleansUpOnSigterm) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string link = dir.path() + "/port";
  int status = -1;
  {
    Atsim sim({"--personality", "4.0", "--link", link, "--quiet"});
    ASSERT_GT(sim.pid(), 0);
    const std::string port = sim.ReadPortPath();
    ASSERT_EQ(port.rfind("/dev/", 0), 0u) << port;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(port, target);

    int fd = OpenRaw(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, "AT"));
    EXPECT_EQ(ReadBytes(fd, 2), "OK");
    close(fd);

    // A terminal closes and reopens the port; the module is still there and
    // remembers what was set.
    fd = OpenRaw(link);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, "AT+ROLE1"));
    EXPECT_EQ(ReadBytes(fd, 8), "OK+Set:1");
    close(fd);
    fd = OpenRaw(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, "AT+ROLE?"));
    EXPECT_EQ(ReadBytes(fd, 8), "OK+Get:1");

    // Stopped while the port is open.
    ASSERT_TRUE(sim.Terminate());
    status = sim.Wait();
    close(fd);
  }
  ASSERT_NE(status, -1) << "atsim did not exit after SIGTERM";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_FALSE(Exists(link)) << "the link was left behind";
}

TEST(AtsimProgram, StreamsItsBytesThenExitsByItself) {
  constexpr std::size_t kBytes = 20000;
  Atsim sim({"--personality", "2.1", "--stream", std::to_string(kBytes), "--pattern", "counter",
             "--stream-start", "data", "--exit-after-stream", "--quiet"});
  ASSERT_GT(sim.pid(), 0);
  const std::string port = sim.ReadPortPath();
  ASSERT_FALSE(port.empty());
  const int fd = OpenRaw(port);
  ASSERT_GE(fd, 0);
  // An empty line starts the stream and earns no reply of its own.
  ASSERT_TRUE(WriteAll(fd, "\r\n"));
  const std::string got = ReadBytes(fd, kBytes);
  ASSERT_EQ(got.size(), kBytes);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < kBytes; ++i) {
    if (static_cast<unsigned char>(got[i]) != (i & 0xFF)) ++wrong;
  }
  EXPECT_EQ(wrong, 0u);
  const int status = sim.Wait();
  close(fd);
  ASSERT_NE(status, -1) << "atsim did not exit after its stream";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// The control port: one command per line, answered at once.
class Control {
 public:
  explicit Control(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Control() {
    if (fd_ >= 0) close(fd_);
  }
  // Sends `command` and returns the reply's first line and the `extra` bytes after it.
  std::string Ask(const std::string &command, std::size_t extra = 0) {
    const std::string line = command + "\n";
    if (fd_ < 0 || send(fd_, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size())) {
      return "<no connection>";
    }
    std::string got;
    const auto deadline = Clock::now() + kPatience;
    std::size_t eol;
    while ((eol = got.find('\n')) == std::string::npos || got.size() < eol + 1 + extra) {
      pollfd p{fd_, POLLIN, 0};
      char buf[4096];
      if (poll(&p, 1, MillisLeft(deadline)) <= 0) break;
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int fd_ = -1;
};

TEST(AtsimProgram, TakesCommandsOnItsControlPortGoesAwayAndComesBack) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string link = dir.path() + "/port";
  Atsim sim({"--personality", "4.0", "--link", link, "--control", "0", "--quiet"});
  ASSERT_FALSE(sim.ReadPortPath().empty());
  const std::string control = sim.ReadPortPath();
  ASSERT_EQ(control.rfind("control ", 0), 0u) << control;
  Control c(std::atoi(control.c_str() + 8));
  EXPECT_EQ(c.Ask("status"), "open 0 present 1 out 0 in 0 pending 0\n");

  int fd = OpenRaw(link);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WriteAll(fd, "AT"));
  EXPECT_EQ(ReadBytes(fd, 2), "OK");
  EXPECT_EQ(c.Ask("status"), "open 1 present 1 out 2 in 2 pending 0\n");
  EXPECT_EQ(c.Ask("out 0", 2), "data 2\nOK");
  // A stream on command; everything written stays readable from any offset.
  EXPECT_EQ(c.Ask("stream 100"), "ok\n");
  EXPECT_EQ(ReadBytes(fd, 100).size(), 100u);
  EXPECT_EQ(c.Ask("out 100", 2).size(), std::string("data 2\n").size() + 2);
  EXPECT_EQ(c.Ask("drop"), "ok\n");

  // Gone: the port hangs up and the link disappears; back: a new port
  // behind the same link, the module as at start.
  ASSERT_TRUE(WriteAll(fd, "AT+ROLE1"));
  EXPECT_EQ(ReadBytes(fd, 8), "OK+Set:1");
  EXPECT_EQ(c.Ask("away"), "ok\n");
  EXPECT_FALSE(Exists(link));
  EXPECT_EQ(c.Ask("status").rfind("open 0 present 0 ", 0), 0u);
  close(fd);
  EXPECT_EQ(c.Ask("back"), "ok\n");
  fd = OpenRaw(link);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WriteAll(fd, "AT+ROLE?"));
  EXPECT_EQ(ReadBytes(fd, 8), "OK+Get:0");
  close(fd);
  EXPECT_EQ(c.Ask("what").rfind("error ", 0), 0u);
}

}  // namespace
