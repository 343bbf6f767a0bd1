// The engine's side of the engine benchmark, the same on every platform: a
// port opened as the window opens it, fed or drained by a peer that the
// platform's benchmark program supplies, with every byte checked.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// Deterministic random bytes.
Bytes RandomBytes(std::size_t n);

double Seconds(Clock::time_point a, Clock::time_point b);
double MegabytesPerSecond(std::size_t bytes, Clock::time_point a, Clock::time_point b);

// The engine receives `data` on `devicePath` while `peerWrite` (run on a
// thread of its own) writes it from the far end. Returns MB/s; `ok` tells
// whether every byte arrived, in order and unchanged.
double EngineReceive(const std::string &devicePath, const Bytes &data,
                     const std::function<void()> &peerWrite, bool &ok);

// The engine sends `data` on `devicePath` in 1 KiB requests while
// `peerReadAndVerify` (on a thread of its own) reads it at the far end and
// answers whether it all came unchanged. Returns MB/s.
double EngineSend(const std::string &devicePath, const Bytes &data,
                  const std::function<bool()> &peerReadAndVerify, bool &ok);

}  // namespace bench
