// IPIPS, IPGETSTATUS and IPSETMODBUS against the module on Modbus TCP (127.0.0.N port 502), and
// on Linux in network namespaces the test makes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "status_report_text.h"
#include "tests/support/net_namespace.h"
#include "tests/support/tcp_module_server.h"

namespace e2e {
namespace {

using modsim::Fault;
using modsim::FrameKind;
using Clock = std::chrono::steady_clock;
using Hexes = std::vector<std::string>;

const char kProductRead[] = "00 00 00 00 00 06 FE 03 0B B8 00 02";
const char kInputRead[] = "00 00 00 00 00 06 FE 03 03 E8 00 0A";
const char kOutputRead[] = "00 00 00 00 00 06 FE 03 07 D0 00 0C";

long Ms(Clock::duration duration) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

std::string Header(const std::string& address) {
  return "\n\nPolling " + address + "\n--------------------\n";
}

class NetworkCommands : public ToolTest {
 protected:
  std::vector<std::string> Args(std::vector<std::string> rest) {
    rest.insert(rest.begin(), "NOWARN");
    return rest;
  }
};

// With the module on an address of this test's own.
class NetworkCommandsWithModule : public NetworkCommands {
 protected:
  void SetUp() override {
    std::string error;
    if (!module_.Start(&error)) {
      if (module_.PermissionDenied()) GTEST_SKIP() << "port 502 needs root: " << error;
      FAIL() << error;
    }
    FillStatus(module_);
  }

  modsim::TcpModuleServer module_;
};

TEST_F(NetworkCommandsWithModule, GetStatusTwoCyclesThenTheModuleGoesSilent) {
  module_.StopAfter(6);
  const Clock::time_point start = Clock::now();
  const testsupport::RunResult result = Run(Args({"IPGETSTATUS", module_.Address()}));
  const long elapsed = Ms(Clock::now() - start);
  EXPECT_EQ(result.out, Header(module_.Address()) + kCycle + kCycle + "\n");
  EXPECT_EQ(result.exitStatus, 0);
  const std::vector<modsim::TcpFrame> frames = module_.Frames();
  Hexes hexes;
  for (const modsim::TcpFrame& frame : frames) hexes.push_back(modsim::Hex(frame.bytes));
  EXPECT_EQ(hexes, (Hexes{kProductRead, kInputRead, kOutputRead, kProductRead, kInputRead,
                          kOutputRead, kProductRead, kProductRead, kProductRead}));
  ASSERT_EQ(frames.size(), 9u);
  for (const modsim::TcpFrame& frame : frames) EXPECT_EQ(frame.connection, 0);
  // 100 ms after the product block, 100 ms before the output block, 1000 ms after it.
  EXPECT_GE(Ms(frames[1].receivedAt - frames[0].receivedAt), 100);
  EXPECT_GE(Ms(frames[3].receivedAt - frames[2].receivedAt), 1100);
  const long period = Ms(frames[3].receivedAt - frames[0].receivedAt);
  EXPECT_GE(period, 1200);
  EXPECT_LT(period, 1500);
  // Three silent attempts of 3 s each end the command.
  EXPECT_GE(elapsed, 2 * 1200 + 3 * 3000);
}

TEST_F(NetworkCommandsWithModule, GetStatusStopsAfterTheLastCompleteBlock) {
  struct Case {
    int answered;
    std::string out;
  };
  const std::string header = Header(module_.Address());
  const Case cases[] = {
      {0, header + "\n"},
      {1, header + ProductBlock(1, 12) + "\n"},
      {2, header + ProductBlock(1, 12) + kInputs + "\n"},
      {3, header + kCycle + "\n"},
      {4, header + kCycle + ProductBlock(1, 12) + "\n"},
  };
  for (const Case& c : cases) {
    // The connection breaks: every later attempt fails at once.
    module_.StopAfter(c.answered, true);
    const testsupport::RunResult result = Run(Args({"IPGETSTATUS", module_.Address()}));
    EXPECT_EQ(result.out, c.out) << c.answered << " requests answered";
    EXPECT_EQ(result.exitStatus, 0);
  }
}

TEST_F(NetworkCommandsWithModule, GetStatusPrintsFullValuesAndZerosForValuesNotCarried) {
  module_.SetRegister(3001, 65535);
  module_.SetRegister(1010, 65535);
  module_.SetRegister(2011, 7);
  // Eleven of the twelve outputs: header, unit, function, byte count and 22 data bytes.
  // The product and input replies are shorter than that and pass whole.
  module_.SetFault(FrameKind::kRead, Fault::Short(9 + 22));
  module_.StopAfter(3, true);
  const testsupport::RunResult result = Run({"IPGETSTATUS", "NOWARN", module_.Address(), "extra"});
  EXPECT_EQ(result.out, Header(module_.Address()) + ProductBlock(65535, 12) +
                            NumberedBlock("Input", 9, 100) + "Input-10\t65535\n" +
                            NumberedBlock("Output", 10, 200) + "Output-11\t7\nOutput-12\t0\n\n\n");
}

TEST_F(NetworkCommandsWithModule, GetStatusEndsInSilenceWithoutAModule) {
  // Only dotted text passes the address check; where nothing listens the connection is refused.
  for (const std::string address :
       {"localhost", "192.168.0.300", "127.0.0.1.5", modsim::kNoModuleAddress}) {
    const testsupport::RunResult result = Run(Args({"IPGETSTATUS", address}));
    EXPECT_EQ(result.out, "\n\n") << address;
    EXPECT_EQ(result.exitStatus, 0) << address;
  }
  EXPECT_FALSE(module_.WaitForConnections(1, 200)) << "nothing connected";
}

TEST_F(NetworkCommands, TooFewArgumentsPrintTheUsage) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"IPGETSTATUS"}, {"IPSETMODBUS", "127.0.0.1"}, {"ipsetmodbus"}}) {
    const testsupport::RunResult result = Run(Args(args));
    EXPECT_EQ(result.out, "\n\n" + UsageText()) << args.front();
    EXPECT_EQ(result.exitStatus, 2) << args.front();
  }
}

TEST_F(NetworkCommandsWithModule, SetModbusChangesTheAddressAndChecksAtTheNewOne) {
  const testsupport::RunResult result = Run(Args({"IPSETMODBUS", module_.Address(), "1"}));
  EXPECT_EQ(result.out, "\nModbus address successfully changed\n\n");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(module_.FramesHex(),
            (Hexes{"00 01 00 00 00 04 FE 46 0B 01", "00 00 00 00 00 06 01 03 00 06 00 01"}));
  EXPECT_EQ(module_.ModbusAddress(), 1);
  // The tool's close reaches the server's thread a moment after the tool has exited.
  EXPECT_TRUE(module_.WaitForClosedByPeer(1, 2000));
  EXPECT_EQ(module_.ConnectionsClosedByPeer(), 1);
}

TEST_F(NetworkCommandsWithModule, SetModbusAcceptsAddress255) {
  const testsupport::RunResult result = Run(Args({"IPSETMODBUS", module_.Address(), "255"}));
  EXPECT_EQ(result.out, "\nModbus address successfully changed\n\n");
  EXPECT_EQ(module_.FramesHex(),
            (Hexes{"00 01 00 00 00 04 FE 46 0B FF", "00 00 00 00 00 06 FF 03 00 06 00 01"}));
}

TEST_F(NetworkCommandsWithModule, SetModbusRejectsTheAddressBeforeAnyPacket) {
  for (const char* newAddress : {"0", "256", "text", "-1", "4294967297"}) {
    const testsupport::RunResult result = Run(Args({"IPSETMODBUS", module_.Address(), newAddress}));
    EXPECT_EQ(result.out, "\nError: Invalid Modbus address\n\n") << newAddress;
    EXPECT_EQ(result.exitStatus, 0) << newAddress;
  }
  EXPECT_FALSE(module_.WaitForConnections(1, 200)) << "nothing connected";
}

struct SetModbusFailure {
  const char* what;
  FrameKind kind;
  Fault fault;
  const char* line;
  std::size_t frames;
};

TEST_F(NetworkCommandsWithModule, SetModbusFailures) {
  const SetModbusFailure cases[] = {
      {"another acknowledgement", FrameKind::kSetAddress, Fault::Ack(0x42), "Modbus Set70 failed",
       1},
      {"8-byte acknowledgement", FrameKind::kSetAddress, Fault::Short(8), "Modbus Set70 failed", 1},
      {"connection closed", FrameKind::kSetAddress, Fault::Close(), "Modbus Set70 failed", 1},
      {"check read refused", FrameKind::kRead, Fault::Exception(2),
       "Error: New Modbus address failed to respond", 4},
      {"check read of a foreign transaction", FrameKind::kRead, Fault::WrongTransaction(7),
       "Error: New Modbus address failed to respond", 4},
  };
  for (const SetModbusFailure& c : cases) {
    module_.ClearFaults();
    module_.ClearFrames();
    module_.SetFault(c.kind, c.fault);
    const testsupport::RunResult result = Run(Args({"IPSETMODBUS", module_.Address(), "9"}));
    EXPECT_EQ(result.out, "\n" + std::string(c.line) + "\n\n") << c.what;
    EXPECT_EQ(result.exitStatus, 0) << c.what;
    const Hexes frames = module_.FramesHex();
    ASSERT_EQ(frames.size(), c.frames) << c.what;
    EXPECT_EQ(frames[0], "00 01 00 00 00 04 FE 46 0B 09") << c.what;
  }
}

TEST_F(NetworkCommandsWithModule, SetModbusAgainstASilentModule) {
  struct Case {
    FrameKind kind;
    const char* line;
    long atLeastMs;
  };
  const Case cases[] = {
      {FrameKind::kSetAddress, "Modbus Set70 failed", 3000},
      {FrameKind::kRead, "Error: New Modbus address failed to respond", 9000},
  };
  for (const Case& c : cases) {
    module_.ClearFaults();
    module_.SetFault(c.kind, Fault::Silent());
    const Clock::time_point start = Clock::now();
    const testsupport::RunResult result = Run(Args({"IPSETMODBUS", module_.Address(), "3"}));
    EXPECT_EQ(result.out, "\n" + std::string(c.line) + "\n\n");
    EXPECT_GE(Ms(Clock::now() - start), c.atLeastMs);
  }
}

TEST_F(NetworkCommands, SetModbusToNoModuleEndsInSilence) {
  const testsupport::RunResult result = Run(Args({"IPSETMODBUS", modsim::kNoModuleAddress, "5"}));
  EXPECT_EQ(result.out, "\n\n");
  EXPECT_EQ(result.exitStatus, 0);
}

bool IsListedAddress(const std::string& line) {
  in_addr parsed{};
  return inet_pton(AF_INET, line.c_str(), &parsed) == 1 && line != "0.0.0.0";
}

TEST_F(NetworkCommands, IpIpsListsDottedAddressesOrSaysThereAreNone) {
  const testsupport::RunResult result = Run(Args({"IPIPS"}));
  EXPECT_EQ(result.exitStatus, 0);
  ASSERT_GE(result.out.size(), 2u);
  EXPECT_EQ(result.out.front(), '\n');
  EXPECT_EQ(result.out.back(), '\n');
  std::istringstream lines(result.out.substr(1, result.out.size() - 2));
  std::vector<std::string> listed;
  for (std::string line; std::getline(lines, line);) listed.push_back(line);
  if (listed != std::vector<std::string>{"No IP addresses found on this computer"}) {
    for (const std::string& line : listed) EXPECT_TRUE(IsListedAddress(line)) << line;
  }
  EXPECT_EQ(Run(Args({"ipips", "1", "2"})).out, result.out) << "surplus arguments are ignored";
}

// The tool inside namespaces: adapters it can list and a host that ignores echo requests.
class NetworkCommandsInNamespaces : public NetworkCommands {
 protected:
  void SetUp() override {
    if (UnderWine()) GTEST_SKIP() << "Wine's sockets and adapters live outside the namespace";
    std::string why;
    if (!testsupport::NetNamespace::Available(&why)) GTEST_SKIP() << why;
  }

  testsupport::RunResult RunIn(const testsupport::NetNamespace& ns,
                               const std::vector<std::string>& args) {
    std::vector<std::string> command = testsupport::ToolCommand();
    command.insert(command.end(), args.begin(), args.end());
    return ns.Run(command, 60000);
  }
};

TEST_F(NetworkCommandsInNamespaces, IpIpsListsTheEthernetAddresses) {
  testsupport::NetNamespace ns("ipips");
  std::string why;
  ASSERT_TRUE(ns.Create(&why)) << why;
  ASSERT_TRUE(testsupport::AddVethPair(ns, "mxa", ns, "mxb", &why)) << why;
  ASSERT_TRUE(ns.Ip({"addr", "add", "10.204.0.1/24", "dev", "mxa"}, &why)) << why;
  ASSERT_TRUE(ns.Ip({"addr", "add", "10.204.0.2/24", "dev", "mxa"}, &why)) << why;
  const testsupport::RunResult result = RunIn(ns, {"NOWARN", "IPIPS"});
  EXPECT_EQ(result.out, "\n10.204.0.1\n10.204.0.2\n\n");
  EXPECT_EQ(result.exitStatus, 0);
}

TEST_F(NetworkCommandsInNamespaces, IpIpsWithLoopbackAloneFindsNone) {
  testsupport::NetNamespace ns("lo");
  std::string why;
  ASSERT_TRUE(ns.Create(&why)) << why;
  const testsupport::RunResult result = RunIn(ns, {"NOWARN", "IPIPS"});
  EXPECT_EQ(result.out, "\nNo IP addresses found on this computer\n\n");
  EXPECT_EQ(result.exitStatus, 0);
}

TEST_F(NetworkCommandsInNamespaces, IpIpsWithAnAdapterWithoutAddressPrintsNothing) {
  testsupport::NetNamespace ns("bare");
  std::string why;
  ASSERT_TRUE(ns.Create(&why)) << why;
  ASSERT_TRUE(testsupport::AddVethPair(ns, "mxa", ns, "mxb", &why)) << why;
  const testsupport::RunResult result = RunIn(ns, {"NOWARN", "IPIPS"});
  EXPECT_EQ(result.out, "\n\n");
}

TEST_F(NetworkCommandsInNamespaces, NoEchoReplyMeansNoConnection) {
  testsupport::NetNamespace toolNs("tool");
  testsupport::NetNamespace moduleNs("module");
  std::string why;
  ASSERT_TRUE(toolNs.Create(&why)) << why;
  ASSERT_TRUE(moduleNs.Create(&why)) << why;
  ASSERT_TRUE(testsupport::AddVethPair(toolNs, "mxt", moduleNs, "mxm", &why)) << why;
  ASSERT_TRUE(toolNs.Ip({"addr", "add", "10.205.0.1/24", "dev", "mxt"}, &why)) << why;
  ASSERT_TRUE(moduleNs.Ip({"addr", "add", "10.205.0.2/24", "dev", "mxm"}, &why)) << why;
  modsim::TcpModuleServer module;
  FillStatus(module);
  ASSERT_TRUE(testsupport::RunInNamespace<bool>(moduleNs, [&] {
    return module.StartAt("10.205.0.2", modsim::kModbusTcpPort, &why);
  })) << why;
  module.StopAfter(3, true);

  // Answered: the module is reachable from the tool's namespace.
  testsupport::RunResult result = RunIn(toolNs, {"NOWARN", "IPGETSTATUS", "10.205.0.2"});
  EXPECT_EQ(result.out, Header("10.205.0.2") + kCycle + "\n");
  EXPECT_EQ(module.ConnectionsAccepted(), 1);

  ASSERT_TRUE(moduleNs.Sysctl("net.ipv4.icmp_echo_ignore_all", "1", &why)) << why;
  const Clock::time_point start = Clock::now();
  result = RunIn(toolNs, {"NOWARN", "IPGETSTATUS", "10.205.0.2"});
  EXPECT_EQ(result.out, "\n\n");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_GE(Ms(Clock::now() - start), 4000) << "four unanswered echo requests";
  EXPECT_FALSE(module.WaitForConnections(2, 300)) << "no connection without an echo reply";
}

}  // namespace
}  // namespace e2e
