// The echo probe against a scripted socket library: what it does with each kind of receive, with
// a lookup that finds no address, and with the largest number of attempts, on every target.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "devlink/net.h"
#include "scripted_sockets.h"

namespace {

using Calls = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

constexpr char kHost[] = "10.1.2.3";
const Calls kOpen = {"open icmp", "rcvtimeo 1000", "sndtimeo 1000", "inet_addr 10.1.2.3"};
// The process id of the script is 0x00051234.
const std::string kSend0 = "sendto 10.1.2.3 id 34 12 seq 00 00";
const std::string kSend1 = "sendto 10.1.2.3 id 34 12 seq 01 00";
const std::string kReceive = "recvfrom 1024";

std::uint32_t Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  const std::uint8_t bytes[4] = {a, b, c, d};
  std::uint32_t address = 0;
  std::memcpy(&address, bytes, sizeof bytes);
  return address;
}

Calls Joined(Calls head, const Calls& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// An IPv4 datagram with a 20-byte header around an ICMP message of `size` bytes.
Bytes Icmp(std::uint8_t type, std::uint8_t identifierLow, std::uint8_t identifierHigh, int size) {
  Bytes datagram(20, 0);
  datagram[0] = 0x45;
  datagram[9] = 1;
  Bytes message(static_cast<std::size_t>(size), 0x45);
  message[0] = type;
  message[1] = 0;
  message[4] = identifierLow;
  message[5] = identifierHigh;
  message[6] = 0;
  message[7] = 0;
  datagram.insert(datagram.end(), message.begin(), message.end());
  return datagram;
}

ReceiveStep Failing(int error, std::int64_t seconds) {
  ReceiveStep step;
  step.error = error;
  step.secondsPassing = seconds;
  return step;
}

ReceiveStep Delivering(const Bytes& datagram, std::int64_t seconds) {
  ReceiveStep step;
  step.datagram = datagram;
  step.secondsPassing = seconds;
  return step;
}

ReceiveStep TheReply() {
  ReceiveStep step;
  step.replyToLastRequest = true;
  return step;
}

class EchoProbeCalls : public testing::Test {
 protected:
  void SetUp() override {
    g_net.Reset();
    g_net.inetAddress = Address(10, 1, 2, 3);
  }
};

TEST_F(EchoProbeCalls, WhatEachReceiveLeadsTo) {
  enum class Then { kReceiveAgain, kNextAttempt, kProbeFails };
  struct Case {
    std::string what;
    ReceiveStep first;  // the real reply follows it
    Then then;
    int result;
  };
  struct NotTheReply {
    const char* what;
    ReceiveStep step;
  };
  const NotTheReply notTheReply[] = {
      {"a receive failing with 10040", Failing(platform::kWsaMessageSize, 0)},
      // Which a cut-short copy would take for the reply.
      {"an echo reply with this identifier, 1400 bytes", Delivering(Icmp(0, 0x34, 0x12, 1380), 0)},
      {"an echo reply with another identifier", Delivering(Icmp(0, 0x35, 0x12, 44), 0)},
      {"an echo request with this identifier", Delivering(Icmp(8, 0x34, 0x12, 44), 0)},
  };
  std::vector<Case> cases;
  for (const NotTheReply& n : notTheReply) {
    // Whole seconds since the send: more than 1 ends the attempt.
    for (const std::int64_t seconds : {0, 1, 2}) {
      ReceiveStep step = n.step;
      step.secondsPassing = seconds;
      cases.push_back({std::string(n.what) + ", " + std::to_string(seconds) + " s after the send",
                       step, seconds > 1 ? Then::kNextAttempt : Then::kReceiveAgain, 0});
    }
  }
  cases.push_back(
      {"a receive timing out", Failing(platform::kWsaTimedOut, 0), Then::kNextAttempt, 0});
  cases.push_back({"a receive failing with 10054", Failing(10054, 0), Then::kProbeFails, 10054});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_net.Reset();
    g_net.inetAddress = Address(10, 1, 2, 3);
    g_net.receives = {c.first, TheReply()};
    EXPECT_EQ(PingHost(kHost, 3), c.result);
    Calls tail;
    switch (c.then) {
      case Then::kReceiveAgain:
        tail = {kSend0, kReceive, kReceive, "close"};
        break;
      case Then::kNextAttempt:
        tail = {kSend0, kReceive, "sleep 1", kSend1, kReceive, "close"};
        break;
      case Then::kProbeFails:
        tail = {kSend0, kReceive, "close"};
        break;
    }
    EXPECT_EQ(g_net.calls, Joined(kOpen, tail));
  }
}

TEST_F(EchoProbeCalls, HostLookupOutcomes) {
  platform::HostEntry withoutAddress;
  withoutAddress.addressType = 2;
  withoutAddress.addressLength = 4;
  withoutAddress.addressCount = 0;
  platform::HostEntry withAddress = withoutAddress;
  withAddress.addressCount = 2;
  const std::uint8_t first[4] = {10, 9, 8, 7};
  std::memcpy(withAddress.firstAddress, first, sizeof first);
  struct Case {
    const char* what;
    bool resolves;
    platform::HostEntry entry;
    int result;
    Calls tail;
  };
  const Case cases[] = {
      {"an entry without an address", true, withoutAddress, platform::kWsaNoData, {"close"}},
      {"a name that does not resolve", false, withAddress, platform::kWsaHostNotFound, {"close"}},
      {"an entry with addresses: the first is the destination",
       true,
       withAddress,
       0,
       {"sendto 10.9.8.7 id 34 12 seq 00 00", kReceive, "close"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_net.Reset();
    g_net.lookupResolves = c.resolves;
    g_net.lookupEntry = c.entry;
    g_net.answerOnSend = 0;
    EXPECT_EQ(PingHost("module.example", 3), c.result);
    EXPECT_EQ(g_net.calls, Joined({"open icmp", "rcvtimeo 1000", "sndtimeo 1000",
                                   "inet_addr module.example", "lookup module.example"},
                                  c.tail));
  }
}

TEST_F(EchoProbeCalls, ConnectionToANameWithoutAddressIsNeverOpened) {
  g_net.inetAddress = platform::kInaddrNone;
  g_net.lookupEntry.addressType = 2;
  g_net.lookupEntry.addressLength = 4;
  platform::Socket socket = platform::kInvalidSocket;
  EXPECT_EQ(ConnectTcp(socket, "module.example", 502, false), platform::kWsaNoData);
  EXPECT_EQ(socket, platform::kInvalidSocket);
  EXPECT_EQ(g_net.calls, (Calls{"inet_addr module.example", "lookup module.example"}));
}

TEST_F(EchoProbeCalls, IdentifierIsTheLow16BitsOfTheProcessId) {
  struct Case {
    std::uint32_t processId;
    const char* send;
  };
  const Case cases[] = {
      {0x00050000u, "sendto 10.1.2.3 id 00 00 seq 00 00"},
      {0x0001FFFFu, "sendto 10.1.2.3 id FF FF seq 00 00"},
      {0x12345678u, "sendto 10.1.2.3 id 78 56 seq 00 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.send);
    g_net.Reset();
    g_net.inetAddress = Address(10, 1, 2, 3);
    g_net.processId = c.processId;
    g_net.answerOnSend = 0;
    EXPECT_EQ(PingHost(kHost, 0), 0);
    EXPECT_EQ(g_net.calls, Joined(kOpen, {c.send, kReceive, "close"}));
  }
}

TEST_F(EchoProbeCalls, LargestAttemptCountRunsUntilAnswered) {
  // Past 65536 attempts, so that the sequence number has wrapped.
  constexpr std::int64_t kAnswered = 70000;
  g_net.answerOnSend = kAnswered;
  EXPECT_EQ(PingHost(kHost, INT_MAX), 0);
  EXPECT_EQ(g_net.sendCount, kAnswered + 1);
  ASSERT_EQ(g_net.lastRequest.size(), static_cast<std::size_t>(kEchoRequestSize));
  EXPECT_EQ(g_net.lastRequest[6], 0x70);
  EXPECT_EQ(g_net.lastRequest[7], 0x11);
  const Calls last(g_net.calls.end() - 4, g_net.calls.end());
  EXPECT_EQ(last, (Calls{"sleep 1", "sendto 10.1.2.3 id 34 12 seq 70 11", kReceive, "close"}));
}

}  // namespace
