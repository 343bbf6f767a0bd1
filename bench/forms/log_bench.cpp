// The log under load: received data goes through the window's receive
// handler in 1024-byte chunks, in text and in hex display, on the headless
// and the Qt backend (offscreen). Prints the time per chunk over the first
// and the last MiB and their ratio: a log that appends in time proportional
// to what is appended keeps the ratio near 1 (target <= 1.5).
//
//   QT_QPA_PLATFORM=offscreen log_bench [MiB] [events-every-N-chunks] [only]
//
// `only` (headless-text, headless-hex, qt-text or qt-hex) runs one case.
// Beside the wall-clock times it prints the main thread's CPU time per chunk
// over the same MiBs and their ratio: on a shared, busy machine the wall
// clock also counts the time other programs had the CPU. Each case starts
// with the memory the last one freed given back to the system, so its first
// MiB, like its last, writes into fresh pages.
// MiB defaults to 64. On the Qt backend the toolkit's pending events
// (painting included) are handled after every N chunks: by default 256, as
// the program's loop does when data arrives faster than it is shown (it
// dispatches up to 256 queued chunks, then paints); 1 paints after each.
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "forms/headless.h"
#include "forms/qt/qt_backend.h"
#include "support/runtime_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

// A port list with no ports, so the window starts without touching devices.
class NoPorts : public app::TRegistry {
 public:
  bool OpenKeyReadOnly(const std::string &) override { return false; }
  bool EnumValueName(std::uint32_t, std::string &) override { return false; }
  bool QueryValue(const std::string &, std::uint32_t &, std::string &) override { return false; }
  void CloseKey() override {}
};

// Printable 80-byte lines (78 characters and CR LF), as a device logging text sends.
std::vector<std::uint8_t> Lines(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t col = i % 80;
    v[i] = col == 78   ? '\r'
           : col == 79 ? '\n'
                       : static_cast<std::uint8_t>('!' + (i / 80 + col) % 90);
  }
  return v;
}

struct Result {
  double firstUs = 0, lastUs = 0, totalS = 0;
  double firstCpuUs = 0, lastCpuUs = 0;
};

double ThreadCpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

Result Run(bool qt, bool hex, std::size_t mib, int eventsEvery) {
  forms::Application->CreateForm(app::frmMain);
  app::TfrmMain &w = *app::frmMain;
  if (qt) w.Show();
  w.cbHexDisplay->SetChecked(hex);
  const std::size_t chunk = 1024;
  const std::size_t perMib = (1u << 20) / chunk;
  const std::size_t chunks = mib * perMib;
  const std::vector<std::uint8_t> data = Lines(1u << 20);
  Result r;
  malloc_trim(0);
  const auto start = Clock::now();
  auto mark = start;
  double cpuMark = ThreadCpuUs();
  for (std::size_t i = 0; i < chunks; ++i) {
    if (i == perMib) {
      r.firstUs = std::chrono::duration<double, std::micro>(Clock::now() - mark).count() / perMib;
      r.firstCpuUs = (ThreadCpuUs() - cpuMark) / perMib;
    }
    if (i == chunks - perMib) {
      mark = Clock::now();
      cpuMark = ThreadCpuUs();
    }
    const std::uint8_t *p = &data[(i % perMib) * chunk];
    w.ComPortReceiveData(w.ComPort, const_cast<std::uint8_t *>(p),
                         static_cast<std::uint16_t>(chunk));
    if (qt && (i + 1) % static_cast<std::size_t>(eventsEvery) == 0) {
      QCoreApplication::processEvents();
    }
  }
  const auto end = Clock::now();
  r.lastUs = std::chrono::duration<double, std::micro>(end - mark).count() / perMib;
  r.lastCpuUs = (ThreadCpuUs() - cpuMark) / perMib;
  r.totalS = std::chrono::duration<double>(end - start).count();
  const std::size_t expected = hex ? 3 * chunks * chunk : chunks * chunk;
  if (w.memLog->TextLength() != expected) {
    std::fprintf(stderr, "log holds %zu bytes, expected %zu\n", w.memLog->TextLength(), expected);
    std::exit(1);
  }
  forms::Application->DestroyForms();
  return r;
}

}  // namespace

int main(int argc, char **argv) {
  const RuntimeDir runtimeDir;
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const int eventsEvery = argc > 2 ? std::max(1, std::atoi(argv[2])) : 256;
  if (mib < 2) {
    std::fprintf(stderr, "at least 2 MiB\n");
    return 2;
  }
  forms::Application->Initialize();
  app::TfrmMain::SetPortSource(app::DevicePathSource([] { return std::make_unique<NoPorts>(); }));
  std::printf("%zu MiB through TfrmMain::ComPortReceiveData in 1024-byte chunks", mib);
  std::printf(" (Qt: events handled every %d chunk%s)\n", eventsEvery, eventsEvery == 1 ? "" : "s");
  std::printf("%-9s %-5s %16s %16s %7s %9s %9s %14s %7s\n", "backend", "mode", "first MiB us/chk",
              "last MiB us/chk", "ratio", "total s", "MB/s in", "CPU us/chk f/l", "ratio");
  const std::string only = argc > 3 ? argv[3] : "";
  for (int backend = 0; backend < 2; ++backend) {
    const bool qt = backend == 1;
    if (qt) {
      forms::qt::UseQt(argc, argv);
    } else {
      forms::UseHeadless();
    }
    for (int mode = 0; mode < 2; ++mode) {
      const bool hex = mode == 1;
      const std::string name = std::string(qt ? "qt" : "headless") + (hex ? "-hex" : "-text");
      if (!only.empty() && only != name) continue;
      const Result r = Run(qt, hex, mib, eventsEvery);
      std::printf("%-9s %-5s %16.2f %16.2f %7.2f %9.2f %9.1f %6.2f/%6.2f %7.2f\n",
                  qt ? "qt" : "headless", hex ? "hex" : "text", r.firstUs, r.lastUs,
                  r.lastUs / r.firstUs, r.totalS, mib * 1048576.0 / r.totalS / 1e6, r.firstCpuUs,
                  r.lastCpuUs, r.lastCpuUs / r.firstCpuUs);
      std::fflush(stdout);
    }
  }
  forms::Application->DestroyForms();
  return 0;
}
