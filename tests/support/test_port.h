// A serial line for tests: one end (DevicePath) is opened by the code under
// test with CreateFileA, the other end (the peer) is driven by the test.
//
// Linux: a fresh pseudo-terminal pair per TestPort, in raw mode; the device is
// the slave, the peer is the master.
// Windows: two COM ports joined by a null-modem link (under Wine, two ptys
// joined by socat), named by TESSAVO_TEST_PORT and TESSAVO_TEST_PEER. The
// pair outlives the TestPort, so construction discards what an earlier test
// may have left on either side.
#pragma once

#include <cstddef>
#include <string>

class TestPort {
 public:
  TestPort();
  ~TestPort();
  TestPort(const TestPort &) = delete;
  TestPort &operator=(const TestPort &) = delete;

  // False when no pair can be had here (Windows without the two variables);
  // tests then skip.
  static bool Available();

  // True once the pair is open and the peer usable.
  bool Ok() const { return ok_; }

  // The name the code under test opens: the slave's path on Linux,
  // "\\.\COMn" on Windows.
  std::string DevicePath() const;

  // Writes all bytes to the peer end; false on error.
  bool PeerWrite(const void *data, std::size_t size);
  // Reads what reaches the peer within timeoutMs; returns as soon as `max`
  // bytes have arrived. Returns the byte count.
  std::size_t PeerRead(void *buffer, std::size_t max, int timeoutMs);
  // Reads and discards until nothing arrives for quietMs; returns the count.
  std::size_t PeerDrain(int quietMs);

  // Hangs up the peer end so the device side sees the line drop. Only
  // possible where ClosePeerSupported() says so: under Wine a COM port stays
  // joined through socat for the whole run and cannot be dropped per test.
  static bool ClosePeerSupported();
  void ClosePeer();

 private:
  bool ok_ = false;
  std::string devicePath_;
#if defined(_WIN32)
  void *peer_ = nullptr;  // HANDLE
#else
  int master_ = -1;
  int slave_ = -1;  // kept open so the master never reads EIO between opens
#endif
};
