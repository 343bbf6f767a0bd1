// The AT module simulator (atsim) as a child process of the test, serving a
// pseudo-terminal that a symbolic link in a fresh temporary folder points to.
// The link is what the window lists: with atsim gone it no longer leads to a
// port.
//
// The simulator is stopped by its process id when the object goes, and also
// when the test process dies first (it gets SIGTERM then, and cleans up).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

class SimulatedModule {
 public:
  // Starts atsim with `--personality personality --link <dir>/bt-module -v`
  // and the extra arguments, and waits (generously) until it has printed its
  // port and made the link.
  explicit SimulatedModule(const std::string &personality,
                           const std::vector<std::string> &extraArgs = {});
  ~SimulatedModule();
  SimulatedModule(const SimulatedModule &) = delete;
  SimulatedModule &operator=(const SimulatedModule &) = delete;

  // True once the port was announced and the link made; Problem() says why not.
  bool Started() const { return started_; }
  const std::string &Problem() const { return problem_; }

  pid_t Pid() const { return pid_; }
  const std::string &PtyPath() const { return ptyPath_; }
  const std::string &LinkPath() const { return linkPath_; }
  bool LinkExists() const;

  // Sends `signal` and waits up to `ms` for the process to end. Returns its
  // wait status, or -1 when it did not end (it is then killed outright).
  int Stop(int signal, int ms = 10000);
  bool Running() const { return pid_ > 0 && !reaped_; }

  // What atsim wrote on stderr: its traffic log, for failure reports.
  std::string Log() const;

  // The next line atsim prints on stdout after its port (with --control,
  // "control <port>"), or "" when none comes within `ms`.
  std::string ReadLine(int ms);

  // Stops the simulator and removes the folder; what the destructor does.
  void Discard();

 private:
  void Start(const std::string &personality, const std::vector<std::string> &extraArgs);

  std::string dir_;
  std::string linkPath_;
  std::string logPath_;
  std::string ptyPath_;
  std::string problem_;
  pid_t pid_ = -1;
  int stdout_ = -1;
  bool reaped_ = false;
  bool started_ = false;
};

// Ends the test process when a test step hangs (so a hang is reported as
// such, naming the test, and the simulator still goes), as long as it lives.
class HangGuard {
 public:
  HangGuard(std::string what, int seconds, SimulatedModule *module);
  ~HangGuard();
  HangGuard(const HangGuard &) = delete;
  HangGuard &operator=(const HangGuard &) = delete;
  // Also run on a hang, before the process ends (say, to remove a folder).
  static void SetLastWords(void (*cleanUp)());

 private:
  struct State;
  State *state_;
};

}  // namespace e2e
