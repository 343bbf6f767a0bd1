// Reads a serial line's settings from the device itself, to see what the
// window really applied. Where that cannot be done, Ok() is false and tests
// rely on the recorded device calls alone.
#pragma once

#include <string>

class LineProbe {
 public:
  explicit LineProbe(const std::string &devicePath);
  ~LineProbe();
  LineProbe(const LineProbe &) = delete;
  LineProbe &operator=(const LineProbe &) = delete;

  bool Ok() const { return fd_ >= 0; }
  unsigned Baud() const;
  bool TwoStopBits() const;

 private:
  int fd_ = -1;
};
