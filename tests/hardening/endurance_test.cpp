// Endurance: the port opened and closed many times while the peer streams
// data, with auto-send starting at every opening as it does. Nothing may
// accumulate: open descriptors, threads and memory come back to where they
// were, and nothing hangs.
//
// TESSAVO_ENDURANCE_CYCLES sets the count (default 60; bench/integrity runs
// 1000).
#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "hardening_fixture.h"

namespace hardening {
namespace {

using app::TfrmMain;

std::size_t Entries(const char *dir) {
  std::size_t n = 0;
  if (DIR *d = opendir(dir)) {
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;  // the open DIR's own descriptor is counted in /proc/self/fd
}

long RssKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
    status.ignore(4096, '\n');
  }
  return -1;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their allocators keep freed memory back
#else
constexpr bool kSanitized = false;
#endif

TEST_F(HardeningTest, OpenCloseCyclesWhileThePeerStreamsLeaveNothingBehind) {
  const long cycles = EnvNumber("TESSAVO_ENDURANCE_CYCLES", 60);
  const long warmUp = std::max(5L, cycles / 10);
  TfrmMain &w = NewWindow();
  w.edtAutoSend->SetText("50");  // opening starts auto-send: "AT" every 150 ms or so
  // A steady stream (up to about 500 KB/s), not a flood: the cycles are what
  // is tested, and a flood would make each one cost its volume.
  StreamingPeer peer(pty_, 1);

  std::size_t fds = 0, threads = 0;
  long rss = 0, rssMax = 0;
  std::int64_t shown = 0;
  for (long i = 0; i < cycles; ++i) {
    if (i == warmUp) {
      fds = Entries("/proc/self/fd");
      threads = Entries("/proc/self/task");
      rss = RssKiB();
    }
    ASSERT_TRUE(w.btnOpenClose->UserClick());
    ASSERT_EQ(w.btnOpenClose->Caption(), app::CloseComCaption) << "cycle " << i;
    forms::Application->ProcessMessages();
    ASSERT_TRUE(w.btnOpenClose->UserClick());
    ASSERT_EQ(w.btnOpenClose->Caption(), app::OpenComCaption) << "cycle " << i;
    forms::Application->ProcessMessages();  // chunks posted before the close
    shown += app::Received(w);
    w.btnClearRecv->UserClick();
    w.btnClearCount->UserClick();
    if (i >= warmUp) rssMax = std::max(rssMax, RssKiB());
  }
  // Measured as the baseline was: the port closed, the peer still streaming.
  // A finished worker's system thread may take a moment to go after its
  // handle is signalled (so may one when the baseline was taken): wait for
  // the counts to settle, boundedly, and count no more than at the start.
  PumpUntil(
      [&] { return Entries("/proc/self/fd") <= fds && Entries("/proc/self/task") <= threads; },
      5000);
  const std::size_t fdsAfter = Entries("/proc/self/fd");
  const std::size_t threadsAfter = Entries("/proc/self/task");
  const long rssAfter = RssKiB();
  peer.Stop();
  std::printf(
      "[ figure ] %ld open/close cycles: descriptors %zu -> %zu, threads %zu -> %zu, "
      "VmRSS %ld KiB -> %ld KiB (peak %ld KiB); %lld bytes shown of %llu streamed, "
      "%llu bytes of auto-send at the peer\n",
      cycles, fds, fdsAfter, threads, threadsAfter, rss, rssAfter, rssMax,
      static_cast<long long>(shown), static_cast<unsigned long long>(peer.Written()),
      static_cast<unsigned long long>(peer.Drained()));
  EXPECT_GT(shown, 0);            // data flowed while open
  EXPECT_GT(peer.Drained(), 0u);  // and auto-send sent
  EXPECT_LE(fdsAfter, fds);
  EXPECT_LE(threadsAfter, threads);
  // Generous: a leak of a chunk or a request per cycle would pass 64 MiB
  // long before a thousand cycles; noise stays far below it.
  if (!kSanitized) {
    EXPECT_LT(rssAfter - rss, 64L * 1024) << "VmRSS grew";
  }
  // No opening failed. A send auto-send queued just before a close may run
  // after it and ask for an open port, as it does at any close.
  for (const forms::TMessageBoxRecord &box : Boxes()) {
    EXPECT_EQ(box.Text, "Please configure and open serial port");
  }
  std::printf("[ figure ] sends that ran after their close: %zu\n", Boxes().size());
}

}  // namespace
}  // namespace hardening
