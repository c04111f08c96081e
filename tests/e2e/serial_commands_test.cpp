// COMGETSTATUS, COMSETMODBUS and COMSETBAUD against the module simulator on a pseudo-terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "platform/clock.h"
#include "status_report_text.h"

namespace e2e {
namespace {

using modsim::Fault;
using modsim::FrameKind;
using Hexes = std::vector<std::string>;

const char kPrepare[] = "FE 46 0E 02 55 B8";
const char kCommit[] = "FE 46 08 23 96";

// Under Wine the open at 115000 fails on a pty: Wine gives a pty only the rates that termios has
// codes for.
const char kNoExactRateUnderWine[] = "Wine cannot set the non-standard rate 115000 on a pty";

struct FailureCase {
  const char* name;
  FrameKind kind;
  Fault fault;
  std::string line;
  Hexes frames;
};

class SerialCommands : public ToolTest {
 protected:
  // Each row on a fresh module with its fault: the one line printed and the frames it heard.
  template <std::size_t N>
  void ExpectFailureRows(const FailureCase (&cases)[N], const std::vector<std::string>& args) {
    for (const FailureCase& c : cases) {
      modules_.clear();
      modsim::ModuleSimulator& module = StartModule();
      module.SetFault(c.kind, c.fault);
      const testsupport::RunResult result = Run(Args(args));
      EXPECT_EQ(result.out, "\n" + c.line + "\n\n") << c.name;
      EXPECT_EQ(result.exitStatus, 0) << c.name;
      EXPECT_EQ(module.FramesHex(), c.frames) << c.name;
    }
  }

  std::vector<std::string> Args(std::vector<std::string> rest) {
    rest.insert(rest.begin(), "NOWARN");
    return rest;
  }
};

TEST_F(SerialCommands, GetStatusTwoCyclesThenTheModuleFallsSilent) {
  modsim::ModuleSimulator& module = StartModule();
  FillStatus(module);
  module.StopAfter(6);
  const std::uint32_t start = platform::TickCountMs();
  const testsupport::RunResult result = Run(Args({"COMGETSTATUS", "12", "19200"}));
  const std::uint32_t elapsed = platform::TickCountMs() - start;
  EXPECT_EQ(result.out, SerialPollHeader(12, 19200) + kCycle + kCycle + kSerialPollFailed);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(
      module.FramesHex(),
      (Hexes{"FE 03 0B B8 00 02 52 05", "FE 03 03 E8 00 0A 51 B2", "FE 03 07 D0 00 0C 51 4D",
             "FE 03 0B B8 00 02 52 05", "FE 03 03 E8 00 0A 51 B2", "FE 03 07 D0 00 0C 51 4D",
             "FE 03 0B B8 00 02 52 05", "FE 03 0B B8 00 02 52 05", "FE 03 0B B8 00 02 52 05"}));
  // Two cycles of three 250 ms waits and a 1 s pause, then three silent attempts of 550 ms.
  EXPECT_GE(elapsed, 2u * 1750u + 3u * 550u);
}

TEST_F(SerialCommands, GetStatusStopsWhereTheModuleStopped) {
  struct Case {
    int framesAnswered;
    std::string out;
  };
  const Case cases[] = {
      {0, SerialPollHeader(12, 19200) + kSerialPollFailed},
      {1, SerialPollHeader(12, 19200) + ProductBlock(1, 12) + kSerialPollFailed},
      {2, SerialPollHeader(12, 19200) + ProductBlock(1, 12) + kInputs + kSerialPollFailed},
      {4, SerialPollHeader(12, 19200) + kCycle + ProductBlock(1, 12) + kSerialPollFailed},
  };
  for (const Case& c : cases) {
    modules_.clear();
    modsim::ModuleSimulator& module = StartModule();
    FillStatus(module);
    module.StopAfter(c.framesAnswered);
    const testsupport::RunResult result = Run(Args({"COMGETSTATUS", "12", "19200"}));
    EXPECT_EQ(result.out, c.out) << c.framesAnswered << " frames answered";
    EXPECT_EQ(result.exitStatus, 0);
  }
}

TEST_F(SerialCommands, GetStatusPrintsFullSixteenBitValuesAndZerosForMissingOnes) {
  modsim::ModuleSimulator& module = StartModule();
  FillStatus(module);
  module.SetRegister(3001, 65535);
  module.SetRegister(1010, 65535);
  module.SetRegister(2012, 0);
  module.StopAfter(3);
  const testsupport::RunResult result = Run({"COMGETSTATUS", "NOWARN", "12", "19200"});
  EXPECT_EQ(result.out, SerialPollHeader(12, 19200) + ProductBlock(65535, 12) +
                            NumberedBlock("Input", 9, 100) + "Input-10\t65535\n" +
                            NumberedBlock("Output", 11, 200) + "Output-12\t0\n\n" +
                            kSerialPollFailed);
}

TEST_F(SerialCommands, GetStatusOpensAtExactly115000) {
  if (SkipUnderWine(kNoExactRateUnderWine)) GTEST_SKIP();
  modsim::ModuleOptions options;
  options.baudCode = 5;
  modsim::ModuleSimulator& module = StartModule(kPort, options);
  FillStatus(module);
  module.StopAfter(3);
  const testsupport::RunResult result = Run(Args({"COMGETSTATUS", "12", "115000"}));
  EXPECT_EQ(result.out, SerialPollHeader(12, 115000) + kCycle + kSerialPollFailed);
  ASSERT_GE(module.FrameCount(), 1u);
  EXPECT_EQ(module.Frames()[0].rate, 115000);
}

TEST_F(SerialCommands, GetStatusRejectsRatesBeforeOpening) {
  modsim::ModuleSimulator& module = StartModule();
  for (const char* rate : {"4800", "115200"}) {
    const testsupport::RunResult result = Run(Args({"COMGETSTATUS", "12", rate}));
    EXPECT_EQ(result.out, "\nError: Invalid baud rate\n\n") << rate;
  }
  EXPECT_EQ(Run(Args({"COMGETSTATUS", "COM12", "19200"})).out, "\nError: Invalid port\n\n");
  EXPECT_EQ(module.FrameCount(), 0u);
}

TEST_F(SerialCommands, SetModbusSendsPrepareWriteCommitAndChecksAt254) {
  modsim::ModuleSimulator& module = StartModule();
  const testsupport::RunResult result = Run(Args({"COMSETMODBUS", "12", "19200", "1"}));
  EXPECT_EQ(result.out, "\nModbus address successfully changed\n\n");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(module.FramesHex(),
            (Hexes{kPrepare, "FE 06 00 06 00 01 BC 04", kCommit, "FE 03 00 06 00 01 70 04"}));
  EXPECT_EQ(module.Address(), 1);
}

TEST_F(SerialCommands, SetModbusAcceptsAddressesUpTo255) {
  modsim::ModuleSimulator& module = StartModule();
  const testsupport::RunResult result = Run(Args({"COMSETMODBUS", "12", "19200", "250"}));
  EXPECT_EQ(result.out, "\nModbus address successfully changed\n\n");
  EXPECT_EQ(module.Address(), 250);
}

TEST_F(SerialCommands, SetModbusFailureRows) {
  const char* write = "FE 06 00 06 00 01 BC 04";
  const char* check = "FE 03 00 06 00 01 70 04";
  const std::string noAnswer = "Error: Module failed to respond using new Modbus address";
  const FailureCase cases[] = {
      {"prepare refused", FrameKind::kPrepare, Fault::Ack(0x61), "Modbus Set70 failed", {kPrepare}},
      {"prepare unanswered",
       FrameKind::kPrepare,
       Fault::Silent(),
       "Modbus Set70 failed",
       {kPrepare}},
      {"write exception",
       FrameKind::kWrite,
       Fault::Exception(2),
       "Modbus exception - 2",
       {kPrepare, write}},
      {"write unanswered",
       FrameKind::kWrite,
       Fault::Silent(),
       "Modbus Set failed",
       {kPrepare, write}},
      {"write bad crc", FrameKind::kWrite, Fault::BadCrc(), "Modbus Set failed", {kPrepare, write}},
      {"commit unanswered",
       FrameKind::kCommit,
       Fault::Silent(),
       "Modbus Set70 failed",
       {kPrepare, write, kCommit}},
      {"check read unanswered",
       FrameKind::kRead,
       Fault::Silent(),
       noAnswer,
       {kPrepare, write, kCommit, check, check, check}},
  };
  ExpectFailureRows(cases, {"COMSETMODBUS", "12", "19200", "1"});
}

TEST_F(SerialCommands, SetModbusAtTheWrongRateIsNotAcknowledged) {
  modsim::ModuleOptions options;
  options.baudCode = 1;  // the module listens at 9600
  modsim::ModuleSimulator& module = StartModule(kPort, options);
  const testsupport::RunResult result = Run(Args({"COMSETMODBUS", "12", "19200", "1"}));
  EXPECT_EQ(result.out, "\nModbus Set70 failed\n\n");
  ASSERT_EQ(module.FrameCount(), 1u);
  EXPECT_FALSE(module.Frames()[0].answered);
  EXPECT_EQ(module.Address(), 254);
}

TEST_F(SerialCommands, SetModbusWithoutAPort) {
  const testsupport::RunResult result = Run(Args({"COMSETMODBUS", "12", "19200", "1"}));
  EXPECT_EQ(result.out, "\nError: Failed to initialize COM port\n\n");
  EXPECT_EQ(result.exitStatus, 0);
}

TEST_F(SerialCommands, SetBaudReopensAtTheNewRateAfterAPause) {
  struct Case {
    const char* newRate;
    int code;
    const char* write;
  };
  const Case cases[] = {
      {"38400", 3, "FE 06 00 0D 00 03 4C 07"},
      {"115000", 5, "FE 06 00 0D 00 05 CC 05"},
      {"19200", 2, "FE 06 00 0D 00 02 8D C7"},
      {"9600", 1, "FE 06 00 0D 00 01 CD C6"},
  };
  for (const Case& c : cases) {
    if (c.code == 5 && SkipUnderWine(kNoExactRateUnderWine)) continue;
    modules_.clear();
    modsim::ModuleSimulator& module = StartModule();
    const testsupport::RunResult result = Run(Args({"COMSETBAUD", "12", "19200", c.newRate}));
    EXPECT_EQ(result.out, "\nBaud rate successfully changed\n\n") << c.newRate;
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(module.FramesHex(), (Hexes{kPrepare, c.write, kCommit, "FE 03 00 0D 00 01 01 C6"}))
        << c.newRate;
    EXPECT_EQ(module.BaudCode(), c.code);
    const std::vector<modsim::ReceivedFrame> frames = module.Frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[2].rate, 19200);
    EXPECT_EQ(frames[3].rate, std::atoi(c.newRate)) << "the check read goes out at the new rate";
  }
}

TEST_F(SerialCommands, SetBaudClosesAndPausesBeforeTheCheckRead) {
  std::vector<std::uint32_t> arrivals;
  std::mutex arrivalsMutex;
  modules_.push_back(std::make_unique<modsim::ModuleSimulator>(comDirectory_.Link(kPort)));
  modules_.back()->SetFrameObserver([&](const modsim::ReceivedFrame&) {
    std::lock_guard<std::mutex> lock(arrivalsMutex);
    arrivals.push_back(platform::TickCountMs());
  });
  ASSERT_TRUE(modules_.back()->Start());
  Run(Args({"COMSETBAUD", "12", "19200", "38400"}));
  std::lock_guard<std::mutex> lock(arrivalsMutex);
  ASSERT_EQ(arrivals.size(), 4u);
  // After Commit: its 250 ms wait, the close, the 100 ms pause, the reopen, the check read.
  EXPECT_GE(arrivals[3] - arrivals[2], 350u);
}

TEST_F(SerialCommands, SetBaudFailureRows) {
  const char* write = "FE 06 00 0D 00 03 4C 07";
  const char* check = "FE 03 00 0D 00 01 01 C6";
  const FailureCase cases[] = {
      {"prepare refused", FrameKind::kPrepare, Fault::Ack(0x00), "Modbus Set70 failed", {kPrepare}},
      {"write exception",
       FrameKind::kWrite,
       Fault::Exception(3),
       "Modbus exception - 3",
       {kPrepare, write}},
      {"write short", FrameKind::kWrite, Fault::Short(2), "Modbus Set failed", {kPrepare, write}},
      {"commit refused",
       FrameKind::kCommit,
       Fault::Ack(0x61),
       "Modbus Set70 failed",
       {kPrepare, write, kCommit}},
      {"check read unanswered",
       FrameKind::kRead,
       Fault::Silent(),
       "Error: Module failed to respond using new baud rate",
       {kPrepare, write, kCommit, check, check, check}},
  };
  ExpectFailureRows(cases, {"COMSETBAUD", "12", "19200", "38400"});
}

TEST_F(SerialCommands, SetBaudWhosePortVanishesBeforeTheReopen) {
  const std::string link = comDirectory_.Link(kPort);
  modules_.push_back(std::make_unique<modsim::ModuleSimulator>(link));
  modules_.back()->SetFrameObserver([link](const modsim::ReceivedFrame& frame) {
    if (frame.bytes.size() == 5) unlink(link.c_str());  // the Commit
  });
  ASSERT_TRUE(modules_.back()->Start());
  const testsupport::RunResult result = Run(Args({"COMSETBAUD", "12", "19200", "38400"}));
  EXPECT_EQ(result.out, "\nError: Failed to initialize COM port\n\n");
  EXPECT_EQ(result.exitStatus, 0);
}

}  // namespace
}  // namespace e2e
