// Random bytes through the real engine and the window logic over a
// pseudo-terminal, checked byte for byte: received in text and hex display
// (the hex log parsed back), and sent from the send box in pieces, in text
// and hex mode, as they arrive at the peer.
//
// TESSAVO_INTEGRITY_MIB sets the size per direction and mode (default 4;
// bench/integrity runs 64). TESSAVO_SEED repeats a run.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "hardening_fixture.h"

namespace hardening {
namespace {

using app::TfrmMain;
using Clock = std::chrono::steady_clock;

std::size_t TotalBytes() {
  return static_cast<std::size_t>(EnvNumber("TESSAVO_INTEGRITY_MIB", 4)) << 20;
}

double MiBPerSecond(std::size_t bytes, Clock::time_point since) {
  const double s = std::chrono::duration<double>(Clock::now() - since).count();
  return s > 0 ? static_cast<double>(bytes) / (1 << 20) / s : 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // the log shows upper-case digits only
}

// The hex log back to bytes: two digits and a space per byte, nothing else.
bool ParseHexLog(const forms::LogText &log, std::string &bytes, std::string &error) {
  if (log.Size() % 3 != 0) {
    error = "log size " + std::to_string(log.Size()) + " is not three per byte";
    return false;
  }
  bytes.clear();
  bytes.reserve(log.Size() / 3);
  for (std::size_t p = 0; p < log.Size(); p += 3) {
    const int hi = HexValue(log.At(p)), lo = HexValue(log.At(p + 1));
    if (hi < 0 || lo < 0 || log.At(p + 2) != ' ') {
      error =
          "malformed byte at log position " + std::to_string(p) + ": '" + log.Substr(p, 3) + "'";
      return false;
    }
    bytes += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

TEST_F(HardeningTest, RandomBytesReachTheLogUnchangedAsTextAndAsHex) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  const std::size_t total = TotalBytes();

  for (bool hex : {false, true}) {
    SCOPED_TRACE(hex ? "hex display" : "text display");
    w.btnClearRecv->UserClick();
    w.btnClearCount->UserClick();
    w.cbHexDisplay->SetChecked(hex);
    const std::string data = RandomBytes(total);

    // The peer writes in pieces of random size while the main loop runs.
    std::atomic<bool> stop{false};
    std::atomic<bool> written{false};
    const auto start = Clock::now();
    std::thread peer([&] {
      std::size_t at = 0;
      while (at < data.size()) {
        const std::size_t n = std::min(data.size() - at, RandomSize(1, 65536));
        if (pty_.Write(data.data() + at, n, &stop) != n) return;
        at += n;
      }
      written = true;
    });
    // A hang guard, not a speed target: minutes for what takes seconds.
    const bool all =
        PumpUntil([&] { return app::Received(w) >= static_cast<std::int64_t>(total); }, 600000);
    stop = true;
    peer.join();
    ASSERT_TRUE(written);
    ASSERT_TRUE(all) << "received " << app::Received(w) << " of " << total;
    PumpFor(100);  // anything beyond what was written would show now
    std::printf("[ figure ] received %zu MiB shown as %s: %.1f MiB/s\n", total >> 20,
                hex ? "hex" : "text", MiBPerSecond(total, start));

    EXPECT_EQ(app::Received(w), static_cast<std::int64_t>(total));
    const forms::LogText &log = w.memLog->Log();
    if (hex) {
      std::string parsed, error;
      ASSERT_TRUE(ParseHexLog(log, parsed, error)) << error;
      ASSERT_TRUE(parsed == data) << FirstDifference(data, parsed);
    } else {
      ASSERT_TRUE(log.Equals(data)) << FirstDifference(data, log.ToString());
    }
  }
  EXPECT_TRUE(Boxes().empty());
}

// A piece of the send box in text mode and the bytes it must send: random
// bytes with line breaks only as CR LF (the box's own line breaks) and no
// zero (a text box cannot hold one).
void TextPiece(std::size_t n, std::string &box, std::string &bytes) {
  box = RandomBytes(n);
  for (std::size_t i = 0; i < box.size(); ++i) {
    char &c = box[i];
    if (c == '\0') c = '0';
    if (c == '\r' || c == '\n') {
      if (i + 1 < box.size()) {
        box[i] = '\r';
        box[i + 1] = '\n';
        ++i;
      } else {
        c = '.';
      }
    }
  }
  bytes = box;
}

// A piece in hex mode: the bytes as digit pairs in either case, separated by
// what a user pastes (spaces, line breaks, punctuation, other letters), and
// sometimes a lone last digit, which is the low half of one more byte.
void HexPiece(std::size_t n, std::string &box, std::string &bytes) {
  static const char *const separators[] = {"", "", " ", " ", "\r\n", ",", "-", "x", "G", "\t"};
  static const char upper[] = "0123456789ABCDEF";
  static const char lower[] = "0123456789abcdef";
  bytes = RandomBytes(n);
  box.clear();
  box.reserve(n * 4);
  for (unsigned char b : bytes) {
    const char *digits = RandomSize(0, 1) ? upper : lower;
    box += digits[b >> 4];
    box += digits[b & 15];
    box += separators[RandomSize(0, 9)];
  }
  if (RandomSize(0, 3) == 0) {
    const std::size_t d = RandomSize(0, 15);
    box += upper[d];
    bytes += static_cast<char>(d);
  }
}

TEST_F(HardeningTest, RandomBytesSentFromTheBoxInPiecesArriveUnchanged) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  const std::size_t total = TotalBytes();

  for (bool hex : {false, true}) {
    SCOPED_TRACE(hex ? "hex send" : "text send");
    w.cbHEXSend->SetChecked(hex);
    w.btnClearCount->UserClick();

    std::string expected, arrived;
    std::atomic<std::size_t> want{0};
    std::atomic<bool> stop{false};
    // The peer reads until everything came, or nothing more comes for a long
    // while once the sends are done (a hang guard, not a speed target).
    std::thread peer([&] {
      auto lastData = Clock::now();
      while (!(stop && arrived.size() >= want)) {
        if (pty_.Read(arrived, 100) > 0) {
          lastData = Clock::now();
        } else if (stop && Clock::now() - lastData > std::chrono::seconds(60)) {
          break;
        }
      }
    });
    const auto start = Clock::now();
    std::size_t sends = 0;
    while (expected.size() < total) {
      // From one byte up to 1 MiB, so several requests per send too.
      const std::size_t n = std::min(total - expected.size(), RandomSize(1, 1 << 20));
      std::string box, bytes;
      (hex ? HexPiece : TextPiece)(n, box, bytes);
      w.memSend->SetText(box);
      const std::int64_t before = app::Sent(w);
      ASSERT_TRUE(w.btnSend->UserClick());
      ASSERT_EQ(app::Sent(w) - before, static_cast<std::int64_t>(bytes.size()));
      expected += bytes;
      ++sends;
    }
    want = expected.size();
    stop = true;
    peer.join();
    std::printf("[ figure ] sent %zu bytes from the box in %zu %s sends: %.1f MiB/s\n",
                expected.size(), sends, hex ? "hex" : "text", MiBPerSecond(expected.size(), start));
    ASSERT_TRUE(arrived == expected) << FirstDifference(expected, arrived);
  }
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(w.memLog->TextLength(), 0u);  // no "Send Error!"

  // Sends of many requests each leave a port that still receives.
  w.btnClearCount->UserClick();
  ASSERT_EQ(pty_.Write("reply", 5), 5u);
  EXPECT_TRUE(PumpUntil([&] { return app::Received(w) == 5; }, 10000))
      << "received " << app::Received(w) << " of 5 after the sends";
  EXPECT_TRUE(w.memLog->Log().Equals("reply"));
}

}  // namespace
}  // namespace hardening
