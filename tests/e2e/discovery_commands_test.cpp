// COMPORTS and COMSCAN end to end: the ports come from a registry fixture, each one a module
// simulator (or a silent one) on a pseudo-terminal linked as its COM port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "e2e_support.h"
#include "platform/clock.h"
#include "tests/support/holder_process.h"
#include "tests/support/registry_fixture.h"

namespace e2e {
namespace {

using modsim::Fault;
using modsim::FrameKind;

constexpr char kProductRead[] = "FE 03 0B B8 00 01 12 04";
constexpr int kScanRates[] = {9600, 19200, 38400, 57600, 115000};
// Three attempts of a 250 ms reply wait and a 300 ms read: a trial that finds nothing.
constexpr std::uint32_t kSilentTrialMs = 3 * 550;

// The registry the tool reads in this run: keys made in the Wine prefix by `wine reg add` for the
// exe, a directory for the Linux tool.
std::unique_ptr<testsupport::RegistryFixture> MakeRegistry() {
  if (UnderWine()) return std::make_unique<testsupport::WineRegistry>();
  auto directory = std::make_unique<testsupport::RegistryDirectory>();
  if (!directory->Ready()) return nullptr;
  return directory;
}

std::string ScanLine(int port, int rate) {
  return "Scanning Port " + std::to_string(port) + " Baud Rate " + std::to_string(rate);
}

std::string SilentPortLines(int port) {
  std::string lines;
  for (const int rate : kScanRates) lines += ScanLine(port, rate) + "\n";
  return lines;
}

modsim::ModuleOptions AtRate(int baudCode, int product = 1) {
  modsim::ModuleOptions options;
  options.baudCode = baudCode;
  options.product = static_cast<std::uint16_t>(product);
  return options;
}

class DiscoveryCommands : public ToolTest {
 protected:
  void SetUp() override {
    registry_ = MakeRegistry();
    if (registry_ == nullptr) {
      GTEST_SKIP() << "no registry fixture: no temporary directory";
    }
    // The tool inherits the test's environment, so the registry reaches every run of it.
    for (const auto& [name, value] : registry_->Environment()) {
      ASSERT_EQ(setenv(name.c_str(), value.c_str(), 1), 0);
      set_.push_back(name);
    }
  }
  void TearDown() override {
    for (const std::string& name : set_) unsetenv(name.c_str());
  }

  void AddPort(const char* root, const std::string& device, const std::string& instance,
               const std::string& friendlyName, int port) {
    ASSERT_TRUE(registry_->AddPort(std::string(root) + "\\" + device + "\\" + instance,
                                   friendlyName, "COM" + std::to_string(port)));
  }

  // A module on COM`port` that hears every frame and answers none.
  modsim::ModuleSimulator& StartSilentModule(int port) {
    modsim::ModuleSimulator& module = StartModule(port);
    module.SetFault(FrameKind::kAny, Fault::Silent());
    return module;
  }

  testsupport::RunResult RunTimed(const std::vector<std::string>& args, std::uint32_t& elapsedMs) {
    const std::uint32_t start = platform::TickCountMs();
    testsupport::RunResult result = Run(args);
    elapsedMs = platform::TickCountMs() - start;
    return result;
  }

  std::unique_ptr<testsupport::RegistryFixture> registry_;

 private:
  std::vector<std::string> set_;
};

TEST_F(DiscoveryCommands, WithoutPortsBothCommandsSayNoSerialPortsFound) {
  // Registered once, unplugged now; another key is a printer port.
  AddPort(kFtdi, "VID_0403+PID_6001+A", "0000", "USB Serial Port (COM14)", 14);
  ASSERT_TRUE(
      registry_->AddPort(std::string(kAcpi) + "\\PNP0400\\0", "Printer Port (LPT1)", "LPT1"));
  const std::vector<std::vector<std::string>> runs = {{"NOWARN", "COMPORTS"},
                                                      {"NOWARN", "COMSCAN"},
                                                      {"comports", "nowarn", "x"},
                                                      {"NOWARN", "COMSCAN", "12"}};
  for (const auto& args : runs) {
    SCOPED_TRACE(args[1]);
    const testsupport::RunResult result = Run(args);
    EXPECT_EQ(result.out, Framed("No serial ports found\n"));
    EXPECT_EQ(result.exitStatus, 0);
  }
}

TEST_F(DiscoveryCommands, ComPortsListsThePortsRootByRootWithTheirKindAndName) {
  AddPort(kUsb, "VID_2341&PID_0043", "85735313", "Arduino Uno (COM11)", 11);
  AddPort(kFtdi, "VID_0403+PID_6001+A9XX", "0000", "USB Serial Port (COM13)", 13);
  AddPort(kFtdi, "VID_0403+PID_6001+A7XX", "0000", "USB Serial Port (COM12)", 12);
  AddPort(kAcpi, "PNP0501", "1", "Communications Port (COM10)", 10);
  ASSERT_TRUE(registry_->AddString(std::string(kUsb) + "\\VID_2341&PID_0043\\85735313",
                                   "FriendlyName", "  Arduino Uno (COM11)\r\n"));
  for (const int port : {10, 11, 12, 13}) StartModule(port);
  const std::string listing =
      "COM12\tFTDI - USB Serial Port (COM12)\n"
      "COM13\tFTDI - USB Serial Port (COM13)\n"
      "COM10\tFixed - Communications Port (COM10)\n"
      "COM11\tUSB - Arduino Uno (COM11)\n";
  for (const auto& args : std::vector<std::vector<std::string>>{{"NOWARN", "COMPORTS"},
                                                                {"ComPorts", "1", "2", "NOWARN"}}) {
    const testsupport::RunResult result = Run(args);
    EXPECT_EQ(result.out, Framed(listing));
    EXPECT_EQ(result.exitStatus, 0);
  }
  for (const auto& module : modules_) {
    EXPECT_EQ(module->FrameCount(), 0u) << "COMPORTS sends nothing";
  }
}

TEST_F(DiscoveryCommands, ComScanTriesAllFiveRatesOnAPortWithoutAModule) {
  AddPort(kUsb, "VID_1A86&PID_7523", "5&1", "USB-SERIAL CH340 (COM12)", 12);
  modsim::ModuleSimulator& module = StartSilentModule(12);
  std::uint32_t elapsedMs = 0;
  const testsupport::RunResult result = RunTimed({"NOWARN", "COMSCAN"}, elapsedMs);
  EXPECT_EQ(result.out, Framed(SilentPortLines(12)));
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_GE(elapsedMs, 5 * kSilentTrialMs);
  if (UnderWine()) return;  // Wine cannot set 115000 on a pty: that trial's open fails there.
  std::vector<int> rates;
  for (const modsim::ReceivedFrame& frame : module.Frames()) {
    EXPECT_EQ(modsim::Hex(frame.bytes), kProductRead);
    rates.push_back(frame.rate);
  }
  std::vector<int> expected;
  for (const int rate : kScanRates) expected.insert(expected.end(), 3, rate);
  EXPECT_EQ(rates, expected);
}

TEST_F(DiscoveryCommands, ComScanStopsAtTheSecondRateWhereTheModuleAnswers) {
  AddPort(kFtdi, "VID_0403+PID_6001+A", "0000", "USB Serial Port (COM12)", 12);
  modsim::ModuleSimulator& module = StartModule(12, AtRate(2, 1));
  const testsupport::RunResult result = Run({"NOWARN", "COMSCAN"});
  EXPECT_EQ(result.out,
            Framed(ScanLine(12, 9600) + "\n" + ScanLine(12, 19200) + "\tFound RM-16A\n"));
  EXPECT_EQ(result.exitStatus, 0);
  const std::vector<std::string> frames = module.FramesHex();
  EXPECT_EQ(frames, std::vector<std::string>(4, kProductRead));
}

TEST_F(DiscoveryCommands, ComScanNamesTheModelByItsProductCode) {
  const std::pair<int, const char*> cases[] = {
      {1, "RM-16A"}, {2, "RM-16U"},         {3, "RM-24C"},         {4, "RM-18A"},
      {5, "RM-26A"}, {0, "Unknown Device"}, {6, "Unknown Device"}, {65535, "Unknown Device"},
  };
  AddPort(kAcpi, "PNP0501", "0", "Communications Port (COM15)", 15);
  for (const auto& [product, model] : cases) {
    SCOPED_TRACE(product);
    modules_.clear();
    StartModule(15, AtRate(1, product));
    const testsupport::RunResult result = Run({"NOWARN", "COMSCAN"});
    EXPECT_EQ(result.out, Framed(ScanLine(15, 9600) + "\tFound " + model + "\n"));
    EXPECT_EQ(result.exitStatus, 0);
  }
}

TEST_F(DiscoveryCommands, ComScanReportsOnlyTheFirstPortWithAModule) {
  // Discovery order: FTDI before USB, so COM13 is scanned before COM12.
  AddPort(kUsb, "VID_2341&PID_0043", "1", "Arduino Uno (COM12)", 12);
  AddPort(kFtdi, "VID_0403+PID_6001+A", "0000", "USB Serial Port (COM13)", 13);
  modsim::ModuleSimulator& later = StartModule(12, AtRate(1, 2));
  StartModule(13, AtRate(3, 3));
  const testsupport::RunResult result = Run({"NOWARN", "COMSCAN"});
  EXPECT_EQ(result.out, Framed(ScanLine(13, 9600) + "\n" + ScanLine(13, 19200) + "\n" +
                               ScanLine(13, 38400) + "\tFound RM-24C\n"));
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(later.FrameCount(), 0u) << "a later port is not tried";
}

TEST_F(DiscoveryCommands, ComScanTriesAPortListedTwiceAgainAfterAFirstPassFoundNothing) {
  AddPort(kFtdi, "VID_0403+PID_6001+A", "0000", "USB Serial Port (COM16)", 16);
  AddPort(kUsb, "VID_0403&PID_6001", "A", "USB Serial Port (COM16)", 16);
  // Deaf to the first pass's three requests at its own rate, then it answers.
  modsim::ModuleSimulator& module = StartModule(16, AtRate(1, 4));
  module.SetFault(FrameKind::kRead, Fault::Silent().Times(3));
  const testsupport::RunResult result = Run({"NOWARN", "COMSCAN", "ignored"});
  EXPECT_EQ(result.out, Framed(SilentPortLines(16) + ScanLine(16, 9600) + "\tFound RM-18A\n"));
  EXPECT_EQ(result.exitStatus, 0);
}

// A scan of two ports without modules: every trial waits out its three attempts.
TEST_F(DiscoveryCommands, ComScanOverTwoSilentPortsTakesTheirTrialsAndLittleMore) {
  AddPort(kFtdi, "VID_0403+PID_6001+A", "0000", "USB Serial Port (COM17)", 17);
  AddPort(kFtdi, "VID_0403+PID_6001+B", "0000", "USB Serial Port (COM18)", 18);
  StartSilentModule(17);
  StartSilentModule(18);
  std::uint32_t elapsedMs = 0;
  const testsupport::RunResult result = RunTimed({"NOWARN", "COMSCAN"}, elapsedMs);
  EXPECT_EQ(result.out, Framed(SilentPortLines(17) + SilentPortLines(18)));
  const std::uint32_t minimumMs = 2 * 5 * kSilentTrialMs;
  RecordProperty("elapsed_ms", static_cast<int>(elapsedMs));
  RecordProperty("overhead_ms", static_cast<int>(elapsedMs - minimumMs));
  EXPECT_GE(elapsedMs, minimumMs);
  // The rest is process start, the probes and ten opens and closes.
  EXPECT_LT(elapsedMs, minimumMs + 3000);
}

int OpenPlainly(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// The tty's exclusive flag as seen through a descriptor of our own (root passes it), or -1.
int ExclusiveFlag(const std::string& path) {
  const int fd = OpenPlainly(path);
  int exclusive = -1;
  if (fd >= 0 && ioctl(fd, TIOCGEXCL, &exclusive) != 0) exclusive = -1;
  if (fd >= 0) close(fd);
  return exclusive;
}

// Two ports that other programs hold, each with a module at 9600 that the scan would find first,
// and a free one behind them.
TEST_F(DiscoveryCommands, PortsThatOtherProgramsHoldAreNeitherListedNorScannedNorOpened) {
  if (SkipUnderWine("Wine opens COM ports without exclusivity")) GTEST_SKIP();
  AddPort(kFtdi, "VID_0403+PID_6001+A", "0000", "Held by screen (COM12)", 12);
  AddPort(kFtdi, "VID_0403+PID_6001+B", "0000", "Held exclusively (COM13)", 13);
  AddPort(kUsb, "VID_1A86&PID_7523", "5&1", "Free (COM14)", 14);
  modsim::ModuleSimulator& plainlyHeld = StartModule(12, AtRate(1));
  modsim::ModuleSimulator& exclusivelyHeld = StartModule(13, AtRate(1));
  StartModule(14, AtRate(1, 2));

  // A terminal program or a script: a plain open, no lock, no flag.
  const std::string plainSlave = plainlyHeld.SlavePath();
  testsupport::HolderProcess plainHolder;
  ASSERT_TRUE(plainHolder.Start([&plainSlave] { return OpenPlainly(plainSlave) >= 0; }));
  const std::string exclusiveSlave = exclusivelyHeld.SlavePath();
  testsupport::HolderProcess exclusiveHolder;
  int exclusiveFd = -1;
  ASSERT_TRUE(exclusiveHolder.Start(
      [&exclusiveSlave, &exclusiveFd] {
        exclusiveFd = OpenPlainly(exclusiveSlave);
        return exclusiveFd >= 0 && ioctl(exclusiveFd, TIOCEXCL) == 0;
      },
      [&exclusiveFd] { ioctl(exclusiveFd, TIOCNXCL); }));

  struct RunCase {
    std::vector<std::string> args;
    std::string out;
  };
  const std::string refused = Framed("Error: Failed to initialize COM port\n");
  std::vector<RunCase> runs = {
      {{"NOWARN", "COMPORTS"}, Framed("COM14\tUSB - Free (COM14)\n")},
      {{"NOWARN", "COMSCAN"}, Framed(ScanLine(14, 9600) + "\tFound RM-16U\n")},
  };
  for (const char* port : {"12", "13"}) {
    runs.push_back({{"NOWARN", "COMGETSTATUS", port, "19200"}, refused});
    runs.push_back({{"NOWARN", "COMSETMODBUS", port, "9600", "1"}, refused});
    runs.push_back({{"NOWARN", "COMSETBAUD", port, "9600", "38400"}, refused});
  }
  for (const RunCase& run : runs) {
    SCOPED_TRACE(run.args[1] + (run.args.size() > 2 ? " " + run.args[2] : ""));
    const testsupport::RunResult result = Run(run.args);
    EXPECT_EQ(result.out, run.out);
    EXPECT_EQ(result.exitStatus, 0);
  }
  EXPECT_EQ(plainlyHeld.FrameCount(), 0u);
  EXPECT_EQ(exclusivelyHeld.FrameCount(), 0u);
  EXPECT_EQ(plainlyHeld.Rate(), 9600);
  if (geteuid() == 0) {
    // Root's open passes the flag; the tool's must have left it to its owner.
    EXPECT_EQ(ExclusiveFlag(exclusiveSlave), 1);
  }
}

}  // namespace
}  // namespace e2e
