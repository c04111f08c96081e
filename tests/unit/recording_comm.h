// A stand-in for the serial API and the clock that records every call in order, fails the step it
// is told to, and plays back queued replies to reads.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct RecordingComm {
  std::vector<std::string> calls;
  // "open", "getstate", "setstate", "timeouts", "write"; or "nothing-written": a write that
  // succeeds without taking a byte.
  std::string failStep;
  std::deque<std::vector<std::uint8_t>> replies;
  std::uint32_t reportedBaud = 9600;
  std::uint8_t reportedRtsControl = 2;

  void Reset() { *this = RecordingComm{}; }
};

extern RecordingComm g_comm;
