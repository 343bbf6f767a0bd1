#include "simulated_module.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::string TempRoot() {
  const char *tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

}  // namespace

SimulatedModule::SimulatedModule(const std::string &personality,
                                 const std::vector<std::string> &extraArgs) {
  Start(personality, extraArgs);
}

SimulatedModule::~SimulatedModule() { Discard(); }

void SimulatedModule::Start(const std::string &personality,
                            const std::vector<std::string> &extraArgs) {
  std::string pattern = TempRoot() + "/tessavo-e2e.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    problem_ = std::string("mkdtemp: ") + std::strerror(errno);
    return;
  }
  dir_ = pattern;
  linkPath_ = dir_ + "/bt-module";
  logPath_ = dir_ + "/atsim.log";

  std::vector<std::string> args = {TESSAVO_ATSIM_PATH, "--personality", personality,
                                   "--link",           linkPath_,       "-v"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    problem_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  const int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls from here to exec.
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // the test died: the simulator goes too
    if (getppid() != parent) _exit(126);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(out[1], STDOUT_FILENO);
    if (log >= 0) dup2(log, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  if (log >= 0) close(log);
  if (pid_ < 0) {
    close(out[0]);
    problem_ = std::string("fork: ") + std::strerror(errno);
    return;
  }
  stdout_ = out[0];

  ptyPath_ = ReadLine(20000);
  if (ptyPath_.empty()) {
    problem_ = "atsim announced no port; its log:\n" + Log();
    return;
  }
  // The link is made before the port is announced.
  if (!LinkExists()) {
    problem_ = "atsim made no link " + linkPath_;
    return;
  }
  started_ = true;
}

std::string SimulatedModule::ReadLine(int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  std::string line;
  char c = 0;
  for (;;) {
    pollfd p{stdout_, POLLIN, 0};
    if (poll(&p, 1, MillisLeft(deadline)) <= 0) return {};
    if (read(stdout_, &c, 1) != 1) return {};
    if (c == '\n') return line;
    line += c;
  }
}

bool SimulatedModule::LinkExists() const {
  struct stat st {};
  return !linkPath_.empty() && lstat(linkPath_.c_str(), &st) == 0;
}

int SimulatedModule::Stop(int signal, int ms) {
  if (pid_ <= 0 || reaped_) return -1;
  kill(pid_, signal);
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      return status;
    }
    if (r < 0) {
      reaped_ = true;  // not ours any more: nothing left to wait for
      return -1;
    }
    if (Clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  reaped_ = true;
  return -1;
}

std::string SimulatedModule::Log() const {
  std::ifstream in(logPath_);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void SimulatedModule::Discard() {
  Stop(SIGTERM);
  if (stdout_ >= 0) {
    close(stdout_);
    stdout_ = -1;
  }
  if (dir_.empty()) return;
  // Whatever is left: the log, and a link that a killed simulator could not
  // remove.
  if (DIR *d = opendir(dir_.c_str())) {
    while (dirent *e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") unlink((dir_ + "/" + name).c_str());
    }
    closedir(d);
  }
  rmdir(dir_.c_str());
  dir_.clear();
}

// ---- hang guard ----------------------------------------------------------------

namespace {
std::atomic<void (*)()> lastWords{nullptr};
}  // namespace

void HangGuard::SetLastWords(void (*cleanUp)()) { lastWords = cleanUp; }

struct HangGuard::State {
  std::mutex mutex;
  std::condition_variable wake;
  bool done = false;
  std::atomic<SimulatedModule *> module{nullptr};
  std::thread watcher;
};

HangGuard::HangGuard(std::string what, int seconds, SimulatedModule *module) : state_(new State) {
  state_->module = module;
  State *s = state_;
  s->watcher = std::thread([s, what = std::move(what), seconds] {
    std::unique_lock<std::mutex> lock(s->mutex);
    if (s->wake.wait_for(lock, std::chrono::seconds(seconds), [s] { return s->done; })) return;
    std::fprintf(stderr, "e2e: %s did not finish within %d s: the program hangs\n", what.c_str(),
                 seconds);
    if (SimulatedModule *m = s->module.load()) {
      std::fprintf(stderr, "e2e: the simulator's log:\n%s\n", m->Log().c_str());
      m->Discard();
    }
    if (void (*cleanUp)() = lastWords.load()) cleanUp();
    std::fflush(stderr);
    std::_Exit(3);
  });
}

HangGuard::~HangGuard() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->done = true;
  }
  state_->wake.notify_all();
  state_->watcher.join();
  delete state_;
}

}  // namespace e2e
