#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "devlink/crc16.h"
#include "devlink/modbus_rtu_master.h"
#include "hex_text.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Appends the CRC of everything before it, low byte first.
Bytes WithCrc(Bytes frame) {
  frame.resize(frame.size() + 2);
  const std::uint16_t crc =
      ModbusCrc16(0xFFFF, frame.data(), static_cast<std::int32_t>(frame.size()));
  frame[frame.size() - 2] = static_cast<std::uint8_t>(crc & 0xFF);
  frame[frame.size() - 1] = static_cast<std::uint8_t>(crc >> 8);
  return frame;
}

struct RequestCase {
  int function;
  int firstRegister;
  int countOrValue;
  const char* frame;
};

const RequestCase kRequests[] = {
    {3, 3001, 1, "FE 03 0B B8 00 01 12 04"},  {3, 3001, 2, "FE 03 0B B8 00 02 52 05"},
    {3, 1001, 10, "FE 03 03 E8 00 0A 51 B2"}, {3, 2001, 12, "FE 03 07 D0 00 0C 51 4D"},
    {3, 7, 1, "FE 03 00 06 00 01 70 04"},     {3, 14, 1, "FE 03 00 0D 00 01 01 C6"},
    {6, 14, 1, "FE 06 00 0D 00 01 CD C6"},    {6, 14, 2, "FE 06 00 0D 00 02 8D C7"},
    {6, 14, 3, "FE 06 00 0D 00 03 4C 07"},    {6, 14, 4, "FE 06 00 0D 00 04 0D C5"},
    {6, 14, 5, "FE 06 00 0D 00 05 CC 05"},    {6, 7, 1, "FE 06 00 06 00 01 BC 04"},
    {6, 7, 247, "FE 06 00 06 00 F7 3C 42"},   {6, 7, 254, "FE 06 00 06 00 FE FC 44"},
};

TEST(RtuFrames, RequestsOfTheToolsTransactions) {
  for (const RequestCase& c : kRequests) {
    ModbusRequest block;
    std::uint8_t frame[kRtuRequestSize];
    if (c.function == 3) {
      block.SetRequest(kDefaultModbusAddress, 3, c.firstRegister, c.countOrValue);
      BuildRtuReadRequest(block, frame);
    } else {
      block.SetRequest(kDefaultModbusAddress, c.function, c.firstRegister, 1);
      BuildRtuWriteRequest(block, c.countOrValue, frame);
    }
    EXPECT_EQ(Hex(frame, sizeof frame), c.frame)
        << "function " << c.function << " register " << c.firstRegister;
  }
}

TEST(RtuFrames, CoilWriteSendsFF00OnlyForOne) {
  ModbusRequest block;
  block.SetRequest(1, 5, 1, 1);
  std::uint8_t frame[kRtuRequestSize];
  BuildRtuWriteRequest(block, 1, frame);
  EXPECT_EQ(Hex(frame, 6), "01 05 00 00 FF 00");
  BuildRtuWriteRequest(block, 2, frame);
  EXPECT_EQ(Hex(frame, 6), "01 05 00 00 00 00");
}

TEST(RtuFrames, Set70FramesAndInvalidCommand) {
  std::int32_t length = -1;
  const std::uint8_t* prepare = Set70Frame(Prepare, &length);
  EXPECT_EQ(Hex(prepare, static_cast<std::size_t>(length)), "FE 46 0E 02 55 B8");
  const std::uint8_t* commit = Set70Frame(Commit, &length);
  EXPECT_EQ(Hex(commit, static_cast<std::size_t>(length)), "FE 46 08 23 96");
  EXPECT_EQ(Set70Frame(3, &length), nullptr);
  EXPECT_EQ(length, 0);
  // The fixed frames carry their own CRC.
  EXPECT_EQ(Hex(WithCrc({0xFE, 0x46, 0x0E, 0x02}).data(), 6), "FE 46 0E 02 55 B8");
  EXPECT_EQ(Hex(WithCrc({0xFE, 0x46, 0x08}).data(), 5), "FE 46 08 23 96");
}

TEST(RtuFrames, CrcOfComparisonRepliesAndShortLengths) {
  const Bytes replies[] = {
      {0xFE, 0x03, 0x04, 0x00, 0x01, 0x00, 0x0C, 0xA4, 0xF9},
      {0xFE, 0x03, 0x02, 0x00, 0xFE, 0x2D, 0xD0},
      {0xFE, 0x83, 0x02, 0xF0, 0xC1},
  };
  for (const Bytes& reply : replies) {
    const auto n = static_cast<std::int32_t>(reply.size());
    EXPECT_EQ(ModbusCrc16(0xFFFF, reply.data(), n), reply[n - 2] + 256 * reply[n - 1]);
  }
  const std::uint8_t two[] = {0x12, 0x34};
  EXPECT_EQ(ModbusCrc16(0xFFFF, two, 2), 0xFFFF);
  EXPECT_EQ(ModbusCrc16(0x1234, two, 0), 0x1234);
  EXPECT_EQ(ModbusCrc16(0xFFFF, two, -5), 0xFFFF);
}

struct JudgeCase {
  const char* name;
  int function;
  Bytes reply;
  RtuReplyKind kind;
  std::vector<int> expectedEntries;  // leading entries of the table after an accepted reply
};

Bytes RegisterReply(int values) {
  Bytes reply = {0xFE, 0x03, static_cast<std::uint8_t>(values * 2)};
  for (int i = 0; i < values; ++i) {
    reply.push_back(static_cast<std::uint8_t>(i >> 8));
    reply.push_back(static_cast<std::uint8_t>(i & 0xFF));
  }
  return WithCrc(reply);
}

std::vector<JudgeCase> JudgeCases() {
  Bytes badCrc = {0xFE, 0x03, 0x04, 0x00, 0x01, 0x00, 0x0C, 0xA4, 0xF8};
  return {
      {"empty", 3, {}, RtuReplyKind::kBroken, {}},
      {"one byte", 3, {0xFE}, RtuReplyKind::kBroken, {}},
      {"two bytes", 3, {0xFE, 0x03}, RtuReplyKind::kBroken, {}},
      {"wrong crc", 3, badCrc, RtuReplyKind::kBroken, {}},
      {"values 1 and 12",
       3,
       {0xFE, 0x03, 0x04, 0x00, 0x01, 0x00, 0x0C, 0xA4, 0xF9},
       RtuReplyKind::kAccepted,
       {1, 12, 0}},
      {"exception 2", 3, {0xFE, 0x83, 0x02, 0xF0, 0xC1}, RtuReplyKind::kException, {}},
      {"exception 255", 3, WithCrc({0xFE, 0x83, 0xFF}), RtuReplyKind::kException, {}},
      {"other slave",
       3,
       WithCrc({0x11, 0x03, 0x02, 0xFF, 0xFF}),
       RtuReplyKind::kAccepted,
       {65535, 0}},
      {"other function",
       3,
       WithCrc({0xFE, 0x04, 0x02, 0x12, 0x34}),
       RtuReplyKind::kAccepted,
       {0x1234, 0}},
      {"byte count disagrees",
       3,
       WithCrc({0xFE, 0x03, 0x09, 0x00, 0x07}),
       RtuReplyKind::kAccepted,
       {7, 0}},
      {"three bytes", 3, WithCrc({0xFE}), RtuReplyKind::kAccepted, {0}},
      {"four bytes", 3, WithCrc({0xFE, 0x03}), RtuReplyKind::kAccepted, {0}},
      {"five bytes", 3, WithCrc({0xFE, 0x03, 0x02}), RtuReplyKind::kAccepted, {0, 0}},
      {"odd data borrows crc low byte",
       3,
       WithCrc({0xFE, 0x03, 0x01, 0xAB}),
       RtuReplyKind::kAccepted,
       {}},
      {"bit reply",
       1,
       WithCrc({0xFE, 0x01, 0x01, 0xA5}),
       RtuReplyKind::kAccepted,
       {1, 0, 1, 0, 0, 1, 0, 1, 0}},
      {"bit reply function 2",
       2,
       WithCrc({0xFE, 0x02, 0x02, 0x01, 0x80}),
       RtuReplyKind::kAccepted,
       {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}},
  };
}

TEST(RtuReplyJudge, TableOfReplies) {
  for (const JudgeCase& c : JudgeCases()) {
    SCOPED_TRACE(c.name);
    const auto n = static_cast<std::int32_t>(c.reply.size());
    // A copy exactly as long as the reply, so that the sanitizers see any read past its end.
    std::vector<std::uint8_t> exact(c.reply);
    ASSERT_EQ(JudgeRtuReply(exact.data(), n), c.kind);
    if (c.kind != RtuReplyKind::kAccepted) continue;
    ModbusRequest block;
    block.SetRequest(254, c.function, 1, 1);
    UnpackRtuReply(exact.data(), n, block);
    for (std::size_t i = 0; i < c.expectedEntries.size(); ++i) {
      EXPECT_EQ(block.registers[i], c.expectedEntries[i]) << "entry " << i;
    }
  }
}

TEST(RtuReplyJudge, OddDataLengthTakesTheCrcLowByte) {
  const Bytes reply = WithCrc({0xFE, 0x03, 0x01, 0xAB});
  ModbusRequest block;
  block.SetRequest(254, 3, 1, 1);
  UnpackRtuReply(reply.data(), static_cast<std::int32_t>(reply.size()), block);
  EXPECT_EQ(block.registers[0], 0xAB * 256 + reply[4]);
  EXPECT_EQ(block.registers[1], 0);
}

TEST(RtuReplyJudge, LongestRegisterReplyFillsOnly128Entries) {
  const Bytes reply = RegisterReply(253);
  ASSERT_EQ(reply.size(), 511u);
  ASSERT_EQ(JudgeRtuReply(reply.data(), 511), RtuReplyKind::kAccepted);
  ModbusRequest block;
  block.SetRequest(254, 3, 1, 125);
  UnpackRtuReply(reply.data(), 511, block);
  for (int i = 0; i < kRegisterTableSize; ++i) ASSERT_EQ(block.registers[i], i);
}

TEST(RtuReplyJudge, BitReplyOf21BytesFillsAllEntriesFromSixteenDataBytes) {
  Bytes reply = {0xFE, 0x01, 0x10};
  for (int i = 0; i < 16; ++i) reply.push_back(0xFF);
  reply = WithCrc(reply);
  ASSERT_EQ(reply.size(), 21u);
  ModbusRequest block;
  block.SetRequest(254, 1, 1, 128);
  UnpackRtuReply(reply.data(), 21, block);
  for (int i = 0; i < kRegisterTableSize; ++i) ASSERT_EQ(block.registers[i], 1) << i;

  // A longer bit reply stops at the table's end.
  Bytes longer = {0xFE, 0x02, 0xFF};
  longer.resize(3 + 200, 0xFF);
  longer = WithCrc(longer);
  block.SetRequest(254, 2, 1, 1);
  UnpackRtuReply(longer.data(), static_cast<std::int32_t>(longer.size()), block);
  EXPECT_EQ(block.registers[127], 1);
}

TEST(RtuReplyJudge, Set70Acknowledgement) {
  const std::uint8_t ack[] = {0xFE, 0x46, 0x41};
  const std::uint8_t lower[] = {0xFE, 0x46, 0x61, 0x00, 0x00};
  EXPECT_TRUE(Set70Acknowledged(ack, 3));
  EXPECT_FALSE(Set70Acknowledged(ack, 2));
  EXPECT_FALSE(Set70Acknowledged(lower, 5));
  EXPECT_FALSE(Set70Acknowledged(ack, 0));
}

}  // namespace
