// The pure halves of the ICMP echo probe: the request of each attempt and the judging of a
// received datagram.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "devlink/net.h"
#include "hex_text.h"
#include "platform/sockets.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A receiver's check, written apart from the code under test: the one's-complement sum of the
// message as big-endian words, folded; 0 after the complement when the checksum is right.
unsigned ReceiverCheck(const std::uint8_t* message, int length) {
  std::uint32_t sum = 0;
  for (int i = 0; i + 1 < length; i += 2) sum += (message[i] << 8) | message[i + 1];
  while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return ~sum & 0xFFFF;
}

struct EchoCase {
  std::uint16_t sequence;
  std::uint32_t timeStamp;
  const char* head;  // the 12 bytes before the payload
};

// Identifier 0x1234 throughout; identifier, sequence and time stamp go low byte first.
const EchoCase kEchoCases[] = {
    {0, 0x00000000u, "08 00 6F 99 34 12 00 00 00 00 00 00"},
    {1, 0x000003E8u, "08 00 86 95 34 12 01 00 E8 03 00 00"},
    {2, 0x12345678u, "08 00 C1 30 34 12 02 00 78 56 34 12"},
    {3, 0xFFFFFFFFu, "08 00 6C 99 34 12 03 00 FF FF FF FF"},
};

TEST(EchoRequest, BytesAndChecksumOfEachAttempt) {
  for (const EchoCase& c : kEchoCases) {
    std::uint8_t request[kEchoRequestSize];
    std::memset(request, 0xAA, sizeof request);
    BuildEchoRequest(0x1234, c.sequence, c.timeStamp, request);
    EXPECT_EQ(Hex(request, 12), c.head) << "attempt " << c.sequence;
    for (int i = 12; i < kEchoRequestSize; ++i) {
      ASSERT_EQ(request[i], 0x45) << "payload byte " << i << " of attempt " << c.sequence;
    }
    EXPECT_EQ(ReceiverCheck(request, kEchoRequestSize), 0u) << "attempt " << c.sequence;
  }
}

TEST(EchoRequest, ChecksumIsComputedWithItsOwnFieldZero) {
  std::uint8_t request[kEchoRequestSize];
  BuildEchoRequest(0xBEEF, 7, 0x01020304u, request);
  const std::uint8_t stored[2] = {request[2], request[3]};
  request[2] = 0;
  request[3] = 0;
  const std::uint16_t again = InternetChecksum(request, kEchoRequestSize);
  std::uint8_t againBytes[2];
  std::memcpy(againBytes, &again, 2);
  EXPECT_EQ(Hex(againBytes, 2), Hex(stored, 2));
}

TEST(EchoRequest, ChecksumOfOddLengthPadsWithZero) {
  const std::uint8_t odd[] = {0x01, 0x02, 0x03};
  const std::uint8_t padded[] = {0x01, 0x02, 0x03, 0x00};
  EXPECT_EQ(InternetChecksum(odd, 3), InternetChecksum(padded, 4));
}

// An IPv4 header of `headerBytes` (a multiple of 4, options 0x01 NOP), then the ICMP bytes.
Bytes Datagram(int headerBytes, const Bytes& icmp) {
  Bytes datagram(static_cast<std::size_t>(headerBytes), 0x01);
  datagram[0] = static_cast<std::uint8_t>(0x40 | (headerBytes / 4));
  datagram[9] = 1;
  datagram.insert(datagram.end(), icmp.begin(), icmp.end());
  return datagram;
}

const Bytes kReply = {0x00, 0x00, 0x12, 0x34, 0x34, 0x12, 0x00, 0x00};

struct DatagramCase {
  const char* what;
  Bytes datagram;
  bool accepted;
};

TEST(EchoReplyJudge, ByHeaderLengthTypeAndIdentifierOnly) {
  Bytes options = Datagram(24, kReply);
  // Bytes that would pass if the options were not skipped.
  Bytes atTwenty = Datagram(24, {0x00, 0x00, 0x00, 0x00});
  std::copy(kReply.begin(), kReply.end(), atTwenty.begin() + 20);
  const DatagramCase cases[] = {
      {"20-byte header", Datagram(20, kReply), true},
      {"24-byte header with options", options, true},
      {"reply read at 20 although the header says 24", atTwenty, false},
      {"60-byte header, datagram ends inside it", Datagram(60, {}), false},
      {"another identifier", Datagram(20, {0x00, 0x00, 0, 0, 0x35, 0x12, 0, 0}), false},
      {"identifier in network order", Datagram(20, {0x00, 0x00, 0, 0, 0x12, 0x34, 0, 0}), false},
      {"echo request (type 8)", Datagram(20, {0x08, 0x00, 0, 0, 0x34, 0x12, 0, 0}), false},
      {"unreachable (type 3)", Datagram(20, {0x03, 0x01, 0, 0, 0x34, 0x12, 0, 0}), false},
      {"code, checksum, sequence and payload not looked at",
       Datagram(20, {0x00, 0x7F, 0xFF, 0xFF, 0x34, 0x12, 0x99, 0x99, 0xAB}), true},
      {"too short to hold the identifier", Datagram(20, {0x00, 0x00, 0, 0, 0x34}), false},
      {"just long enough", Datagram(20, {0x00, 0x00, 0, 0, 0x34, 0x12}), true},
      {"header alone", Datagram(20, {}), false},
      {"header length 0 reads the message at offset 0", {0x00, 0x00, 0, 0, 0x34, 0x12}, true},
      {"empty", {}, false},
  };
  for (const DatagramCase& c : cases) {
    // A copy of exactly the datagram's size, so that the sanitizer sees any read past it.
    std::vector<std::uint8_t> exact(c.datagram);
    EXPECT_EQ(IsEchoReplyFor(exact.data(), static_cast<int>(exact.size()), 0x1234), c.accepted)
        << c.what;
  }
}

TEST(SocketAddress, PortGoesInNetworkOrder) {
  platform::InetSocketAddress address;
  address.port = platform::HostToNetwork16(502);
  std::uint8_t bytes[2];
  std::memcpy(bytes, &address.port, 2);
  EXPECT_EQ(Hex(bytes, 2), "01 F6");
  EXPECT_EQ(address.family, 2);
  EXPECT_EQ(sizeof address, 8u) << "family, port and address as sockaddr_in begins";
}

}  // namespace
