// The socket backend and the Modbus TCP client against the module on loopback (127.0.0.N:502).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "devlink/modbus_tcp_client.h"
#include "devlink/net.h"
#include "tests/support/net_namespace.h"
#include "tests/support/tcp_module_server.h"

namespace {

using modsim::Fault;
using modsim::FrameKind;
using Clock = std::chrono::steady_clock;
using Hexes = std::vector<std::string>;

const char kProductRead[] = "00 00 00 00 00 06 FE 03 0B B8 00 02";

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

template <typename F>
std::string Printed(F work) {
  testing::internal::CaptureStdout();
  work();
  return testing::internal::GetCapturedStdout();
}

class TcpClient : public testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<modsim::TcpModuleServer>();
    std::string error;
    if (!server_->Start(&error)) {
      if (server_->PermissionDenied()) GTEST_SKIP() << "port 502 needs root: " << error;
      FAIL() << error;
    }
    server_->SetRegister(3001, 4);
    server_->SetRegister(3002, 65535);
  }

  bool ConnectClient() { return client_.Connect(server_->Address(), kModbusTcpPort, false); }

  std::unique_ptr<modsim::TcpModuleServer> server_;
  ModbusTcpClient client_;
};

TEST_F(TcpClient, ConnectReadAndClose) {
  ASSERT_TRUE(ConnectClient());
  EXPECT_EQ(client_.host, server_->Address());
  EXPECT_NE(client_.socket, platform::kInvalidSocket);
  client_.SetRequest(254, 3, 3001, 2);
  ASSERT_TRUE(client_.Get(kRetries, true));
  ASSERT_TRUE(client_.GetRegister(3001));
  EXPECT_EQ(client_.value, 4);
  ASSERT_TRUE(client_.GetRegister(3002));
  EXPECT_EQ(client_.value, 65535);
  EXPECT_EQ(server_->FramesHex(), Hexes{kProductRead});
  EXPECT_EQ(client_.Close(), 0);
  EXPECT_EQ(client_.socket, platform::kInvalidSocket);
  EXPECT_TRUE(server_->WaitForClosedByPeer(1, 2000));
  EXPECT_NE(client_.Close(), 0) << "a second close closes nothing";
  EXPECT_EQ(client_.socket, platform::kInvalidSocket);
}

TEST_F(TcpClient, ConnectRejectsTextThatIsNoDottedAddress) {
  ASSERT_TRUE(ConnectClient());
  const std::string before = client_.host;
  ModbusTcpClient other;
  other.host = "kept";
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(other.Connect("192.168.0.300", 502, false)); }), "");
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(other.Connect("localhost", 502, true)); }),
            "Error: Invalid IP address\n");
  EXPECT_EQ(other.host, "kept");
  EXPECT_EQ(other.socket, platform::kInvalidSocket);
  ASSERT_TRUE(server_->WaitForConnections(1, 2000));
  EXPECT_FALSE(server_->WaitForConnections(2, 200)) << "the rejected texts never connected";
}

TEST_F(TcpClient, RefusedConnectionLeavesTheCreatedSocketOpen) {
  ModbusTcpClient other;
  // The probe is answered on loopback; only the connection fails, and in silence.
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(other.Connect(modsim::kNoModuleAddress, 502, false)); }),
            "");
  EXPECT_NE(other.socket, platform::kInvalidSocket);
  EXPECT_EQ(other.host, "");
  EXPECT_EQ(other.Close(), 0);
  EXPECT_EQ(other.socket, platform::kInvalidSocket);
}

TEST(ConnectTcp, RefusedConnectionReportsOnceAndKeepsTheSocket) {
  platform::Socket socket = platform::kInvalidSocket;
  int result = -1;
  EXPECT_EQ(Printed([&] { result = ConnectTcp(socket, modsim::kNoModuleAddress, 502, true); }),
            "Error: Failed to connect to host.\n");
  EXPECT_EQ(result, platform::kWsaConnectionRefused);
  ASSERT_NE(socket, platform::kInvalidSocket);
  EXPECT_EQ(CloseSocket(socket), 0);
  EXPECT_EQ(socket, platform::kInvalidSocket);
  EXPECT_EQ(CloseSocket(socket), platform::kWsaNotSocket);
  EXPECT_EQ(socket, platform::kInvalidSocket);
}

TEST(ConnectTcp, HostNameIsLookedUp) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length), 0);
  platform::Socket socket = platform::kInvalidSocket;
  EXPECT_EQ(ConnectTcp(socket, "localhost", ntohs(local.sin_port), true), 0);
  EXPECT_EQ(CloseSocket(socket), 0);
  close(listener);
}

TEST(ConnectTcp, UnresolvableNameLeavesTheVariableUntouched) {
  std::string why;
  if (!testsupport::NetNamespace::Available(&why)) GTEST_SKIP() << why;
  // A namespace with loopback alone: the lookup cannot leave the machine.
  testsupport::NetNamespace ns("lookup");
  ASSERT_TRUE(ns.Create(&why)) << why;
  struct Outcome {
    int result = 0;
    platform::Socket socket = 0;
    std::string printed;
  };
  const Outcome outcome = testsupport::RunInNamespace<Outcome>(ns, [] {
    Outcome o;
    o.socket = 12345;
    o.printed =
        Printed([&] { o.result = ConnectTcp(o.socket, "no-such-module.invalid", 502, true); });
    return o;
  });
  EXPECT_NE(outcome.result, 0);
  EXPECT_EQ(outcome.socket, platform::Socket{12345});
  EXPECT_EQ(outcome.printed, "Error: Failed to connect to host.\n");
}

struct ReadCase {
  const char* what;
  FrameKind kind;
  Fault fault;
  bool succeeds;
  const char* printed;
  int product;  // the table's first entry afterwards; -1 where nothing was written
};

TEST_F(TcpClient, OneReadAgainstEachFault) {
  const ReadCase cases[] = {
      {"exception 2", FrameKind::kRead, Fault::Exception(2), false, "Modbus exception - 2\n", -1},
      {"exception 255", FrameKind::kRead, Fault::Exception(255), false, "Modbus exception - 255\n",
       -1},
      {"transaction identifier 1", FrameKind::kRead, Fault::WrongTransaction(1), false, "", -1},
      {"protocol identifier 1", FrameKind::kRead, Fault::WrongProtocol(1), false, "", -1},
      {"function 4", FrameKind::kRead, Fault::WrongFunction(4), false, "Modbus Get failed\n", -1},
      {"another unit", FrameKind::kRead, Fault::WrongAddress(9), true, "", 4},
      {"8 bytes", FrameKind::kRead, Fault::Short(8), false, "Modbus Get failed\n", -1},
      {"9 bytes", FrameKind::kRead, Fault::Short(9), true, "", -1},
      {"11 bytes: one value", FrameKind::kRead, Fault::Short(11), true, "", 4},
      {"byte count 200", FrameKind::kRead, Fault::Oversized(209), true, "", 1},
  };
  ASSERT_TRUE(ConnectClient());
  for (const ReadCase& c : cases) {
    server_->ClearFaults();
    server_->SetFault(c.kind, c.fault.Times(1));
    client_.SetRequest(254, 3, 3001, 2);
    for (std::int32_t& entry : client_.registers) entry = -1;
    bool result = !c.succeeds;
    EXPECT_EQ(Printed([&] { result = client_.GetOnce(true); }), c.printed) << c.what;
    EXPECT_EQ(result, c.succeeds) << c.what;
    EXPECT_EQ(client_.registers[0], c.product) << c.what;
  }
  EXPECT_EQ(server_->FrameCount(), std::size(cases));
}

TEST_F(TcpClient, ByteCount200FillsHundredEntries) {
  ASSERT_TRUE(ConnectClient());
  server_->SetFault(FrameKind::kRead, Fault::Oversized(209));
  client_.SetRequest(254, 3, 1001, 10);
  ASSERT_TRUE(client_.GetOnce(true));
  for (int entry = 0; entry < 100; ++entry) {
    ASSERT_EQ(client_.registers[entry], (2 * entry % 256) * 256 + (2 * entry + 1) % 256) << entry;
  }
  EXPECT_EQ(client_.registers[100], 0);
}

TEST_F(TcpClient, SilentModuleFailsAfterTheThreeSecondWait) {
  ASSERT_TRUE(ConnectClient());
  server_->SetFault(FrameKind::kRead, Fault::Silent());
  client_.SetRequest(254, 3, 3001, 2);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(client_.GetOnce(true)); }), "Modbus Get failed\n");
  EXPECT_GE(MsSince(start), 2990);
  EXPECT_LT(MsSince(start), 4000);
}

// The later attempts send on a connection the module has closed: no SIGPIPE ends the process.
TEST_F(TcpClient, ClosedConnectionFailsEveryAttemptAtOnce) {
  ASSERT_TRUE(ConnectClient());
  server_->SetFault(FrameKind::kRead, Fault::Close());
  client_.SetRequest(254, 3, 3001, 2);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(client_.Get(kRetries, true)); }),
            "Modbus Get failed\nModbus Get failed\nModbus Get failed\n");
  EXPECT_LT(MsSince(start), 1000);
}

TEST_F(TcpClient, GetRetriesBackToBackAndStopsAtTheFirstSuccess) {
  ASSERT_TRUE(ConnectClient());
  server_->SetFault(FrameKind::kRead, Fault::Exception(4).Times(2));
  client_.SetRequest(254, 3, 3001, 2);
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(client_.Get(kRetries, true)); }),
            "Modbus exception - 4\nModbus exception - 4\n");
  EXPECT_EQ(server_->FramesHex(), (Hexes{kProductRead, kProductRead, kProductRead}));
  server_->ClearFrames();
  EXPECT_FALSE(client_.Get(0, true));
  EXPECT_FALSE(client_.Get(-1, true));
  EXPECT_FALSE(server_->WaitForFrames(1, 200)) << "no attempt, no request";
}

TEST_F(TcpClient, SplitReplyIsJudgedOnItsFirstSegment) {
  ASSERT_TRUE(ConnectClient());
  server_->SetFault(FrameKind::kRead, Fault::Split(9, 300).Times(1));
  client_.SetRequest(254, 3, 3001, 2);
  ASSERT_TRUE(client_.GetOnce(false)) << "9 bytes with byte count 4 is a reply";
  EXPECT_EQ(client_.registers[0], 0);
  // The rest of the first reply comes in front of the second reply.
  client_.SetRequest(254, 3, 3001, 2);
  EXPECT_FALSE(client_.GetOnce(false));
  client_.SetRequest(254, 3, 3001, 2);
  ASSERT_TRUE(client_.GetOnce(false));
  EXPECT_EQ(client_.registers[0], 4);
}

TEST_F(TcpClient, LateReplyIsTakenByTheNextAttempt) {
  ASSERT_TRUE(ConnectClient());
  server_->SetFault(FrameKind::kRead, Fault::Late(3500).Times(1));
  client_.SetRequest(254, 3, 3001, 2);
  EXPECT_EQ(Printed([&] { EXPECT_TRUE(client_.Get(kRetries, true)); }), "Modbus Get failed\n");
  EXPECT_EQ(client_.registers[0], 4);
  EXPECT_EQ(server_->FrameCount(), 2u);
}

TEST(TcpClientWithoutSocket, FailsAtTheFirstReadinessWait) {
  ModbusTcpClient client;
  client.SetRequest(254, 3, 3001, 2);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(client.GetOnce(true)); }), "Modbus Get failed\n");
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(client.Set70(1, true)); }), "");
  EXPECT_LT(MsSince(start), 500);
  EXPECT_NE(client.Close(), 0);
}

struct Set70Case {
  const char* what;
  Fault fault;
  bool succeeds;
};

TEST_F(TcpClient, AddressChangeAndItsAcknowledgement) {
  const Set70Case cases[] = {
      {"acknowledged", Fault::Late(0), true},
      {"another acknowledgement byte", Fault::Ack(0x42), false},
      {"8 bytes", Fault::Short(8), false},
      {"9 bytes", Fault::Short(9), true},
      {"exception", Fault::Exception(1), false},
      {"connection closed", Fault::Close(), false},
  };
  for (const Set70Case& c : cases) {
    ModbusTcpClient client;
    ASSERT_TRUE(client.Connect(server_->Address(), kModbusTcpPort, false)) << c.what;
    server_->ClearFrames();
    server_->SetFault(FrameKind::kSetAddress, c.fault);
    bool result = !c.succeeds;
    EXPECT_EQ(Printed([&] { result = client.Set70(17, true); }),
              c.succeeds ? "" : "Modbus Set70 failed\n")
        << c.what;
    EXPECT_EQ(result, c.succeeds) << c.what;
    EXPECT_EQ(server_->FramesHex(), Hexes{"00 01 00 00 00 04 FE 46 0B 11"}) << c.what;
  }
}

TEST_F(TcpClient, CheckReadGoesToTheNewAddress) {
  ASSERT_TRUE(ConnectClient());
  ASSERT_TRUE(client_.Set70(1, true));
  client_.SetRequest(1, 3, 7, 1);
  ASSERT_TRUE(client_.Get(kRetries, true));
  EXPECT_EQ(client_.registers[0], 1);
  EXPECT_EQ(server_->ModbusAddress(), 1);
  EXPECT_EQ(server_->FramesHex(),
            (Hexes{"00 01 00 00 00 04 FE 46 0B 01", "00 00 00 00 00 06 01 03 00 06 00 01"}));
}

TEST_F(TcpClient, DestructorClosesTheSocket) {
  {
    ModbusTcpClient client;
    ASSERT_TRUE(client.Connect(server_->Address(), kModbusTcpPort, false));
  }
  EXPECT_TRUE(server_->WaitForClosedByPeer(1, 2000));
}

}  // namespace
