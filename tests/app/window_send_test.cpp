// Manual send and the receive display: what the Send button queues for the
// port in text and hex mode, the send box's helpers (key filter, HEX Send,
// AT lists), the byte counters, and how received chunks reach the log.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "app/system_text.h"
#include "forms/log_stamps.h"
#include "send_fixture.h"

namespace app {
namespace {

using namespace forms;  // MB_* are macros on Windows and constants here

using Bytes = std::vector<std::uint8_t>;

std::string Str(const Bytes &b) { return std::string(b.begin(), b.end()); }

void Receive(TfrmMain &w, const std::string &chunk) {
  w.ComPortReceiveData(w.ComPort, const_cast<char *>(chunk.data()),
                       static_cast<std::uint16_t>(chunk.size()));
}

// ---- sending ------------------------------------------------------------------

TEST_F(LineWindowTest, TextModeQueuesTheBoxBytesWithCrLfBreaks) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);

  w.btnSend->UserClick();  // "AT" from start-up
  EXPECT_EQ(api_.Requests(), std::vector<std::string>{"AT"});
  EXPECT_EQ(w.sbTitle->Panels()[2].Text(), " Send:2");

  // Typed on two lines: Enter makes the box's CR LF.
  api_.ClearRequests();
  w.memSend->SetSelStart(w.memSend->Text().size());
  w.memSend->UserTypeKey(13);
  w.memSend->UserTypeText("AT");
  w.btnSend->UserClick();
  EXPECT_EQ(api_.Queued(), "AT\r\nAT");
  // A lone line feed that code put into the box goes out as CR LF too.
  w.memSend->SetText("a\nb\rc");
  w.btnSend->UserClick();
  EXPECT_EQ(api_.Queued(), "AT\r\nATa\r\nb\r\nc");
  EXPECT_EQ(Sent(w), 2 + 6 + 7);

  // U+FF1F goes out as the system code page renders it.
  w.cb20AT->UserSelect(14);
  ASSERT_EQ(w.memSend->Text(), SystemText("AT+NAME\xEF\xBC\x9F"));
  api_.ClearRequests();
  w.btnSend->UserClick();
  EXPECT_EQ(api_.Queued(), SystemText("AT+NAME\xEF\xBC\x9F"));

  // Everything queued reaches the far end, in order.
  const std::string all =
      "AT"
      "AT\r\nAT"
      "a\r\nb\r\nc" +
      SystemText("AT+NAME\xEF\xBC\x9F");
  EXPECT_EQ(PeerReceive(all.size()), all);
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(LineWindowTest, AnEmptySendQueuesNothingButStillPauses) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  w.btnSend->UserClick();
  ASSERT_EQ(Sent(w), 2);

  for (bool hex : {false, true}) {
    w.cbHEXSend->SetChecked(hex);
    w.memSend->SetText(hex ? "xyz -" : "");
    api_.ClearRequests();
    const std::size_t pauses = api_.Sleeps(100);
    w.btnSend->UserClick();
    EXPECT_TRUE(api_.Requests().empty()) << hex;
    EXPECT_EQ(api_.Sleeps(100), pauses + 1) << hex;
    EXPECT_EQ(w.sbTitle->Panels()[2].Text(), " Send:2") << hex;
  }
}

TEST_F(LineWindowTest, HexModeSendsDigitPairsWithALoneLastDigitAsLowHalf) {
  struct Case {
    const char *box;
    Bytes bytes;
  };
  const Case cases[] = {
      {"41 42 4", {0x41, 0x42, 0x04}}, {"A", {0x0A}},
      {"1 2 3", {0x12, 0x03}},         {"ff,0G", {0xFF, 0x00}},
      {"AT+BAUD?", {0xAB, 0xAD}},      {"0a0B\r\n7", {0x0A, 0x0B, 0x07}},
      {"fEdC", {0xFE, 0xDC}},
  };
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  w.cbHEXSend->UserClick();
  std::int64_t total = 0;
  std::string all;
  for (const Case &c : cases) {
    w.memSend->SetText(c.box);
    api_.ClearRequests();
    w.btnSend->UserClick();
    EXPECT_EQ(api_.Requests(), std::vector<std::string>{Str(c.bytes)}) << c.box;
    total += static_cast<std::int64_t>(c.bytes.size());
    EXPECT_EQ(Sent(w), total) << c.box;
    all += Str(c.bytes);
  }
  EXPECT_EQ(PeerReceive(all.size()), all);

  // A command picked from a list while HEX Send is ticked is read as digits.
  api_.ClearRequests();
  w.cb40AT->UserSelect(3);
  ASSERT_EQ(w.memSend->Text(), "AT+BAUD?");
  w.btnSend->UserClick();
  EXPECT_EQ(api_.Queued(), Str({0xAB, 0xAD}));
}

TEST_F(LineWindowTest, AFailedRequestLogsSendErrorOnALineOfItsOwn) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  Receive(w, "partial");
  api_.FailWrites(true);
  const std::size_t pauses = api_.Sleeps(100);

  w.btnSend->UserClick();
  EXPECT_EQ(w.memLog->Lines().ToVector(), (std::vector<std::string>{"partial", "Send Error!"}));
  EXPECT_EQ(Sent(w), 0);
  EXPECT_EQ(api_.Sleeps(100), pauses);  // no pause after a failed send

  // The hex encoder keeps its failure to itself and counts nothing.
  w.cbHEXSend->UserClick();
  w.memSend->SetText("41");
  w.btnSend->UserClick();
  EXPECT_EQ(w.memLog->Lines().Count(), 2);
  EXPECT_EQ(api_.Sleeps(100), pauses + 1);
  EXPECT_EQ(Sent(w), 0);
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(LineWindowTest, ASendBeyondOneRequestGoesOutWholeAndInOrder) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  std::string big(200000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>('!' + (i * 7 + i / 97) % 90);
  w.memSend->SetText(big);

  w.btnSend->UserClick();
  const std::vector<std::string> requests = api_.Requests();
  EXPECT_GT(requests.size(), 1u);
  for (const std::string &r : requests) EXPECT_LE(r.size(), 65535u);
  EXPECT_EQ(api_.Queued(), big);
  EXPECT_EQ(Sent(w), 200000);
  const std::string arrived = PeerReceive(big.size());
  EXPECT_EQ(arrived.size(), big.size());
  EXPECT_TRUE(arrived == big);

  // Hex mode: 70,000 bytes from their digits.
  w.cbHEXSend->UserClick();
  std::string digits;
  std::string expected;
  for (int i = 0; i < 70000; ++i) {
    static const char kHex[] = "0123456789abcdef";
    const int b = (i * 31 + 7) & 0xFF;
    digits += kHex[b >> 4];
    digits += kHex[b & 15];
    expected += static_cast<char>(b);
  }
  w.memSend->SetText(digits);
  api_.ClearRequests();
  w.btnSend->UserClick();
  EXPECT_GT(api_.Requests().size(), 1u);
  for (const std::string &r : api_.Requests()) EXPECT_LE(r.size(), 65535u);
  EXPECT_TRUE(api_.Queued() == expected);
  EXPECT_EQ(Sent(w), 200000 + 70000);
  EXPECT_TRUE(PeerReceive(expected.size()) == expected);
}

// ---- the send box -------------------------------------------------------------

TEST_F(WindowTest, TheSendBoxFiltersKeysOnlyInHexMode) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  const std::string keys = "09afAFgGzZ x-+?\r";

  w.memSend->Clear();
  w.memSend->UserTypeText(keys);
  EXPECT_EQ(w.memSend->Text(), "09afAFgGzZ x-+?\r\n");

  w.cbHEXSend->UserClick();
  EXPECT_EQ(w.memSend->Text(), "");
  w.memSend->UserTypeText(keys +
                          "\xC3\xA9"
                          "1");
  EXPECT_EQ(w.memSend->Text(), "09afAF1");
  w.memSend->UserTypeKey(8);  // backspace passes
  EXPECT_EQ(w.memSend->Text(), "09afAF");

  // Text from the lists is not filtered.
  w.cb40AT->UserSelect(2);
  EXPECT_EQ(w.memSend->Text(), "AT+ADDR?");
}

TEST_F(WindowTest, TickingHexSendEmptiesTheBoxAndUntickingKeepsIt) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  w.memSend->SetText("41 42");
  w.cbHEXSend->UserClick();
  EXPECT_EQ(w.memSend->Text(), "");
  w.memSend->UserTypeText("4142");
  w.cbHEXSend->UserClick();
  EXPECT_FALSE(w.cbHEXSend->Checked());
  EXPECT_EQ(w.memSend->Text(), "4142");
  w.cbHEXSend->SetChecked(true);  // a tick by code empties it as well
  EXPECT_EQ(w.memSend->Text(), "");
}

TEST_F(WindowTest, TheCommandListsFillTheBoxIndependently) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  w.cb20AT->UserSelect(4);
  EXPECT_EQ(w.memSend->Text(), "AT+CHK?");
  EXPECT_EQ(w.cb40AT->ItemIndex(), 0);
  w.cb40AT->UserSelect(26);
  EXPECT_EQ(w.memSend->Text(), "AT+VERR?");
  EXPECT_EQ(w.cb20AT->ItemIndex(), 4);

  // "Choose" leaves the box alone, in either list.
  w.memSend->SetText("kept");
  w.cb40AT->UserSelect(0);
  w.cb20AT->UserSelect(0);
  EXPECT_EQ(w.memSend->Text(), "kept");

  w.btnClearSend->UserClick();
  EXPECT_EQ(w.memSend->Text(), "");
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(WindowTest, SendWithThePortClosedAsksToOpenItAndWithNoPortsDoesNothing) {
  FakeRegistryData data;
  data.values = {{"a", kRegSz, "COM1"}};
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  w.btnSend->UserClick();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].Text, "Please configure and open serial port");
  EXPECT_EQ(Boxes()[0].Caption, "The system prompts");
  EXPECT_EQ(Boxes()[0].Flags, static_cast<unsigned>(MB_OK));
  EXPECT_EQ(Boxes()[0].Owner, &w);
  EXPECT_EQ(w.sbTitle->Panels()[2].Text(), " Send:0");
  EXPECT_EQ(w.memLog->Text(), "");
  forms::Application->DestroyForms();
  headless_->ClearMessageBoxes();

  FakeRegistryData none;
  TfrmMain &empty = Create(ComNameSource(none.Factory()));
  empty.btnSend->UserClick();
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(empty.sbTitle->Panels()[2].Text(), " Send:0");
}

// ---- counters -----------------------------------------------------------------

TEST_F(WindowTest, CountersGrowPastThirtyTwoBitsAndResetTogether) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  w.AddRecvCount(3000000000LL);
  w.AddRecvCount(3000000000LL);
  w.AddSendCount(INT32_MAX);
  w.AddSendCount(1);
  EXPECT_EQ(w.sbTitle->Panels()[1].Text(), " Recv:6000000000");
  EXPECT_EQ(w.sbTitle->Panels()[2].Text(), " Send:2147483648");

  Receive(w, "log");
  w.btnClearCount->UserClick();
  EXPECT_EQ(w.sbTitle->Panels()[1].Text(), " Recv:0");
  EXPECT_EQ(w.sbTitle->Panels()[2].Text(), " Send:0");
  EXPECT_EQ(w.memLog->Text(), "log");
  // The totals themselves went back to zero, not only their panels.
  w.AddRecvCount(5);
  w.AddSendCount(7);
  EXPECT_EQ(w.sbTitle->Panels()[1].Text(), " Recv:5");
  EXPECT_EQ(w.sbTitle->Panels()[2].Text(), " Send:7");

  w.btnClearRecv->UserClick();
  EXPECT_EQ(w.memLog->Text(), "");
  EXPECT_EQ(w.sbTitle->Panels()[1].Text(), " Recv:5");
  EXPECT_EQ(w.sbTitle->Panels()[2].Text(), " Send:7");
}

// ---- receive display ----------------------------------------------------------

TEST_F(WindowTest, ChunksShowAsHexOrTextAsHexDispSaysAtEachChunk) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  std::int64_t count = 0;
  auto chunk = [&](const std::string &bytes) {
    w.memLog->SetSelStart(0);  // the user reads older text
    Receive(w, bytes);
    count += static_cast<std::int64_t>(bytes.size());
    EXPECT_TRUE(w.memLog->IsScrolledToEnd());
    EXPECT_EQ(w.sbTitle->Panels()[1].Text(), " Recv:" + std::to_string(count));
  };

  w.cbHexDisplay->SetChecked(true);
  chunk("A");
  chunk("BC");
  EXPECT_EQ(w.memLog->Text(), "41 42 43 ");
  chunk(std::string("\0\xFF\n\r", 4));
  EXPECT_EQ(w.memLog->Text(), "41 42 43 00 FF 0A 0D ");

  w.cbHexDisplay->SetChecked(false);
  chunk("OK\r\n");
  chunk("next");
  EXPECT_EQ(w.memLog->Text(), "41 42 43 00 FF 0A 0D OK\r\nnext");
  EXPECT_EQ(w.memLog->Lines().ToVector(),
            (std::vector<std::string>{"41 42 43 00 FF 0A 0D OK", "next"}));

  w.cbHexDisplay->SetChecked(true);
  chunk("\x7f");
  EXPECT_EQ(w.memLog->Text(), "41 42 43 00 FF 0A 0D OK\r\nnext7F ");
}

TEST_F(WindowTest, TimestampsMarkLinesAndHexChunksAfterAPauseAndGoWithClearRecv) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  std::int64_t clock = 1000;
  w.memLog->SetClock([&clock] { return clock; });
  auto at = [&](std::int64_t ms, const std::string &bytes) {
    clock = ms;
    Receive(w, bytes);
  };
  // Text: each line at the time its first byte came, a CR LF split over
  // two chunks being one break.
  at(1000, "OK\r\n");
  at(2000, "AT+NAME?\r");
  at(3000, "\n+NAME:X\r\n");
  // Hex: a chunk that starts a line, then full reads (no pause between
  // them), then a short read (the line went quiet after it).
  w.cbHexDisplay->SetChecked(true);
  at(4000, std::string(1024, 'a'));
  at(5000, std::string(1024, 'b'));
  at(6000, "0123456789");
  at(7000, "after");
  const LogStamps &stamps = w.memLog->Stamps();
  const std::vector<std::pair<std::uint64_t, std::int64_t>> expected = {
      {0, 1000}, {4, 2000}, {14, 3000}, {23, 4000}, {23 + 3 * 2058, 7000}};
  ASSERT_EQ(stamps.Count(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(stamps.PosAt(i), expected[i].first) << i;
    EXPECT_EQ(stamps.TimeAt(i), expected[i].second) << i;
  }
  // Shown, they start their lines and chunks; nothing else changes.
  const std::string held = w.memLog->Text();
  w.memLog->SetShowTimestamps(true);
  EXPECT_EQ(w.memLog->Text(), held);
  std::string shown(w.memLog->Shown().Size(), '\0');
  w.memLog->Shown().CopyOut(0, shown.size(), shown.data());
  char stamp[LogStamps::kLength];
  LogStamps::Format(2000, stamp);
  EXPECT_EQ(shown.substr(LogStamps::kLength + 4, LogStamps::kLength + 8),
            std::string(stamp, sizeof stamp) + "AT+NAME?");
  EXPECT_EQ(shown.size(), held.size() + expected.size() * LogStamps::kLength);

  // A flood of lines costs a small part of what the log holds.
  w.cbHexDisplay->SetChecked(false);
  std::string lines;
  while (lines.size() < 1024) lines += std::string(78, 'x') + "\r\n";
  lines.resize(1024);
  for (int i = 0; i < 4096; ++i) at(8000 + i, lines);
  EXPECT_LT(stamps.MemoryBytes(), w.memLog->TextLength() / 5);

  // Clear Recv takes the times with the text; the counter stays.
  const std::string counter = w.sbTitle->Panels()[1].Text();
  w.btnClearRecv->UserClick();
  EXPECT_EQ(stamps.Count(), 0u);
  EXPECT_LT(stamps.MemoryBytes(), 1024u);
  EXPECT_EQ(w.sbTitle->Panels()[1].Text(), counter);
  at(99000, "again");
  ASSERT_EQ(stamps.Count(), 1u);
  EXPECT_EQ(stamps.PosAt(0), 0u);
  EXPECT_EQ(stamps.TimeAt(0), 99000);
}

TEST_F(WindowTest, AZeroByteNeitherCutsTheLogNorHidesWhatFollows) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  Receive(w, std::string("A\0B", 3));
  Receive(w, std::string("\0", 1));
  Receive(w, "C");
  EXPECT_EQ(w.memLog->Text(), std::string("A\0B\0C", 5));
  EXPECT_EQ(Received(w), 5);
}

TEST_F(WindowTest, FullChunksAreCountedWhole) {
  FakeRegistryData data;
  TfrmMain &w = Create(ComNameSource(data.Factory()));
  std::string chunk(1024, '\0');
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i);
  for (int i = 0; i < 3; ++i) Receive(w, chunk);
  EXPECT_EQ(w.sbTitle->Panels()[1].Text(), " Recv:3072");
  EXPECT_EQ(w.memLog->Text(), chunk + chunk + chunk);

  // More than the window's receive buffer in one call still shows it all.
  const std::string big(20000, 'z');
  w.cbHexDisplay->SetChecked(true);
  w.btnClearRecv->UserClick();
  Receive(w, big);
  EXPECT_EQ(w.memLog->TextLength(), big.size() * 3);
  EXPECT_EQ(Received(w), 3072 + 20000);
}

// ---- end to end ---------------------------------------------------------------

TEST_F(LineWindowTest, WhatTheLineDeliversReachesTheLogAndTheCounter) {
  TfrmMain &w = NewWindow();
  OpenQuietly(w);
  ASSERT_TRUE(port_->PeerWrite("OK\r\n", 4));
  ASSERT_TRUE(PumpUntil([&] { return Received(w) >= 4; }, 20000));
  EXPECT_EQ(w.memLog->Text(), "OK\r\n");
  EXPECT_TRUE(w.memLog->IsScrolledToEnd());

  w.cbHexDisplay->UserClick();
  ASSERT_TRUE(port_->PeerWrite(std::string("\0\x41", 2).data(), 2));
  ASSERT_TRUE(PumpUntil([&] { return Received(w) >= 6; }, 20000));
  EXPECT_EQ(w.memLog->Text(), "OK\r\n00 41 ");

  // A send, and the answer to it.
  w.memSend->SetText("AT");
  w.btnSend->UserClick();
  ASSERT_EQ(PeerReceive(2), "AT");
  ASSERT_TRUE(port_->PeerWrite("OK", 2));
  ASSERT_TRUE(PumpUntil([&] { return Received(w) >= 8; }, 20000));
  EXPECT_EQ(w.memLog->Text(), "OK\r\n00 41 4F 4B ");
  w.btnOpenClose->UserClick();
  EXPECT_TRUE(Boxes().empty());
}

}  // namespace
}  // namespace app
