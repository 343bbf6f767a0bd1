// Processor time of the whole process over wall time while the window
// auto-sends to a pseudo-terminal, on the headless backend. The wait between
// sends should sleep, so the figure stays far below one busy core (1.0).
//
//   autosend_bench [seconds] [interval-ms]   (defaults: 10 and 20)
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/main_form.h"
#include "app/send_thread.h"
#include "forms/headless.h"
#include "platform/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Reads what the far end has received, without waiting.
std::size_t Drain(int master) {
  std::size_t total = 0;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) return total;
    total += static_cast<std::size_t>(n);
  }
}

}  // namespace

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const std::string interval = argc > 2 ? argv[2] : "20";

  int master = -1;
  int slave = -1;
  char name[128];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  setenv("TESSAVO_EXTRA_PORTS", name, 1);

  forms::Application->Initialize();
  forms::UseHeadless();
  forms::Application->CreateForm(app::frmMain);
  app::TfrmMain &w = *app::frmMain;
  const int index = w.cbCom->Items().IndexOf(name);
  if (index < 0) {
    std::fprintf(stderr, "the pseudo-terminal %s is not in the port list\n", name);
    return 1;
  }
  w.cbCom->UserSelect(index);
  w.edtAutoSend->SetText(interval);
  w.btnOpenClose->UserClick();  // starts auto-send at the interval
  w.cbAutoSend->UserClick();    // and the tick accepts it
  if (w.btnOpenClose->Caption() != app::CloseComCaption || w.btnSend->Enabled()) {
    std::fprintf(stderr, "auto-send did not start\n");
    return 1;
  }

  // The program's own main loop: dispatch, then sleep until there is input.
  const auto start = Clock::now();
  const double cpuStart = CpuSeconds();
  const auto end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::size_t received = 0;
  HANDLE sync = platform::SyncEvent();
  while (Clock::now() < end) {
    forms::Application->ProcessMessages();
    received += Drain(master);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) break;
    forms::Application->Api().MsgWaitForMultipleObjects(
        1, &sync, FALSE, static_cast<DWORD>(left.count()), QS_ALLINPUT);
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = CpuSeconds() - cpuStart;
  const std::string sent = w.sbTitle->Panels()[2].Text();

  w.Show();
  w.UserClose();
  forms::Application->DestroyForms();
  received += Drain(master);
  close(slave);
  close(master);

  std::printf("auto-send every %s ms to a pty, headless, for %.1f s\n", interval.c_str(), wall);
  std::printf("  sent (counter):%s   bytes at the far end: %zu\n", sent.c_str() + 6, received);
  std::printf("  process CPU %.3f s over wall %.3f s = %.4f   (target <= 0.05)\n", cpu, wall,
              cpu / wall);
  return 0;
}
