// The pure halves of the Modbus TCP client: request frames, the reply judge and the unpacking.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "devlink/modbus_tcp_client.h"
#include "hex_text.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct ReadRequestCase {
  int slave;
  int firstRegister;
  int count;
  const char* frame;
};

TEST(TcpFrames, ReadRequestsOfTheCommands) {
  const ReadRequestCase cases[] = {
      {254, 3001, 2, "00 00 00 00 00 06 FE 03 0B B8 00 02"},
      {254, 1001, 10, "00 00 00 00 00 06 FE 03 03 E8 00 0A"},
      {254, 2001, 12, "00 00 00 00 00 06 FE 03 07 D0 00 0C"},
      {1, 7, 1, "00 00 00 00 00 06 01 03 00 06 00 01"},
      {255, 7, 1, "00 00 00 00 00 06 FF 03 00 06 00 01"},
  };
  for (const ReadRequestCase& c : cases) {
    ModbusRequest block;
    block.SetRequest(c.slave, 3, c.firstRegister, c.count);
    std::uint8_t frame[kTcpReadRequestSize];
    BuildTcpReadRequest(block, frame);
    EXPECT_EQ(Hex(frame, sizeof frame), c.frame)
        << "slave " << c.slave << " register " << c.firstRegister;
  }
}

TEST(TcpFrames, AddressChangeFrameAlwaysAtUnit254) {
  const struct {
    int newAddress;
    const char* frame;
  } cases[] = {
      {1, "00 01 00 00 00 04 FE 46 0B 01"},
      {255, "00 01 00 00 00 04 FE 46 0B FF"},
      {256, "00 01 00 00 00 04 FE 46 0B 00"},
  };
  for (const auto& c : cases) {
    std::uint8_t frame[kTcpSet70FrameSize];
    BuildTcpSet70Frame(c.newAddress, frame);
    EXPECT_EQ(Hex(frame, sizeof frame), c.frame) << c.newAddress;
  }
}

// A read reply: header with the given identifiers and length, unit, function, byte count and
// `dataBytes` data bytes 0x10, 0x11, ...
Bytes Reply(int function, int byteCount, int dataBytes, std::uint8_t transaction = 0,
            std::uint8_t protocol = 0, std::uint8_t lengthHigh = 0, std::uint8_t unit = 0xFE) {
  Bytes reply = {0x00,
                 transaction,
                 0x00,
                 protocol,
                 lengthHigh,
                 static_cast<std::uint8_t>(3 + dataBytes),
                 unit,
                 static_cast<std::uint8_t>(function),
                 static_cast<std::uint8_t>(byteCount)};
  for (int k = 0; k < dataBytes; ++k) reply.push_back(static_cast<std::uint8_t>(0x10 + k));
  return reply;
}

struct JudgeCase {
  const char* what;
  Bytes reply;
  int functionCode;
  TcpReplyKind kind;
};

TEST(TcpReplyJudge, TestsInTheReadsOrder) {
  const JudgeCase cases[] = {
      {"9 bytes, byte count 4, no data", Reply(3, 4, 0), 3, TcpReplyKind::kAccepted},
      {"8 bytes", Bytes{0, 0, 0, 0, 0, 3, 0xFE, 0x03}, 3, TcpReplyKind::kTooShort},
      {"nothing", Bytes{}, 3, TcpReplyKind::kTooShort},
      {"transaction identifier 1", Reply(3, 4, 4, 1), 3, TcpReplyKind::kForeign},
      {"protocol identifier 1", Reply(3, 4, 4, 0, 1), 3, TcpReplyKind::kForeign},
      {"high byte of the length", Reply(3, 4, 4, 0, 0, 1), 3, TcpReplyKind::kForeign},
      {"short and foreign: short first", Bytes{0, 1, 0, 0, 0, 3, 0xFE, 3}, 3,
       TcpReplyKind::kTooShort},
      {"exception 2", Bytes{0, 0, 0, 0, 0, 3, 0xFE, 0x83, 0x02}, 3, TcpReplyKind::kException},
      {"exception 255", Bytes{0, 0, 0, 0, 0, 3, 0xFE, 0x83, 0xFF}, 3, TcpReplyKind::kException},
      {"exception naming another function", Bytes{0, 0, 0, 0, 0, 3, 0xFE, 0x84, 0x01}, 3,
       TcpReplyKind::kException},
      {"foreign before exception", Bytes{0, 1, 0, 0, 0, 3, 0xFE, 0x83, 0x02}, 3,
       TcpReplyKind::kForeign},
      {"function 4 to a read of function 3", Reply(4, 4, 4), 3, TcpReplyKind::kWrongFunction},
      {"another unit", Reply(3, 4, 4, 0, 0, 0, 0x07), 3, TcpReplyKind::kAccepted},
      {"length field disagreeing", Bytes{0, 0, 0, 0, 0, 0xEE, 0xFE, 3, 2, 0, 1}, 3,
       TcpReplyKind::kAccepted},
      {"function above 255 never matches", Reply(3, 2, 2), 259, TcpReplyKind::kWrongFunction},
  };
  for (const JudgeCase& c : cases) {
    Bytes exact(c.reply);
    EXPECT_EQ(JudgeTcpReply(exact.data(), static_cast<int>(exact.size()), c.functionCode), c.kind)
        << c.what;
  }
  EXPECT_EQ(JudgeTcpReply(nullptr, -1, 3), TcpReplyKind::kTooShort) << "a failed receive";
}

struct UnpackCase {
  const char* what;
  int function;
  Bytes reply;
  int entriesWritten;
};

// What entry `entry` holds after unpacking data bytes 0x10, 0x11, ... (mod 256).
int Expected(int function, int entry) {
  const auto data = [](int k) { return (0x10 + k) & 0xFF; };
  if (function == 1 || function == 2) return (data(entry / 8) >> (entry % 8)) & 1;
  return data(2 * entry) * 256 + data(2 * entry + 1);
}

TEST(TcpReplyUnpack, OnlyReceivedBytesAndAtMost128Entries) {
  const UnpackCase cases[] = {
      {"byte count 4, 4 data bytes", 3, Reply(3, 4, 4), 2},
      {"byte count 0", 3, Reply(3, 0, 0), 0},
      {"byte count 4, no data", 3, Reply(3, 4, 0), 0},
      {"byte count 200, all received", 3, Reply(3, 200, 200), 100},
      {"byte count 24, 10 data bytes", 3, Reply(3, 24, 10), 5},
      {"byte count 10, 9 data bytes: the odd one is dropped", 3, Reply(3, 10, 9), 4},
      {"byte count 3: a second value, its low byte past the count", 3, Reply(3, 3, 4), 2},
      {"byte count 255, 247 data bytes (256-byte receive)", 3, Reply(3, 255, 247), 123},
      {"bits, byte count 20", 1, Reply(1, 20, 20), 128},
      {"bits, byte count 2, 1 data byte", 2, Reply(2, 2, 1), 8},
      {"bits, byte count 0", 1, Reply(1, 0, 5), 0},
  };
  for (const UnpackCase& c : cases) {
    ModbusRequest block;
    block.SetRequest(254, c.function, 1, 1);
    for (std::int32_t& entry : block.registers) entry = -1;
    Bytes exact(c.reply);
    UnpackTcpReply(exact.data(), static_cast<int>(exact.size()), block);
    for (int entry = 0; entry < kRegisterTableSize; ++entry) {
      const int wanted = entry < c.entriesWritten ? Expected(c.function, entry) : -1;
      ASSERT_EQ(block.registers[entry], wanted) << c.what << ", entry " << entry;
    }
  }
}

TEST(TcpReplyUnpack, RegisterValuesAreUnsigned) {
  Bytes reply = {0, 0, 0, 0, 0, 5, 0xFE, 3, 2, 0xFF, 0xFF};
  ModbusRequest block;
  block.SetRequest(254, 3, 3001, 1);
  UnpackTcpReply(reply.data(), static_cast<int>(reply.size()), block);
  EXPECT_EQ(block.registers[0], 65535);
}

TEST(TcpSet70Reply, AcknowledgedByAAtOffset8Only) {
  const struct {
    const char* what;
    Bytes reply;
    bool acknowledged;
  } cases[] = {
      {"9 bytes with A", Bytes{0, 1, 0, 0, 0, 3, 0xFE, 0x46, 0x41}, true},
      {"anything else around it", Bytes{9, 9, 9, 9, 9, 9, 9, 9, 0x41, 1, 2, 3}, true},
      {"8 bytes", Bytes{0, 1, 0, 0, 0, 3, 0xFE, 0x46}, false},
      {"B", Bytes{0, 1, 0, 0, 0, 3, 0xFE, 0x46, 0x42}, false},
      {"A one byte early", Bytes{0, 1, 0, 0, 0, 3, 0xFE, 0x41, 0x00}, false},
      {"nothing", Bytes{}, false},
  };
  for (const auto& c : cases) {
    Bytes exact(c.reply);
    EXPECT_EQ(TcpSet70Acknowledged(exact.data(), static_cast<int>(exact.size())), c.acknowledged)
        << c.what;
  }
  EXPECT_FALSE(TcpSet70Acknowledged(nullptr, -1)) << "a failed receive";
}

}  // namespace
