// Table tests of the simulated module's parser and responder, and of the
// stream generator. No pty, no clock: Flush() stands for the quiet gap.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "atsim/responder.h"
#include "atsim/stream.h"

namespace {

using atsim::Personality;
using atsim::Responder;

// The two command lists the terminal offers, without their "Choose" prompt.
const std::vector<std::string> k40Commands = {
    "AT",       "AT+ADDR?", "AT+BAUD?", "AT+CLEAR", "AT+FLOW?", "AT+FILT?", "AT+HELP?",
    "AT+IMME?", "AT+MODE?", "AT+NAME?", "AT+PIO1?", "AT+PARI?", "AT+PASS?", "AT+POWE?",
    "AT+RADD?", "AT+ROLE?", "AT+RESET", "AT+RENEW", "AT+RSSI?", "AT+SAVE?", "AT+STOP?",
    "AT+START", "AT+TYPE?", "AT+TCON?", "AT+VERS?", "AT+VERR?"};

// Items 13 and 14 end in U+FF1F, here in UTF-8.
// clang-format off
const std::vector<std::string> k21Commands = {
    "AT",         "AT+NAME?",   "AT+BAUD?",    "AT+CHK?",  "AT+STOP?",  "AT+UART?",
    "AT+SECH?",   "AT+APCH?",   "AT+TEMP?",    "AT+DISC?", "AT+KEY?",   "AT+LED?",
    "AT+PIO\xEF\xBC\x9F",      "AT+NAME\xEF\xBC\x9F",    "AT+DEFAULT", "AT+RESTART",
    "AT+ROLE?",   "AT+PIN?",    "AT+AUTH?",    "AT+CLEAR", "AT+VERSION", "AT+VERSION?",
    "AT+HELP?",   "AT+RADD?",   "AT+LADD?",    "AT+IMME?", "AT+WORK",   "AT+TCON?",
    "AT+TYPE?",   "AT+TPIO?",   "AT+START",    "AT+BUFF?", "AT+FILE?",  "AT+NOTI?",
    "AT+RSSI?",   "AT+COD?"};
// clang-format on

// Sends `input` as one chunk, then lets the line go quiet.
std::string Exchange(Responder &r, const std::string &input) {
  std::string out = r.Feed(input);
  out += r.Flush();
  return out;
}

std::vector<std::string> SplitLines(const std::string &s) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < s.size()) {
    const std::size_t end = s.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(s.substr(start) + "<no CR LF>");
      break;
    }
    lines.push_back(s.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TEST(AtsimBle40, EveryListedCommandGetsAnUnterminatedNonErrorReply) {
  for (const std::string &cmd : k40Commands) {
    SCOPED_TRACE(cmd);
    Responder r(Personality::kBle40);
    // Whole commands are answered as soon as they are whole, without waiting
    // for the quiet gap. Only "AT" can still grow into a longer command.
    std::string reply = r.Feed(cmd);
    EXPECT_EQ(reply.empty(), cmd == "AT");
    reply += r.Flush();
    EXPECT_FALSE(r.HasPending());
    EXPECT_EQ(reply.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(reply.rfind("OK", 0), 0u) << reply;
    if (cmd == "AT") {
      EXPECT_EQ(reply, "OK");
    } else if (cmd.back() == '?') {
      ASSERT_EQ(reply.rfind("OK+Get:", 0), 0u) << reply;
      EXPECT_GT(reply.size(), 7u);
    } else {
      EXPECT_EQ(reply, "OK+" + cmd.substr(3));
    }
  }
}

TEST(AtsimClassic21, EveryListedCommandGetsCrLfLinesEndingInOk) {
  for (const std::string &cmd : k21Commands) {
    SCOPED_TRACE(cmd);
    Responder r(Personality::kClassic21);
    const std::vector<std::string> lines = SplitLines(r.Feed(cmd + "\r\n"));
    EXPECT_FALSE(r.HasPending());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "OK");
    const bool is_query =
        cmd.back() == '?' || (cmd.size() > 3 && cmd.substr(cmd.size() - 3) == "\xEF\xBC\x9F");
    if (is_query || cmd == "AT+VERSION") {
      ASSERT_EQ(lines.size(), 2u);
      std::string key = cmd.substr(3);
      key = key.substr(0, key.find_first_of("?\xEF"));
      EXPECT_EQ(lines[0].rfind("+" + key + "=", 0), 0u) << lines[0];
      EXPECT_GT(lines[0].size(), key.size() + 2);
    } else {
      EXPECT_EQ(lines.size(), 1u);
    }
  }
}

TEST(AtsimClassic21, FullWidthQueryMarkReadsLikeAsciiOneInUtf8AndGbk) {
  Responder r(Personality::kClassic21);
  for (const std::string key : {"NAME", "PIO"}) {
    const std::string ascii = r.Feed("AT+" + key + "?\r\n");
    EXPECT_EQ(r.Feed("AT+" + key + "\xEF\xBC\x9F\r\n"), ascii);
    EXPECT_EQ(r.Feed("AT+" + key + "\xA3\xBF\r\n"), ascii);
  }
  Responder ble(Personality::kBle40);
  EXPECT_EQ(ble.Feed("AT+NAME\xEF\xBC\x9F"), ble.Feed("AT+NAME?"));
}

TEST(AtsimBle40, UnknownOrMalformedCommandsEarnExactlyOneError) {
  const std::string err(atsim::kBle40UnknownReply);
  for (const std::string bad :
       {"AT+FOO", "AT+BAUD9", "AT+NAME", "AT+PASS12", "ATX", "hello", "AT+ADDR123", "AT+RSSI=1",
        "AT+NAMEthirteenchars", "\xEF\xBC\x9F"}) {
    SCOPED_TRACE(bad);
    Responder r(Personality::kBle40);
    EXPECT_EQ(Exchange(r, bad), err);
    EXPECT_FALSE(r.HasPending());
    EXPECT_EQ(Exchange(r, "AT"), "OK") << "the module must recover";
  }
}

TEST(AtsimBle40, EndlessJunkIsAnsweredBeforeItFillsMemory) {
  Responder r(Personality::kBle40);
  std::string out;
  for (int i = 0; i < 100; ++i) out += r.Feed("xxxxxxxxxx");
  const std::string err(atsim::kBle40UnknownReply);
  // One error per kMaxPending bytes or so, and nothing else.
  const std::size_t errors = out.size() / err.size();
  EXPECT_GE(errors, 1000 / (Responder::kMaxPending + 1));
  EXPECT_LE(errors, 1000 / Responder::kMaxPending);
  EXPECT_EQ(out, [&] {
    std::string e;
    for (std::size_t i = 0; i < errors; ++i) e += err;
    return e;
  }());
  r.Flush();
  EXPECT_EQ(Exchange(r, "AT"), "OK");
}

TEST(AtsimClassic21, ErrorsTellUnknownBadValueAndNotSettableApart) {
  const std::string unknown(atsim::kClassic21UnknownReply);
  const std::string bad_value(atsim::kClassic21BadValueReply);
  const std::string read_only(atsim::kClassic21ReadOnlyReply);
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"AT+FOO", unknown},          {"AT+FOO?", unknown},        {"hello", unknown},
      {"AT?", unknown},             {"AT+RESTART?", unknown},    {"AT+NAME", unknown},
      {"AT+NAME?=x", unknown},      {"AT+BAUD=1234", bad_value}, {"AT+ROLE=3", bad_value},
      {"AT+PIN=12", bad_value},     {"AT+NAME=", bad_value},     {"AT+UART=9600,0", bad_value},
      {"AT+UART=9600,2,0", bad_value}, {"AT+PIO=12,1", bad_value}, {"AT+PIO=3,2", bad_value},
      {"AT+COD=12345G", bad_value}, {"AT+TEMP=3", read_only},    {"AT+CLEAR=1", read_only},
      {"AT+VERSION=2", read_only}};
  // clang-format on
  for (const auto &[line, expected] : cases) {
    SCOPED_TRACE(line);
    Responder r(Personality::kClassic21);
    EXPECT_EQ(r.Feed(line + "\r\n"), expected);
  }
}

TEST(AtsimBle40, SettingsAreReadBackAndResetByRenew) {
  Responder r(Personality::kBle40);
  const std::string default_name = r.Feed("AT+NAME?");
  // A name has no fixed length, so it ends at the quiet gap.
  EXPECT_EQ(r.Feed("AT+NAMEfoo-1"), "");
  EXPECT_EQ(r.Flush(), "OK+Set:foo-1");
  EXPECT_EQ(r.Feed("AT+NAME?"), "OK+Get:foo-1");
  // Fixed-length values are answered at once.
  EXPECT_EQ(r.Feed("AT+BAUD4"), "OK+Set:4");
  EXPECT_EQ(r.Feed("AT+BAUD?"), "OK+Get:4");
  EXPECT_EQ(r.Feed("AT+PASS123456"), "OK+Set:123456");
  EXPECT_EQ(r.Feed("AT+PASS?"), "OK+Get:123456");
  EXPECT_EQ(r.Feed("AT+ROLE1AT+ROLE?"), "OK+Set:1OK+Get:1");
  // A full-length name is whole without a gap.
  EXPECT_EQ(r.Feed("AT+NAMEabcdefghijkl"), "OK+Set:abcdefghijkl");

  const std::string radd = r.Feed("AT+RADD?");
  EXPECT_EQ(r.Feed("AT+CLEAR"), "OK+CLEAR");
  EXPECT_NE(r.Feed("AT+RADD?"), radd);

  EXPECT_EQ(r.Feed("AT+RENEW"), "OK+RENEW");
  EXPECT_EQ(r.Feed("AT+NAME?"), default_name);
  EXPECT_EQ(r.Feed("AT+BAUD?"), "OK+Get:0");
  EXPECT_EQ(r.Feed("AT+RADD?"), radd);
}

TEST(AtsimClassic21, SettingsAreReadBackAndResetByDefault) {
  Responder r(Personality::kClassic21);
  const std::string default_name = r.Feed("AT+NAME?\r\n");
  EXPECT_EQ(r.Feed("AT+NAME=My Module 2\r\n"), "OK\r\n");
  EXPECT_EQ(r.Feed("AT+NAME?\r\n"), "+NAME=My Module 2\r\nOK\r\n");
  EXPECT_EQ(r.Feed("AT+NAME\xEF\xBC\x9F\r\n"), "+NAME=My Module 2\r\nOK\r\n");

  // UART is BAUD, STOP and CHK together, both ways.
  EXPECT_EQ(r.Feed("AT+UART=115200,1,2\r\n"), "OK\r\n");
  EXPECT_EQ(r.Feed("AT+BAUD?\r\nAT+STOP?\r\nAT+CHK?\r\n"),
            "+BAUD=115200\r\nOK\r\n+STOP=1\r\nOK\r\n+CHK=2\r\nOK\r\n");
  EXPECT_EQ(r.Feed("AT+BAUD=38400\r\n"), "OK\r\n");
  EXPECT_EQ(r.Feed("AT+UART?\r\n"), "+UART=38400,1,2\r\nOK\r\n");

  EXPECT_EQ(r.Feed("AT+PIO=3,1\r\nAT+PIO=11,1\r\n"), "OK\r\nOK\r\n");
  EXPECT_EQ(r.Feed("AT+PIO?\r\n"), "+PIO=000100000001\r\nOK\r\n");

  // Commands and keys are not case-sensitive; values are kept as sent.
  EXPECT_EQ(r.Feed("at+pin=987654\r\nAT+PIN?\r\n"), "OK\r\n+PIN=987654\r\nOK\r\n");

  const std::string radd = r.Feed("AT+RADD?\r\n");
  EXPECT_EQ(r.Feed("AT+CLEAR\r\n"), "OK\r\n");
  EXPECT_NE(r.Feed("AT+RADD?\r\n"), radd);

  EXPECT_EQ(r.Feed("AT+DEFAULT\r\n"), "OK\r\n");
  EXPECT_EQ(r.Feed("AT+NAME?\r\n"), default_name);
  EXPECT_EQ(r.Feed("AT+UART?\r\n"), "+UART=9600,0,0\r\nOK\r\n");
  EXPECT_EQ(r.Feed("AT+RADD?\r\n"), radd);
}

TEST(AtsimBle40, TerminatorsAndBoundariesBetweenCommands) {
  Responder r(Personality::kBle40);
  // "AT" may be the start of a longer command, so it waits for the gap...
  EXPECT_EQ(r.Feed("AT"), "");
  EXPECT_TRUE(r.HasPending());
  EXPECT_EQ(r.Flush(), "OK");
  // ...or for a CR or LF, which the family does not need but users type.
  EXPECT_EQ(r.Feed("AT\r\n"), "OK");
  EXPECT_EQ(r.Feed("AT+NAME?\r\n"), r.Feed("AT+NAME?"));
  EXPECT_EQ(r.Feed("\r\n\r\n"), "");
  EXPECT_EQ(r.Flush(), "");
  // Back-to-back commands with nothing between them.
  EXPECT_EQ(r.Feed("ATAT+ROLE?AT+PARI?"), "OKOK+Get:0OK+Get:0");
  EXPECT_EQ(r.Feed("AT+NAMEab"), "");
  EXPECT_EQ(r.Feed("\r"), "OK+Set:ab");
  EXPECT_EQ(r.Feed("at+name?"), "OK+Get:ab");
  EXPECT_FALSE(r.HasPending());
}

TEST(AtsimClassic21, CommandsWaitForALineEndOrTheGap) {
  Responder r(Personality::kClassic21);
  EXPECT_EQ(r.Feed("AT+NAME?"), "");
  EXPECT_TRUE(r.HasPending());
  const std::string at_gap = r.Flush();
  EXPECT_EQ(at_gap, r.Feed("AT+NAME?\r\n"));
  EXPECT_EQ(at_gap.rfind("+NAME=", 0), 0u);
  for (const std::string ending : {"\r\n", "\r", "\n", "\r\n\r\n", "\n\r"}) {
    SCOPED_TRACE(testing::PrintToString(ending));
    EXPECT_EQ(r.Feed("AT" + ending), "OK\r\n");
  }
  EXPECT_EQ(r.Feed("AT\r\nAT+ROLE?\r\nAT"), "OK\r\n+ROLE=0\r\nOK\r\n");
  EXPECT_EQ(r.Flush(), "OK\r\n");
  EXPECT_EQ(r.Flush(), "");

  // An over-long line earns one error, however long it goes on, and the next
  // line is served normally.
  std::string out = r.Feed("AT+NAME=");
  for (int i = 0; i < 100; ++i) out += r.Feed("0123456789");
  out += r.Feed("\r\nAT\r\n");
  EXPECT_EQ(out, std::string(atsim::kClassic21UnknownReply) + "OK\r\n");
  // The same when the long line ends with the gap instead of CR LF.
  out = r.Feed(std::string(300, 'x'));
  out += r.Flush();
  out += r.Feed("AT\r\n");
  EXPECT_EQ(out, std::string(atsim::kClassic21UnknownReply) + "OK\r\n");
}

// Whatever the chunking, the replies are the same as for one chunk.
TEST(AtsimSplitInput, ByteByByteGivesTheSameRepliesAsOneChunk) {
  struct Case {
    Personality p;
    std::string input;
  };
  std::vector<Case> cases;
  for (const std::string &c : k40Commands) cases.push_back({Personality::kBle40, c});
  for (const std::string &c : k21Commands) cases.push_back({Personality::kClassic21, c + "\r\n"});
  cases.push_back({Personality::kBle40, "AT+NAMExyzAT+NAME?AT+BAUD3AT+BAUD?"});
  cases.push_back({Personality::kBle40,
                   "AT+PIO1\xEF\xBC\x9F"
                   "AT+PIO11AT+PIO1?"});
  cases.push_back({Personality::kClassic21, "AT+NAME=a b\r\nAT+NAME\xEF\xBC\x9F\r\nAT+NAME"});
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    Responder whole(c.p);
    const std::string expected = Exchange(whole, c.input);
    Responder split(c.p);
    std::string got;
    for (char ch : c.input) got += split.Feed(std::string(1, ch));
    got += split.Flush();
    EXPECT_EQ(got, expected);
  }
}

TEST(AtsimSplitInput, AQueryIsAnsweredWithItsLastByteNotBefore) {
  Responder r(Personality::kBle40);
  EXPECT_EQ(r.Feed("AT+NA"), "");
  EXPECT_EQ(r.Feed("ME"), "");
  EXPECT_EQ(r.Feed("\xEF\xBC"), "");
  EXPECT_EQ(r.Feed("\x9F"), "OK+Get:TESS-BLE");

  Responder c(Personality::kClassic21);
  EXPECT_EQ(c.Feed("AT+PIO\xEF"), "");
  EXPECT_EQ(c.Feed("\xBC\x9F\r"), "+PIO=000000000000\r\nOK\r\n");
  EXPECT_EQ(c.Feed("\n"), "");
}

TEST(AtsimTransparent, EchoesEverythingAndAnswersNothing) {
  for (Personality p : {Personality::kBle40, Personality::kClassic21}) {
    Responder r(p, /*transparent=*/true);
    const std::string data("AT\r\nAT+NAME?\0\xFF", 15);
    EXPECT_EQ(r.Feed(data), data);
    EXPECT_FALSE(r.HasPending());
    EXPECT_EQ(r.Flush(), "");
  }
}

// --- stream generator ----------------------------------------------------------

TEST(AtsimStream, TextLinesCarryTheirNumberAndEndInCrLf) {
  atsim::StreamSource s(atsim::StreamPattern::kText, 64 * 3);
  std::string all;
  EXPECT_EQ(s.Next(1000, all), 192u);
  EXPECT_TRUE(s.done());
  EXPECT_EQ(s.Next(1000, all), 0u);
  EXPECT_EQ(all.substr(0, 12), "00000000 ABC");
  EXPECT_EQ(all.substr(62, 14), "\r\n00000001 BCD");
  EXPECT_EQ(all.substr(128, 9), "00000002 ");
  EXPECT_EQ(all.substr(190), "\r\n");
  std::string line;
  for (std::uint64_t i = 0; i < 64; ++i) line += atsim::TextPatternByte(12345678 * 64 + i);
  EXPECT_EQ(line.substr(0, 9), "12345678 ");
  EXPECT_EQ(line.find_first_of("\r\n"), 62u);
}

TEST(AtsimStream, ChunkSizeDoesNotChangeTheBytes) {
  for (auto pattern : {atsim::StreamPattern::kText, atsim::StreamPattern::kCounter,
                       atsim::StreamPattern::kRandom}) {
    atsim::StreamSource one(pattern, 5000, 7);
    std::string expected;
    one.Next(5000, expected);
    atsim::StreamSource pieces(pattern, 5000, 7);
    std::string got;
    for (std::size_t n = 1; !pieces.done(); n = n % 13 + 1) pieces.Next(n, got);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(got.size(), 5000u);
  }
  atsim::StreamSource counter(atsim::StreamPattern::kCounter, 300);
  std::string c;
  counter.Next(300, c);
  EXPECT_EQ(static_cast<unsigned char>(c[255]), 255);
  EXPECT_EQ(c[256], 0);
}

TEST(AtsimStream, PacingScheduleAndBudgetAgree) {
  for (std::uint64_t rate : {1ull, 3ull, 1000ull, 9600ull, 999999ull, 10000000ull}) {
    for (std::uint64_t count : {1ull, 2ull, 7ull, 1000ull, 123457ull, 50000000ull}) {
      SCOPED_TRACE(testing::Message() << "rate " << rate << " count " << count);
      const std::uint64_t at = atsim::MicrosUntilDue(rate, count);
      EXPECT_GE(atsim::BytesDue(rate, at), count);
      EXPECT_LT(atsim::BytesDue(rate, at - 1), count);
    }
  }
  EXPECT_EQ(atsim::BytesDue(9600, 3600ull * 1000000), 9600ull * 3600);
  // Large rates over long runs do not overflow.
  EXPECT_EQ(atsim::BytesDue(4000000000ull, 86400ull * 1000000), 4000000000ull * 86400);
}

}  // namespace
