// The module's answers on Modbus TCP, as bytes, fault by fault.
#include "tests/support/tcp_module_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace modsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kProductRead = {0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0xFE, 0x03, 0x0B, 0xB8, 0x00, 0x02};
const Bytes kSetAddress1 = {0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0xFE, 0x46, 0x0B, 0x01};

struct AnswerCase {
  const char* what;
  Bytes request;
  bool withFault;
  FrameKind kind;
  Fault fault;
  const char* reply;  // every chunk together; "" for silence
  bool close;
};

TEST(AnswerTcp, RepliesAndFaults) {
  const AnswerCase cases[] = {
      {"product read", kProductRead, false, FrameKind::kAny, Fault::Silent(),
       "00 00 00 00 00 07 FE 03 04 00 01 00 0C", false},
      {"own address 9",
       {0x00, 0x05, 0x00, 0x00, 0x00, 0x06, 0x09, 0x03, 0x00, 0x06, 0x00, 0x01},
       false,
       FrameKind::kAny,
       Fault::Silent(),
       "00 05 00 00 00 05 09 03 02 00 09",
       false},
      {"another unit",
       {0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x05, 0x03, 0x0B, 0xB8, 0x00, 0x02},
       false,
       FrameKind::kAny,
       Fault::Silent(),
       "",
       false},
      {"register outside the map",
       {0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0xFE, 0x03, 0x00, 0x63, 0x00, 0x01},
       false,
       FrameKind::kAny,
       Fault::Silent(),
       "00 00 00 00 00 03 FE 83 02",
       false},
      {"unknown function",
       {0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xFE, 0x11},
       false,
       FrameKind::kAny,
       Fault::Silent(),
       "00 00 00 00 00 03 FE 91 01",
       false},
      {"address change", kSetAddress1, false, FrameKind::kAny, Fault::Silent(),
       "00 01 00 00 00 03 FE 46 41", false},
      {"silent", kProductRead, true, FrameKind::kRead, Fault::Silent(), "", false},
      {"exception", kProductRead, true, FrameKind::kRead, Fault::Exception(4),
       "00 00 00 00 00 03 FE 83 04", false},
      {"short", kProductRead, true, FrameKind::kRead, Fault::Short(8), "00 00 00 00 00 07 FE 03",
       false},
      {"split", kProductRead, true, FrameKind::kRead, Fault::Split(9, 50),
       "00 00 00 00 00 07 FE 03 04 00 01 00 0C", false},
      {"wrong unit", kProductRead, true, FrameKind::kRead, Fault::WrongAddress(1),
       "00 00 00 00 00 07 01 03 04 00 01 00 0C", false},
      {"wrong function", kProductRead, true, FrameKind::kRead, Fault::WrongFunction(4),
       "00 00 00 00 00 07 FE 04 04 00 01 00 0C", false},
      {"wrong transaction", kProductRead, true, FrameKind::kRead, Fault::WrongTransaction(0x0102),
       "01 02 00 00 00 07 FE 03 04 00 01 00 0C", false},
      {"wrong protocol", kProductRead, true, FrameKind::kRead, Fault::WrongProtocol(1),
       "00 00 00 01 00 07 FE 03 04 00 01 00 0C", false},
      {"oversized", kProductRead, true, FrameKind::kRead, Fault::Oversized(12),
       "00 00 00 00 00 06 FE 03 03 00 01 02", false},
      {"close", kProductRead, true, FrameKind::kRead, Fault::Close(), "", true},
      {"another acknowledgement", kSetAddress1, true, FrameKind::kSetAddress, Fault::Ack(0x42),
       "00 01 00 00 00 03 FE 46 42", false},
  };
  for (const AnswerCase& c : cases) {
    ModuleModel model(ModuleOptions{9, 2, 1, 12});
    if (c.withFault) model.SetFault(c.kind, c.fault);
    const TcpAnswer answer = AnswerTcp(model, c.request);
    EXPECT_EQ(Hex(answer.plan.Bytes()), c.reply) << c.what;
    EXPECT_EQ(answer.close, c.close) << c.what;
  }
}

TEST(AnswerTcp, SplitReplyIsTwoChunks) {
  ModuleModel model;
  model.SetFault(FrameKind::kRead, Fault::Split(9, 50));
  const TcpAnswer answer = AnswerTcp(model, kProductRead);
  ASSERT_EQ(answer.plan.chunks.size(), 2u);
  EXPECT_EQ(answer.plan.chunks[0].bytes.size(), 9u);
  EXPECT_EQ(answer.plan.chunks[1].delayMs, 50);
}

TEST(AnswerTcp, AddressChangeAppliesOnceTheAcknowledgementIsSent) {
  ModuleModel model;
  const TcpAnswer answer = AnswerTcp(model, kSetAddress1);
  EXPECT_TRUE(answer.plan.commitAfterSending);
  EXPECT_EQ(model.Address(), 254);
  model.Commit();
  EXPECT_EQ(model.Address(), 1);
  EXPECT_TRUE(model.Addressed(254)) << "254 stays the module's address as well";

  ModuleModel refusing;
  refusing.SetFault(FrameKind::kSetAddress, Fault::Exception(1));
  AnswerTcp(refusing, kSetAddress1);
  refusing.Commit();
  EXPECT_EQ(refusing.Address(), 254) << "an exception leaves the change undone";
}

}  // namespace
}  // namespace modsim
