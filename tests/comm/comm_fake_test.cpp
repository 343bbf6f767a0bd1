// The engine against a scripted device: what it asks of the device, and how
// the reader, the writer and the component react to every kind of answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "comm/comm.h"
#include "comm/messages.h"
#include "comm/read_thread.h"
#include "comm/write_thread.h"
#include "fake_serial.h"
#include "pump.h"

using namespace comm;

namespace {

struct Recorder {
  std::vector<std::string> events;
  std::string data;
  std::vector<std::uint16_t> lengths;
  std::vector<std::string> rawBlocks;  // each block as delivered, with its terminating zero

  void Attach(TComm &c) {
    c.OnReceiveData = [this](TObject *, void *buffer, std::uint16_t n) {
      data.append(static_cast<const char *>(buffer), n);
      lengths.push_back(n);
      rawBlocks.emplace_back(static_cast<const char *>(buffer), n + 1);
      events.push_back("data");
    };
    c.OnReceiveError = [this](TObject *, std::uint32_t m) {
      events.push_back("error:" + std::to_string(m));
    };
    c.OnModemStateChange = [this](TObject *, std::uint32_t m) {
      events.push_back("modem:" + std::to_string(m));
    };
    c.OnRequestHangup = [this](TObject *) { events.push_back("hangup"); };
    c.OnSendDataEmpty = [this](TObject *) { events.push_back("empty"); };
  }
  int Count(const std::string &e) const {
    int n = 0;
    for (auto &x : events) n += x == e ? 1 : 0;
    return n;
  }
};

class CommFake : public ::testing::Test {
 protected:
  FakeSerial fake;
  TComm comm{nullptr, fake};
  Recorder rec;

  void SetUp() override { rec.Attach(comm); }
  void TearDown() override {
    comm.ClosePort();
    PumpMessages(fake);
  }
  void OpenAndSettle() {
    comm.OpenPort();
    ASSERT_TRUE(fake.WaitForPendingRead());
    ASSERT_TRUE(PumpUntil(fake, [&] { return rec.Count("empty") == 1; }));
  }
  bool ReaderEnds() {
    return PumpUntil(fake, [&] { return comm.ReaderThread()->Finished(); });
  }
  bool WriterEnds() {
    return PumpUntil(fake, [&] { return comm.WriterThread()->Finished(); });
  }
};

std::string OpenFailure(FakeSerial &fake, TComm &comm) {
  try {
    comm.OpenPort();
  } catch (const ECommsError &e) {
    return e.what();
  }
  (void)fake;
  return "";
}

}  // namespace

// ---- line settings --------------------------------------------------------

TEST_F(CommFake, LineSettingsBuildTheWholeBlockFromTheProperties) {
  comm.SetBaudRate(115200);
  comm.SetXonLimit(500);
  comm.SetXoffLimit(300);
  comm.SetByteSize(TByteSize::_5);
  comm.SetParity(TParity::Mark);
  comm.SetStopBits(TStopBits::_2);
  comm.SetXonChar('A');
  comm.SetXoffChar('B');
  comm.SetReplacedChar('?');
  OpenAndSettle();
  auto writes = fake.DcbWrites();
  ASSERT_EQ(writes.size(), 1u);
  const DCB &d = writes[0];
  // Defaults: CTS and DSR flow, DTR and RTS enabled, continue on XOFF.
  EXPECT_EQ(platform::GetDcbFlags(d), 0x0001u | 0x0004 | 0x0008 | 0x0010 | 0x0080 | 0x1000);
  EXPECT_EQ(d.fAbortOnError, 0u);  // the device reported it set
  EXPECT_EQ(d.BaudRate, 115200u);
  EXPECT_EQ(d.XonLim, 500);
  EXPECT_EQ(d.XoffLim, 300);
  EXPECT_EQ(d.ByteSize, 5);
  EXPECT_EQ(d.Parity, MARKPARITY);
  EXPECT_EQ(d.StopBits, TWOSTOPBITS);
  EXPECT_EQ(d.XonChar, 'A');
  EXPECT_EQ(d.XoffChar, 'B');
  EXPECT_EQ(d.ErrorChar, '?');
  // What the device said about the rest is kept.
  EXPECT_EQ(d.DCBlength, sizeof(DCB));
  EXPECT_EQ(d.EofChar, 0x1A);
  EXPECT_EQ(d.EvtChar, 0x7E);
}

TEST_F(CommFake, EveryFlagAndControlValueMapsToItsBits) {
  struct Case {
    std::function<void(TComm &)> set;
    DWORD flags;
  };
  const std::vector<Case> cases = {
      {[](TComm &c) {
         c.SetOutx_CtsFlow(false);
         c.SetOutx_DsrFlow(false);
         c.SetTxContinueOnXoff(false);
         c.SetDtrControl(TDtrControl::DtrDisable);
         c.SetRtsControl(TRtsControl::RtsDisable);
       },
       0x0001},
      {[](TComm &c) {
         c.SetParityCheck(true);
         c.SetDsrSensitivity(true);
         c.SetOutx_XonXoffFlow(true);
         c.SetInx_XonXoffFlow(true);
         c.SetReplaceWhenParityError(true);
         c.SetIgnoreNullChar(true);
       },
       // DTR and RTS keep their enabled defaults here.
       0x0001 | 0x0002 | 0x0010 | 0x0040 | 0x0100 | 0x0200 | 0x0400 | 0x0800 | 0x1000},
      {[](TComm &c) {
         c.SetDtrControl(TDtrControl::DtrHandshake);
         c.SetRtsControl(TRtsControl::RtsHandshake);
       },
       0x0001 | 0x0020 | 0x2000},
      {[](TComm &c) { c.SetRtsControl(TRtsControl::RtsTransmissionAvailable); },
       0x0001 | 0x0010 | 0x3000},
  };
  for (const auto &c : cases) {
    FakeSerial dev;
    TComm port(nullptr, dev);
    // Start from nothing so that each case shows only its own bits.
    port.SetOutx_CtsFlow(false);
    port.SetOutx_DsrFlow(false);
    port.SetTxContinueOnXoff(false);
    c.set(port);
    port.OpenPort();
    auto writes = dev.DcbWrites();
    port.ClosePort();
    PumpMessages(dev);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(platform::GetDcbFlags(writes[0]), c.flags);
  }
  // Byte sizes are ordinal + 5.
  for (auto size : {TByteSize::_5, TByteSize::_6, TByteSize::_7, TByteSize::_8}) {
    FakeSerial dev;
    TComm port(nullptr, dev);
    port.SetByteSize(size);
    port.OpenPort();
    auto writes = dev.DcbWrites();
    port.ClosePort();
    PumpMessages(dev);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].ByteSize, static_cast<int>(size) + 5);
  }
}

TEST_F(CommFake, SettersApplyTheirGroupOnlyWhenOpenAndChanged) {
  comm.SetBaudRate(19200);  // closed: stored only
  EXPECT_TRUE(fake.Calls().empty());
  OpenAndSettle();
  auto timeouts = fake.TimeoutWrites();
  ASSERT_EQ(timeouts.size(), 1u);
  EXPECT_EQ(timeouts[0].ReadIntervalTimeout, 10u);
  fake.ClearCalls();

  comm.SetBaudRate(19200);  // unchanged
  comm.SetStopBits(TStopBits::_1);
  comm.SetReadIntervalTimeout(10);
  EXPECT_EQ(fake.CountCalls("SetCommState"), 0);
  EXPECT_EQ(fake.CountCalls("GetCommState"), 0);
  EXPECT_EQ(fake.CountCalls("SetCommTimeouts"), 0);

  comm.SetParity(TParity::Even);  // reaches the line at once
  ASSERT_EQ(fake.DcbWrites().size(), 1u);
  EXPECT_EQ(fake.DcbWrites()[0].Parity, EVENPARITY);
  EXPECT_EQ(fake.DcbWrites()[0].BaudRate, 19200u);

  comm.SetReadIntervalTimeout(30);
  comm.SetWriteTotalTimeoutConstant(7);
  ASSERT_EQ(fake.TimeoutWrites().size(), 2u);
  EXPECT_EQ(fake.TimeoutWrites()[1].ReadIntervalTimeout, 30u);
  EXPECT_EQ(fake.TimeoutWrites()[1].WriteTotalTimeoutConstant, 7u);
  EXPECT_EQ(fake.CountCalls("SetCommState"), 1);

  comm.SetCommName("elsewhere");  // a new path waits for the next open
  EXPECT_EQ(fake.CountCalls("CreateFileA"), 0);
}

TEST_F(CommFake, UnreadableDeviceStateWritesNothing) {
  fake.FailCall("GetCommState", ERROR_GEN_FAILURE);
  OpenAndSettle();
  EXPECT_EQ(fake.CountCalls("SetCommState"), 0);
  comm.SetBaudRate(57600);
  EXPECT_EQ(fake.CountCalls("SetCommState"), 0);
  EXPECT_EQ(comm.BaudRate(), 57600u);
}

TEST_F(CommFake, RejectedSettingsDoNotFailTheOpen) {
  fake.FailCall("SetCommState", ERROR_INVALID_PARAMETER);
  fake.FailCall("SetCommTimeouts", ERROR_INVALID_PARAMETER);
  fake.FailCall("PurgeComm", ERROR_GEN_FAILURE);
  EXPECT_NO_THROW(comm.OpenPort());
  EXPECT_NE(comm.ComHandle(), 0u);
}

TEST_F(CommFake, StoredValuesAreReadFromTextInPublishedOrder) {
  const auto &names = TComm::PublishedProperties();
  ASSERT_EQ(names.size(), 32u);
  EXPECT_EQ(names.front(), "ComHandle");
  EXPECT_EQ(names[17], "Parity");
  EXPECT_EQ(names.back(), "OnSendDataEmpty");
  comm.SetPropertyText("DtrControl", "DtrDisable");
  comm.SetPropertyText("RtsControl", "RtsDisable");
  comm.SetPropertyText("XonLimit", "500");
  comm.SetPropertyText("XonChar", "#17");
  comm.SetPropertyText("ByteSize", "_7");
  comm.SetPropertyText("Outx_CtsFlow", "False");
  EXPECT_EQ(comm.DtrControl(), TDtrControl::DtrDisable);
  EXPECT_EQ(comm.RtsControl(), TRtsControl::RtsDisable);
  EXPECT_EQ(comm.XonLimit(), 500);
  EXPECT_EQ(comm.XonChar(), 17);
  EXPECT_EQ(comm.ByteSize(), TByteSize::_7);
  EXPECT_FALSE(comm.Outx_CtsFlow());
  EXPECT_THROW(comm.SetPropertyText("ByteSize", "_9"), platform::EConvertError);
  EXPECT_THROW(comm.SetPropertyText("ComHandle", "1"), platform::EConvertError);
}

// ---- open and close -------------------------------------------------------

TEST_F(CommFake, OpenSequenceAndDefaults) {
  EXPECT_EQ(comm.CommName(), "COM2");
  EXPECT_EQ(comm.BaudRate(), 9600u);
  EXPECT_EQ(comm.ComHandle(), 0u);
  OpenAndSettle();
  EXPECT_NE(comm.ComHandle(), 0u);
  auto calls = fake.Calls();
  std::vector<std::string> head(calls.begin(), calls.begin() + 7);
  EXPECT_EQ(head, (std::vector<std::string>{"CreateFileA", "GetFileType", "SetupComm", "PurgeComm",
                                            "SetCommTimeouts", "GetCommState", "SetCommState"}));
  EXPECT_EQ(fake.Purges().front(), 0x0Fu);
  EXPECT_EQ(fake.LastCommMask(), 0x1A0u);

  EXPECT_EQ(OpenFailure(fake, comm), "This serial port already opened");
  EXPECT_NE(comm.ComHandle(), 0u);  // the open port goes on working
  ASSERT_TRUE(fake.CompleteRead("still here"));
  EXPECT_TRUE(PumpUntil(fake, [&] { return rec.data == "still here"; }));

  fake.ClearCalls();
  comm.ClosePort();
  EXPECT_EQ(comm.ComHandle(), 0u);
  EXPECT_EQ(comm.ReaderThread(), nullptr);
  EXPECT_EQ(comm.WriterThread(), nullptr);
  EXPECT_FALSE(fake.DeviceOpen());
  // Both sides purged (the writer may see the stop before the reader's purge).
  auto purges = fake.Purges();
  EXPECT_NE(std::find(purges.begin(), purges.end(), 0x0Au), purges.end());
  EXPECT_NE(std::find(purges.begin(), purges.end(), 0x05u), purges.end());
  fake.ClearCalls();
  comm.ClosePort();  // twice: nothing
  EXPECT_TRUE(fake.Calls().empty());
}

TEST_F(CommFake, EachOpenFailureHasItsMessageAndLeavesNothingBehind) {
  struct Case {
    std::function<void(FakeSerial &)> arrange;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[](FakeSerial &f) { f.FailCall("CreateFileA", ERROR_FILE_NOT_FOUND, 1); },
       "Error opening serial port"},
      {[](FakeSerial &f) { f.fileType = FILE_TYPE_DISK; }, "File handle is not a comm handle "},
      {[](FakeSerial &f) { f.FailCall("SetupComm", ERROR_GEN_FAILURE, 1); },
       "Cannot setup comm buffer"},
      {[](FakeSerial &f) { f.FailNthCreateEvent(1); }, "Unable to create event"},
      {[](FakeSerial &f) { f.FailNthCreateThread(1); }, "Unable to create read thread"},
      {[](FakeSerial &f) { f.FailNthCreateThread(2); }, "Unable to create write thread"},
  };
  for (const auto &c : cases) {
    FakeSerial dev;
    TComm port(nullptr, dev);
    c.arrange(dev);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenFailure(dev, port), c.message);
    // Nothing ran that could need a long wait (the reader was never resumed).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8)) << c.message;
    EXPECT_EQ(port.ComHandle(), 0u) << c.message;
    EXPECT_EQ(port.ReaderThread(), nullptr) << c.message;
    EXPECT_EQ(port.WriterThread(), nullptr) << c.message;
    EXPECT_FALSE(dev.DeviceOpen()) << c.message;
    EXPECT_EQ(dev.CountCalls("ReadFile"), 0) << c.message;  // no worker body ran
    // And the next open works.
    dev.fileType = FILE_TYPE_CHAR;
    EXPECT_NO_THROW(port.OpenPort()) << c.message;
    EXPECT_NE(port.ComHandle(), 0u);
    port.ClosePort();
    PumpMessages(dev);
    EXPECT_EQ(dev.OutstandingBlocks(), 0);
  }
}

TEST_F(CommFake, DestroyingAnOpenComponentClosesItFirst) {
  auto *dev = new FakeSerial();
  auto *port = new TComm(nullptr, *dev);
  port->OpenPort();
  ASSERT_TRUE(dev->WaitForPendingRead());
  ASSERT_TRUE(dev->CompleteRead("queued but never shown"));
  delete port;
  EXPECT_FALSE(dev->DeviceOpen());
  PumpMessages(*dev);
  EXPECT_EQ(dev->OutstandingBlocks(), 0);  // the queued chunk was released too
  delete dev;
}

// ---- sending --------------------------------------------------------------

TEST_F(CommFake, SendBytesOnAClosedPortOrWithNothingAllocatesNothing) {
  EXPECT_FALSE(comm.SendBytes("AT", 2));
  EXPECT_EQ(fake.OutstandingBlocks(), 0);
  OpenAndSettle();
  EXPECT_FALSE(comm.SendBytes("AT", 0));
  EXPECT_EQ(fake.OutstandingBlocks(), 0);
  EXPECT_TRUE(comm.SendDataEmptyFlag());
}

TEST_F(CommFake, WritesGoOutInOrderWithOneEmptyNoticePerDrain) {
  OpenAndSettle();
  EXPECT_EQ(rec.Count("empty"), 1);  // once at start
  fake.writesPend = true;
  ASSERT_TRUE(comm.SendBytes("one,", 4));
  ASSERT_TRUE(fake.WaitForPendingWrite());
  EXPECT_FALSE(comm.SendDataEmptyFlag());
  ASSERT_TRUE(comm.SendBytes("two,", 4));
  ASSERT_TRUE(comm.SendBytes("three", 5));
  ASSERT_TRUE(fake.CompleteWrite(4));
  ASSERT_TRUE(fake.CompleteWrite(4));
  ASSERT_TRUE(fake.CompleteWrite(5));
  ASSERT_TRUE(PumpUntil(fake, [&] { return rec.Count("empty") == 2; }));
  EXPECT_EQ(fake.Written(), "one,two,three");
  PumpFor(fake, 50);
  EXPECT_EQ(rec.Count("empty"), 2);
  EXPECT_TRUE(comm.SendDataEmptyFlag());
  EXPECT_EQ(fake.OutstandingBlocks(), 0);

  // A stray thread message is dropped without a notice.
  ASSERT_TRUE(fake.PostThreadMessageA(comm.WriterThread()->ThreadID(), WM_USER + 77, 0, 0));
  PumpFor(fake, 100);
  EXPECT_EQ(rec.Count("empty"), 2);
  EXPECT_EQ(rec.Count("hangup"), 0);
}

TEST_F(CommFake, LargestRequestTravelsWhole) {
  OpenAndSettle();
  std::string big(65535, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(comm.SendBytes(big.data(), 65535));
  ASSERT_TRUE(PumpUntil(fake, [&] { return fake.Written().size() == big.size(); }));
  EXPECT_EQ(fake.Written(), big);
}

TEST_F(CommFake, AFailedPostReleasesTheCopy) {
  OpenAndSettle();
  fake.FailPostThreadMessage(true);
  EXPECT_FALSE(comm.SendBytes("AT", 2));
  EXPECT_EQ(fake.OutstandingBlocks(), 0);
  EXPECT_TRUE(comm.SendDataEmptyFlag());
}

TEST_F(CommFake, ShortWriteEndsTheWriterWithOneHangup) {
  OpenAndSettle();
  fake.shortWrite = 1;
  ASSERT_TRUE(comm.SendBytes("AT", 2));
  ASSERT_TRUE(WriterEnds());
  PumpFor(fake, 50);
  EXPECT_EQ(rec.Count("hangup"), 1);
  EXPECT_EQ(fake.OutstandingBlocks(), 0);
  EXPECT_NE(comm.ComHandle(), 0u);  // the component stays open
  // Later sends are refused by the ended writer and cost nothing.
  comm.SendBytes("AT", 2);
  EXPECT_EQ(fake.OutstandingBlocks(), 0);
}

TEST_F(CommFake, ASendRacingTheWritersExitIsRefusedOrFreed) {
  OpenAndSettle();
  fake.FailCall("WriteFile", ERROR_GEN_FAILURE);
  fake.HoldWriterExit();
  ASSERT_TRUE(comm.SendBytes("AT", 2));
  // The writer has given up and looked at its queue for the last time; its
  // thread (and so its queue) has not ended yet.
  ASSERT_TRUE(fake.WaitForHeldWriterExit());
  const bool accepted = comm.SendBytes("late", 4);
  fake.ReleaseWriterExit();
  ASSERT_TRUE(WriterEnds());
  PumpFor(fake, 30);
  // Accepted means owned by the writer: written or freed, never lost.
  EXPECT_EQ(fake.OutstandingBlocks(), 0) << (accepted ? "accepted, then lost" : "refused");
  EXPECT_FALSE(accepted);
  EXPECT_TRUE(comm.SendDataEmptyFlag());
  EXPECT_EQ(rec.Count("hangup"), 1);
}

TEST_F(CommFake, InvalidHandleOnWriteEndsTheWriterQuietly) {
  OpenAndSettle();
  fake.FailCall("WriteFile", ERROR_INVALID_HANDLE);
  ASSERT_TRUE(comm.SendBytes("AT", 2));
  ASSERT_TRUE(WriterEnds());
  PumpFor(fake, 50);
  EXPECT_EQ(rec.Count("hangup"), 0);
  EXPECT_EQ(fake.OutstandingBlocks(), 0);
}

TEST_F(CommFake, OtherWriteErrorsRequestHangup) {
  OpenAndSettle();
  fake.FailCall("WriteFile", ERROR_GEN_FAILURE);
  ASSERT_TRUE(comm.SendBytes("AT", 2));
  ASSERT_TRUE(WriterEnds());
  PumpFor(fake, 50);
  EXPECT_EQ(rec.Count("hangup"), 1);
}

TEST_F(CommFake, StopDuringAPendingWriteAbandonsItQuietly) {
  OpenAndSettle();
  fake.writesPend = true;
  ASSERT_TRUE(comm.SendBytes("AT", 2));
  ASSERT_TRUE(comm.SendBytes("queued", 6));
  ASSERT_TRUE(fake.WaitForPendingWrite());
  const int empties = rec.Count("empty");
  comm.ClosePort();
  PumpFor(fake, 50);
  EXPECT_EQ(rec.Count("hangup"), 0);
  EXPECT_EQ(rec.Count("empty"), empties);
  EXPECT_EQ(fake.Written(), "");
  EXPECT_EQ(fake.OutstandingBlocks(), 0);  // the abandoned and the queued request
  EXPECT_TRUE(comm.SendDataEmptyFlag());
  auto purges = fake.Purges();
  EXPECT_NE(std::find(purges.begin(), purges.end(), 0x05u), purges.end());
}

// ---- receiving ------------------------------------------------------------

TEST_F(CommFake, ChunksArriveWholeAndInOrderWithTheirTerminatingZero) {
  OpenAndSettle();
  const std::string first("A\0B\r\n", 5);
  ASSERT_TRUE(fake.CompleteRead(first));
  ASSERT_TRUE(fake.CompleteRead(std::string(1024, 'x')));
  ASSERT_TRUE(PumpUntil(fake, [&] { return rec.lengths.size() == 2; }));
  EXPECT_EQ(rec.data, first + std::string(1024, 'x'));
  EXPECT_EQ(rec.lengths, (std::vector<std::uint16_t>{5, 1024}));
  EXPECT_EQ(rec.rawBlocks[1].size(), 1025u);
  EXPECT_EQ(rec.rawBlocks[1].back(), '\0');
  EXPECT_EQ(fake.OutstandingBlocks(), 0);
}

TEST_F(CommFake, DataWithoutAHandlerIsReleased) {
  comm.OnReceiveData = nullptr;
  OpenAndSettle();
  ASSERT_TRUE(fake.CompleteRead("nobody listens"));
  ASSERT_TRUE(fake.WaitForPendingRead());
  PumpFor(fake, 50);
  EXPECT_EQ(fake.OutstandingBlocks(), 0);
}

TEST_F(CommFake, DataPostedBeforeCloseIsDeliveredAfterIt) {
  OpenAndSettle();
  ASSERT_TRUE(fake.CompleteRead("late"));
  ASSERT_TRUE(fake.WaitForPendingRead());  // the chunk has been posted
  comm.ClosePort();
  EXPECT_EQ(rec.data, "");
  PumpFor(fake, 50);
  EXPECT_EQ(rec.data, "late");
}

TEST_F(CommFake, LineEventsBecomeNotificationsInOrder) {
  OpenAndSettle();
  ASSERT_TRUE(fake.CompleteEvent(EV_ERR | EV_RING));
  ASSERT_TRUE(PumpUntil(fake, [&] { return rec.events.size() >= 3; }));
  ASSERT_TRUE(fake.CompleteEvent(EV_RLSD | EV_RING | EV_RXCHAR));
  ASSERT_TRUE(PumpUntil(fake, [&] { return rec.events.size() >= 4; }));
  EXPECT_EQ(rec.events, (std::vector<std::string>{"empty", "error:" + std::to_string(CE_FRAME),
                                                  "modem:4", "modem:12"}));
}

TEST_F(CommFake, AnEmptyEventMaskIsFatal) {
  OpenAndSettle();
  ASSERT_TRUE(fake.CompleteEvent(0));
  ASSERT_TRUE(ReaderEnds());
  PumpFor(fake, 50);
  EXPECT_EQ(rec.Count("hangup"), 1);
  // Exit path: receive side purged, and the standing read cancelled and done.
  auto purges = fake.Purges();
  EXPECT_NE(std::find(purges.begin(), purges.end(), 0x0Au), purges.end());
  EXPECT_GE(fake.CountCalls("CancelIo"), 1);
}

TEST_F(CommFake, ReadOutcomesEndTheReaderAsTheyShould) {
  struct Case {
    std::string name;
    std::function<void(FakeSerial &)> act;
    int hangups;
  };
  const std::vector<Case> cases = {
      {"reads that return at once with nothing",
       [](FakeSerial &f) {
         f.readsReturnEmpty = true;
         f.CompleteRead("");
       },
       1},
      {"invalid handle",
       [](FakeSerial &f) {
         f.FailCall("GetOverlappedResult", ERROR_INVALID_HANDLE);
         f.CompleteRead("x");
       },
       0},
      {"device error",
       [](FakeSerial &f) {
         f.FailCall("GetOverlappedResult", ERROR_GEN_FAILURE);
         f.CompleteRead("x");
       },
       1},
      {"post refused",
       [](FakeSerial &f) {
         f.FailPostMessage(NotifyGotData);
         f.CompleteRead("lost");
       },
       1},
  };
  for (const auto &c : cases) {
    FakeSerial dev;
    TComm port(nullptr, dev);
    Recorder r;
    r.Attach(port);
    port.OpenPort();
    ASSERT_TRUE(dev.WaitForPendingRead()) << c.name;
    c.act(dev);
    ASSERT_TRUE(PumpUntil(dev, [&] { return port.ReaderThread()->Finished(); })) << c.name;
    PumpFor(dev, 30);
    EXPECT_EQ(r.Count("hangup"), c.hangups) << c.name;
    EXPECT_EQ(r.data, "") << c.name;
    EXPECT_EQ(dev.OutstandingBlocks(), 0) << c.name;
    // The writer still works after the reader has gone.
    dev.ClearCalls();
    EXPECT_TRUE(port.SendBytes("ok", 2)) << c.name;
    EXPECT_TRUE(PumpUntil(dev, [&] { return dev.Written() == "ok"; })) << c.name;
    port.ClosePort();
    PumpMessages(dev);
  }
}

TEST_F(CommFake, AReadThatTimesOutIsReadAgain) {
  OpenAndSettle();
  ASSERT_TRUE(fake.CompleteRead(""));                 // nothing came before the time-out
  ASSERT_TRUE(fake.CompleteRead("", ERROR_TIMEOUT));  // as Wine reports one
  ASSERT_TRUE(fake.CompleteRead("ab", ERROR_TIMEOUT));
  ASSERT_TRUE(fake.CompleteRead("cd"));
  ASSERT_TRUE(PumpUntil(fake, [&] { return rec.data == "abcd"; }));
  EXPECT_EQ(rec.lengths, (std::vector<std::uint16_t>{2, 2}));
  EXPECT_EQ(rec.Count("hangup"), 0);
  EXPECT_FALSE(comm.ReaderThread()->Finished());
}

TEST_F(CommFake, ReadsGoOnWhenTheDeviceRefusesLineEvents) {
  fake.waitCommEventError = ERROR_NOT_SUPPORTED;
  OpenAndSettle();
  ASSERT_TRUE(fake.CompleteRead("first"));
  ASSERT_TRUE(fake.CompleteRead("second"));
  ASSERT_TRUE(PumpUntil(fake, [&] { return rec.data == "firstsecond"; }));
  EXPECT_EQ(rec.Count("hangup"), 0);
  EXPECT_EQ(fake.CountCalls("WaitCommEvent"), 1);
  comm.ClosePort();
  PumpFor(fake, 30);
  EXPECT_EQ(rec.Count("hangup"), 0);
}

TEST_F(CommFake, OtherEventWaitErrorsRequestHangup) {
  fake.waitCommEventError = ERROR_GEN_FAILURE;
  comm.OpenPort();
  ASSERT_TRUE(ReaderEnds());
  PumpFor(fake, 30);
  EXPECT_EQ(rec.Count("hangup"), 1);
  EXPECT_EQ(fake.CountCalls("ReadFile"), 0);
}

TEST_F(CommFake, ClosingWhileBothOperationsWaitPostsNothing) {
  OpenAndSettle();
  const auto before = rec.events;
  comm.ClosePort();
  PumpFor(fake, 50);
  EXPECT_EQ(rec.events, before);
  EXPECT_EQ(fake.OutstandingBlocks(), 0);
}
