// Port discovery over registry trees read from a directory, with the COM ports mapped to
// pseudo-terminals, so that the probe opens real ttys and never a port of the machine.
#include "devlink/port_discovery.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devlink/serial_port.h"
#include "platform/comm.h"
#include "platform/posix/port_holders.h"
#include "tests/platform/pty_pair.h"
#include "tests/support/holder_process.h"
#include "tests/support/registry_fixture.h"

namespace {

using testsupport::HolderProcess;

using Texts = std::vector<std::string>;

constexpr char kFtdi[] = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
constexpr char kAcpi[] = "SYSTEM\\CurrentControlSet\\Enum\\ACPI";
constexpr char kUsb[] = "SYSTEM\\CurrentControlSet\\Enum\\USB";

std::string Key(const char* root, const std::string& device, const std::string& instance) {
  return std::string(root) + "\\" + device + "\\" + instance;
}

class PortDiscovery : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(registry.Ready());
    ASSERT_TRUE(comDir.Ready());
    ASSERT_EQ(setenv("MX40R_REGISTRY_DIR", registry.Path().c_str(), 1), 0);
    ASSERT_EQ(setenv("MX40R_COM_DIR", comDir.Path().c_str(), 1), 0);
  }
  void TearDown() override {
    unsetenv("MX40R_REGISTRY_DIR");
    unsetenv("MX40R_COM_DIR");
  }

  // COM<port> is a pseudo-terminal from now on.
  const std::string& Plug(int port) {
    auto pty = std::make_unique<PtyPair>();
    EXPECT_TRUE(pty->Open(PtyPair::Mode::kRaw));
    const std::string link = comDir.Path() + "/COM" + std::to_string(port);
    EXPECT_EQ(symlink(pty->SlavePath().c_str(), link.c_str()), 0) << link;
    ptys[port] = std::move(pty);
    return ptys[port]->SlavePath();
  }

  void AddPort(const std::string& instanceKey, const std::string& friendlyName,
               const std::string& portName) {
    ASSERT_TRUE(registry.AddPort(instanceKey, friendlyName, portName)) << instanceKey;
  }

  struct Found {
    int count = 0;
    Texts names;
    Texts numbers;
    Texts descriptions;
    std::string printed;
  };

  // One listing, as one run of the tool makes it: the tests change who holds what between two
  // listings far faster than a probe's look is shared.
  static Found Discover(bool report = false) {
    platform::port_holders::ForgetSharedLook();
    Found found;
    testing::internal::CaptureStdout();
    found.count = FindSerialPorts(&found.names, &found.numbers, &found.descriptions, report);
    found.printed = testing::internal::GetCapturedStdout();
    return found;
  }

  testsupport::RegistryDirectory registry;
  // Only the name of the directory is used; the links in it go with it.
  testsupport::RegistryDirectory comDir;
  std::map<int, std::unique_ptr<PtyPair>> ptys;
};

TEST_F(PortDiscovery, PortsComeOutRootByRootInTheOrderOfTheWalk) {
  AddPort(Key(kUsb, "VID_2341&PID_0043", "ttyACM0"), "Arduino Uno", "COM3");
  AddPort(Key(kFtdi, "VID_0403+PID_6001+B", "0000"), "USB Serial Port (COM11)", "COM11");
  AddPort(Key(kFtdi, "VID_0403+PID_6001+A", "0001"), "USB Serial Port (COM12)", "COM12");
  AddPort(Key(kFtdi, "VID_0403+PID_6001+A", "0000"), "USB Serial Port (COM10)", "COM10");
  AddPort(Key(kAcpi, "PNP0501", "1"), "Communications Port (COM4)", "COM4");
  for (const int port : {3, 4, 10, 11, 12}) Plug(port);

  const Found found = Discover(true);
  EXPECT_EQ(found.count, 5);
  EXPECT_EQ(found.printed, "");
  EXPECT_EQ(found.descriptions,
            (Texts{"COM10\tFTDI - USB Serial Port (COM10)", "COM12\tFTDI - USB Serial Port (COM12)",
                   "COM11\tFTDI - USB Serial Port (COM11)",
                   "COM4\tFixed - Communications Port (COM4)", "COM3\tUSB - Arduino Uno"}));
  EXPECT_EQ(found.numbers, (Texts{"10", "12", "11", "4", "3"}));
  EXPECT_EQ(found.names, (Texts{"COM10", "COM12", "COM11", "COM4", "COM3"}));
}

TEST_F(PortDiscovery, AMissingRootContributesNothingAndTheOthersAreStillWalked) {
  AddPort(Key(kAcpi, "PNP0501", "0"), "Communications Port (COM21)", "COM21");
  AddPort(Key(kUsb, "VID_1A86&PID_7523", "5&1"), "USB-SERIAL CH340 (COM22)", "COM22");
  // A root that is a value, not a key, cannot be listed either.
  ASSERT_TRUE(registry.AddString("SYSTEM\\CurrentControlSet\\Enum", "FTDIBUS", "x"));
  Plug(21);
  Plug(22);
  const Found found = Discover();
  EXPECT_EQ(found.count, 2);
  EXPECT_EQ(found.descriptions, (Texts{"COM21\tFixed - Communications Port (COM21)",
                                       "COM22\tUSB - USB-SERIAL CH340 (COM22)"}));
}

TEST_F(PortDiscovery, InstancesWithoutAUsableNameOrPortAreSkippedSilently) {
  const std::string deviceKey = std::string(kUsb) + "\\VID_0403&PID_6015";
  struct Case {
    const char* instance;
    const char* friendlyName;  // nullptr: no such value
    const char* portName;      // nullptr: no such value
    int port;                  // linked to a pty when not 0
  };
  const Case cases[] = {
      {"a-lower-case", "Lower case", "com31", 31},
      {"b-printer", "Printer Port (LPT1)", "LPT1", 0},
      {"c-blank-name", " \t\r\n", "COM32", 32},
      {"d-empty-name", "", "COM33", 33},
      {"e-no-name", nullptr, "COM34", 34},
      {"f-no-port-name", "No port name", nullptr, 35},
      {"g-blank-port-name", "Blank port name", "  ", 0},
      {"h-unplugged", "Unplugged (COM36)", "COM36", 0},
      {"i-short", "Short", "CO", 0},
      {"j-not-a-number", "Letters", "COMX", 0},
      {"k-listed", "  Listed (COM37) \r\n", " COM37\t", 37},
  };
  for (const Case& c : cases) {
    const std::string instanceKey = deviceKey + "\\" + c.instance;
    ASSERT_TRUE(registry.AddKey(instanceKey));
    if (c.friendlyName != nullptr) {
      ASSERT_TRUE(registry.AddString(instanceKey, "FriendlyName", c.friendlyName));
    }
    if (c.portName != nullptr) {
      ASSERT_TRUE(registry.AddString(instanceKey + "\\Device Parameters", "PortName", c.portName));
    }
    if (c.port != 0) Plug(c.port);
  }
  // An instance whose port name cannot be read because there is no Device Parameters key.
  ASSERT_TRUE(registry.AddString(deviceKey + "\\l-no-parameters", "FriendlyName", "x (COM38)"));
  Plug(38);

  const Found found = Discover(true);
  EXPECT_EQ(found.count, 1);
  EXPECT_EQ(found.descriptions, Texts{"COM37\tUSB - Listed (COM37)"});
  EXPECT_EQ(found.numbers, Texts{"37"});
  EXPECT_EQ(found.names, Texts{"COM37"});
  EXPECT_EQ(found.printed, "");
}

TEST_F(PortDiscovery, APortHeldOpenIsNotListed) {
  AddPort(Key(kFtdi, "VID_0403+PID_6001+A", "0000"), "Held by another process", "COM41");
  AddPort(Key(kFtdi, "VID_0403+PID_6001+B", "0000"), "Held by this process", "COM42");
  AddPort(Key(kFtdi, "VID_0403+PID_6001+C", "0000"), "Free", "COM43");
  const std::string held = Plug(41);
  Plug(42);
  Plug(43);
  HolderProcess other;
  // Held the way a terminal program holds a tty: open, with an exclusive flock.
  ASSERT_TRUE(other.Start([&held] {
    const int fd = open(held.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
  }));
  const platform::CommHandle mine = platform::CommOpen("\\\\.\\COM42");
  ASSERT_NE(mine, platform::kInvalidCommHandle);

  const Found found = Discover();
  EXPECT_EQ(found.count, 1);
  EXPECT_EQ(found.descriptions, Texts{"COM43\tFTDI - Free"});

  // Once released, both are found again: a port's listing is only ever as of this call.
  other.Release();
  platform::CommClose(mine);
  EXPECT_EQ(Discover().count, 3);
}

TEST_F(PortDiscovery, TheProbeLeavesThePortFreeAndItsLineUntouched) {
  AddPort(Key(kUsb, "VID_2341&PID_0043", "7"), "Arduino", "COM44");
  const std::string slave = Plug(44);
  LineSettings before;
  ASSERT_TRUE(ptys[44]->ReadSettings(before));
  EXPECT_EQ(Discover().count, 1);
  EXPECT_EQ(Discover().count, 1);
  EXPECT_TRUE(ptys[44]->Read(1, 100).empty()) << "the probe writes nothing";
  LineSettings after;
  ASSERT_TRUE(ptys[44]->ReadSettings(after));
  EXPECT_EQ(after.outputRate, before.outputRate);
  EXPECT_EQ(after.icanon, before.icanon);
  // Nothing holds it any more.
  const int fd = open(slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);
}

TEST_F(PortDiscovery, OnePortUnderTwoInstancesIsListedTwiceEachWithItsOwnTexts) {
  AddPort(Key(kFtdi, "VID_0403+PID_6001+A", "0000"), "USB Serial Port (COM45)", "COM45");
  AddPort(Key(kUsb, "VID_0403&PID_6001", "A"), "Same adapter, other driver", "COM45");
  Plug(45);
  const Found found = Discover();
  EXPECT_EQ(found.count, 2);
  EXPECT_EQ(found.descriptions, (Texts{"COM45\tFTDI - USB Serial Port (COM45)",
                                       "COM45\tUSB - Same adapter, other driver"}));
  EXPECT_EQ(found.numbers, (Texts{"45", "45"}));
}

TEST_F(PortDiscovery, ListsThatHoldEntriesKeepThemAndOnlyTheGivenListsAreFilled) {
  AddPort(Key(kAcpi, "PNP0501", "0"), "Communications Port (COM46)", "COM46");
  AddPort(Key(kAcpi, "PNP0501", "1"), "Communications Port (COM47)", "COM47");
  Plug(46);
  Plug(47);
  Texts descriptions = {"earlier"};
  EXPECT_EQ(FindSerialPortDescriptions(descriptions, true), 2);
  EXPECT_EQ(descriptions, (Texts{"earlier", "COM46\tFixed - Communications Port (COM46)",
                                 "COM47\tFixed - Communications Port (COM47)"}));
  Texts numbers = {"9", "COM9"};
  EXPECT_EQ(FindSerialPortNumbers(numbers, true), 2);
  EXPECT_EQ(numbers, (Texts{"9", "COM9", "46", "47"}));
  Texts names = {"x"};
  EXPECT_EQ(FindSerialPorts(&names, nullptr, nullptr, false), 2);
  EXPECT_EQ(names, (Texts{"x", "COM46", "COM47"}));
  EXPECT_EQ(FindSerialPorts(nullptr, nullptr, nullptr, true), 2);
}

TEST_F(PortDiscovery, NothingFoundPrintsItsLineOnlyWhenAskedToReport) {
  // Registered, but the adapter is unplugged.
  AddPort(Key(kFtdi, "VID_0403+PID_6001+A", "0000"), "USB Serial Port (COM48)", "COM48");
  struct Case {
    bool report;
    const char* printed;
  };
  for (const Case& c : {Case{true, "No serial ports found\n"}, Case{false, ""}}) {
    SCOPED_TRACE(c.report);
    Found found = Discover(c.report);
    EXPECT_EQ(found.count, 0);
    EXPECT_EQ(found.printed, c.printed);
    EXPECT_TRUE(found.descriptions.empty());

    testing::internal::CaptureStdout();
    EXPECT_EQ(FindSerialPorts(nullptr, nullptr, nullptr, c.report), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);

    Texts numbers = {"kept"};
    testing::internal::CaptureStdout();
    EXPECT_EQ(FindSerialPortNumbers(numbers, c.report), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(numbers, Texts{"kept"});
  }
}

// The number of ports discovery finds in a child process whose own mount namespace shows
// `consoles` as the system's active consoles; -1 when such a namespace cannot be made here.
int PortsFoundWithActiveConsoles(const std::string& scratch, const std::string& consoles) {
  const std::string active = scratch + "/active";
  std::ofstream(active) << consoles << "\n";
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(active.c_str(), "/sys/class/tty/console/active", nullptr, MS_BIND, nullptr) != 0) {
      _exit(77);
    }
    _exit(FindSerialPorts(nullptr, nullptr, nullptr, false));
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 99;
  return WEXITSTATUS(status) == 77 ? -1 : WEXITSTATUS(status);
}

TEST_F(PortDiscovery, TheSystemConsoleIsNeverOfferedAsAvailable) {
  AddPort(Key(kAcpi, "PNP0501", "0"), "Communications Port (COM49)", "COM49");
  const std::string slave = Plug(49);
  const std::string name = slave.substr(slave.rfind('/') + 1);
  const std::pair<std::string, int> cases[] = {{"tty0 " + name, 0}, {name, 0}, {"tty0", 1}};
  for (const auto& [consoles, found] : cases) {
    SCOPED_TRACE(consoles);
    const int verdict = PortsFoundWithActiveConsoles(comDir.Path(), consoles);
    if (verdict < 0) GTEST_SKIP() << "no private mount namespace here (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(verdict, found);
  }
}

TEST_F(PortDiscovery, AnEmptyRegistryFindsNothing) {
  EXPECT_EQ(Discover(true).printed, "No serial ports found\n");
  ASSERT_EQ(setenv("MX40R_REGISTRY_DIR", "", 1), 0);
  EXPECT_EQ(Discover(true).printed, "No serial ports found\n");
}

// On a busy machine one pass over every process's descriptors takes long, so one listing makes
// one, whatever the number of ports; an open that talks on the line, such as each trial of a
// scan, looks afresh.
TEST_F(PortDiscovery, OneListingLooksOnceAndEveryOpenLooksAfresh) {
  for (const int port : {51, 52, 53, 54}) {
    AddPort(Key(kUsb, "VID_0403&PID_6001", std::to_string(port)), "Port",
            "COM" + std::to_string(port));
    Plug(port);
  }
  using platform::port_holders::PassCount;
  platform::port_holders::ForgetSharedLook();
  std::uint64_t before = PassCount();
  Texts descriptions;
  EXPECT_EQ(FindSerialPortDescriptions(descriptions, true), 4);
  EXPECT_EQ(PassCount() - before, 1u) << "COMPORTS";

  platform::port_holders::ForgetSharedLook();
  before = PassCount();
  Texts numbers;
  EXPECT_EQ(FindSerialPortNumbers(numbers, true), 4);
  EXPECT_EQ(PassCount() - before, 1u) << "the list a scan starts from";
  before = PassCount();
  for (const std::string& number : numbers) {
    for (const int rate : {9600, 19200}) {
      SerialPort trial;
      EXPECT_TRUE(trial.Open(std::stoi(number), rate, 0, false));
      trial.Close();
    }
  }
  EXPECT_EQ(PassCount() - before, 8u) << "the trials of a scan";
}

}  // namespace
