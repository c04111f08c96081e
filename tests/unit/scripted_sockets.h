// A stand-in for the socket library and the clock that plays the far side of the echo probe from a
// script: it records every call in order, answers the host lookup as told, and hands each receive
// the next step of the script, as Windows Sockets would (a datagram longer than the buffer fails
// with 10040 after filling it). Portable, so that the Windows build runs the same cases.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/sockets.h"

struct ReceiveStep {
  int error = 0;                       // when not 0, the receive fails with this number
  bool replyToLastRequest = false;     // an IPv4 datagram with the echo reply to the last send
  std::vector<std::uint8_t> datagram;  // otherwise these bytes
  std::int64_t secondsPassing = 0;     // calendar time that passes while the receive waits
};

struct ScriptedSockets {
  std::vector<std::string> calls;
  std::uint32_t inetAddress = platform::kInaddrNone;  // what InetAddr answers, network order
  bool lookupResolves = true;
  int lookupError = platform::kWsaHostNotFound;
  platform::HostEntry lookupEntry;
  // Played one step per receive; with none left, a receive times out (10060).
  std::deque<ReceiveStep> receives;
  // The send with this index (from 0) queues the reply to itself behind the steps left.
  std::int64_t answerOnSend = -1;
  std::int64_t sendCount = 0;
  std::vector<std::uint8_t> lastRequest;
  std::uint32_t processId = 0x00051234;
  std::int64_t now = 1000000;
  int lastError = 0;

  void Reset() { *this = ScriptedSockets{}; }
};

extern ScriptedSockets g_net;
