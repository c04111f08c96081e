// The Linux device registry made from sysfs: the tty table over fake class/tty trees, the COM
// numbers it gives, the keys it publishes, discovery and COMPORTS over it, and the backend's
// reading of the live tree (read only: no port is opened).
#include "platform/posix/sysfs_registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/process_objects.h"
#include "devlink/port_discovery.h"
#include "platform/registry.h"
#include "tests/platform/pty_pair.h"
#include "tests/support/registry_fixture.h"

// The process-wide objects that the command handlers use, which the tool's main defines.
std::vector<std::string> g_arguments;
ModbusRtuMaster g_rtuMaster;

namespace {

namespace fs = std::filesystem;
using platform::sysfs::RegistryNode;
using platform::sysfs::TtyPort;

// A sysfs tree in a scratch directory, laid out as the kernel lays out its ttys: the class entry
// is a link to the tty's device directory, whose `device` link leads to the hardware below it.
class FakeSysfs {
 public:
  FakeSysfs() {
    std::string pattern = (fs::temp_directory_path() / "mx40r-sysfs-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) root_ = pattern;
    fs::create_directories(root_ + "/class/tty");
  }
  ~FakeSysfs() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  const std::string& Root() const { return root_; }

  // A built-in UART of the 8250 driver; type 0 means the driver found no UART there.
  void AddUart(const std::string& tty, int type) {
    const std::string hardware = "devices/pnp0/00:0" + std::to_string(uarts_++);
    const std::string ttyDir = hardware + "/tty/" + tty;
    Write(ttyDir + "/type", std::to_string(type) + "\n");
    Link(ttyDir + "/device", hardware);
    Link("class/tty/" + tty, ttyDir);
  }

  // A usb-serial tty (ttyUSB*) on interface 0 of USB device `usbPort`: the driver is bound to the
  // port device between the interface and the tty.
  void AddUsbSerial(const std::string& tty, const std::string& usbPort, const std::string& driver,
                    const std::string& vendor, const std::string& product,
                    const std::string* productText, int interface = 0) {
    const std::string device = UsbDevice(usbPort, vendor, product, productText);
    const std::string portDir =
        device + "/" + usbPort + ":1." + std::to_string(interface) + "/" + tty;
    Link(portDir + "/driver", Driver("usb-serial", driver));
    const std::string ttyDir = portDir + "/tty/" + tty;
    Write(ttyDir + "/dev", "188:0\n");
    Link(ttyDir + "/device", portDir);
    Link("class/tty/" + tty, ttyDir);
  }

  // A CDC ACM tty: the driver is bound to the interface itself.
  void AddAcm(const std::string& tty, const std::string& usbPort, const std::string& vendor,
              const std::string& product, const std::string* productText) {
    const std::string device = UsbDevice(usbPort, vendor, product, productText);
    const std::string interfaceDir = device + "/" + usbPort + ":1.0";
    Link(interfaceDir + "/driver", Driver("usb", "cdc_acm"));
    const std::string ttyDir = interfaceDir + "/tty/" + tty;
    Write(ttyDir + "/dev", "166:0\n");
    Link(ttyDir + "/device", interfaceDir);
    Link("class/tty/" + tty, ttyDir);
  }

  // A tty with no hardware behind it (a virtual console, the console alias).
  void AddVirtual(const std::string& tty) {
    const std::string ttyDir = "devices/virtual/tty/" + tty;
    Write(ttyDir + "/dev", "4:0\n");
    Link("class/tty/" + tty, ttyDir);
  }

 private:
  std::string UsbDevice(const std::string& usbPort, const std::string& vendor,
                        const std::string& product, const std::string* productText) {
    std::string device = "devices/pci0000:00/0000:00:14.0/usb1/" + usbPort;
    Write(device + "/idVendor", vendor + "\n");
    Write(device + "/idProduct", product + "\n");
    if (productText != nullptr) Write(device + "/product", *productText + "\n");
    return device;
  }

  void Write(const std::string& relative, const std::string& content) {
    const fs::path path = root_ + "/" + relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << content;
  }

  std::string Driver(const std::string& bus, const std::string& driver) {
    std::string directory = "bus/" + bus + "/drivers/" + driver;
    fs::create_directories(root_ + "/" + directory);
    return directory;
  }

  // A relative link, as sysfs makes them, from `relative` to `target`, both below the root.
  void Link(const std::string& relative, const std::string& target) {
    const fs::path path = root_ + "/" + relative;
    fs::create_directories(path.parent_path());
    std::error_code ignored;
    fs::create_symlink(fs::path(target).lexically_relative(fs::path(relative).parent_path()), path,
                       ignored);
  }

  std::string root_;
  int uarts_ = 0;
};

const std::string kFtdiProduct = "FT232R USB UART";
const std::string kArduinoProduct = "Arduino Uno";
const std::string kBlankProduct = "  \t";

// The machine of the examples: an FTDI adapter, the first UART, an Arduino, a second UART slot
// with no chip behind it, and the ttys that are not serial ports at all.
void MakeTypicalMachine(FakeSysfs& sysfs) {
  sysfs.AddUsbSerial("ttyUSB0", "1-1", "ftdi_sio", "0403", "6001", &kFtdiProduct);
  sysfs.AddUart("ttyS0", 4);
  sysfs.AddAcm("ttyACM0", "1-2", "2341", "0043", &kArduinoProduct);
  sysfs.AddUart("ttyS1", 0);
  sysfs.AddVirtual("tty0");
  sysfs.AddVirtual("console");
}

struct Expected {
  std::string tty;
  unsigned comNumber;
  std::string bus;
  std::string device;
  std::string friendlyName;
};

void ExpectPorts(const std::vector<TtyPort>& ports, const std::vector<Expected>& expected) {
  ASSERT_EQ(ports.size(), expected.size());
  for (std::size_t i = 0; i < ports.size(); ++i) {
    SCOPED_TRACE(expected[i].tty);
    EXPECT_EQ(ports[i].tty, expected[i].tty);
    EXPECT_EQ(ports[i].comNumber, expected[i].comNumber);
    EXPECT_EQ(ports[i].bus, expected[i].bus);
    EXPECT_EQ(ports[i].device, expected[i].device);
    EXPECT_EQ(ports[i].instance, expected[i].tty);
    EXPECT_EQ(ports[i].friendlyName, expected[i].friendlyName);
    EXPECT_EQ(ports[i].DevicePath(), "/dev/" + expected[i].tty);
  }
}

TEST(TtyComNumbers, FollowTheFixedRangesOfEachFamily) {
  const std::pair<const char*, unsigned> cases[] = {
      {"ttyS0", 1},     {"ttyS1", 2},     {"ttyS15", 16},  {"ttyS16", 0},   {"ttyUSB0", 17},
      {"ttyUSB9", 26},  {"ttyUSB39", 56}, {"ttyUSB40", 0}, {"ttyACM0", 57}, {"ttyACM39", 96},
      {"ttyACM40", 0},  {"ttyS", 0},      {"ttyS01", 0},   {"ttyS1a", 0},   {"ttyS-1", 0},
      {"ttyUSB100", 0}, {"tty0", 0},      {"ttyAMA0", 0},  {"console", 0},  {"ttys0", 0},
      {"ttyUSB", 0},    {"ttyACM 1", 0},  {"", 0},
  };
  for (const auto& [name, comNumber] : cases) {
    EXPECT_EQ(platform::sysfs::ComNumberOfTty(name), comNumber) << name;
  }
}

TEST(TtyTable, ListsTheSerialPortsWithTheirBusesAndNamesInComOrder) {
  FakeSysfs sysfs;
  MakeTypicalMachine(sysfs);
  ExpectPorts(platform::sysfs::ReadTtyPorts(sysfs.Root()),
              {{"ttyS0", 1, "ACPI", "PNP0501", "Communications Port (/dev/ttyS0)"},
               {"ttyUSB0", 17, "FTDIBUS", "VID_0403+PID_6001", "FT232R USB UART (/dev/ttyUSB0)"},
               {"ttyACM0", 57, "USB", "VID_2341&PID_0043", "Arduino Uno (/dev/ttyACM0)"}});
}

TEST(TtyTable, OtherUsbSerialDriversGoUnderUsbAndAFriendlyNameIsNeverBlank) {
  FakeSysfs sysfs;
  sysfs.AddUsbSerial("ttyUSB1", "1-3", "pl2303", "067b", "2303", nullptr);
  sysfs.AddUsbSerial("ttyUSB2", "1-4", "ch341-uart", "1a86", "7523", &kBlankProduct);
  // The second port of a two-port FTDI chip: the same device, another interface.
  sysfs.AddUsbSerial("ttyUSB3", "1-5", "ftdi_sio", "0403", "6010", &kFtdiProduct, 0);
  sysfs.AddUsbSerial("ttyUSB4", "1-5", "ftdi_sio", "0403", "6010", &kFtdiProduct, 1);
  // Beyond the numbered ranges: no COM number, so not a port of the table.
  sysfs.AddUart("ttyS16", 4);
  sysfs.AddUsbSerial("ttyUSB40", "1-6", "ftdi_sio", "0403", "6001", &kFtdiProduct);
  ExpectPorts(platform::sysfs::ReadTtyPorts(sysfs.Root()),
              {{"ttyUSB1", 18, "USB", "VID_067B&PID_2303", "USB Serial Port (/dev/ttyUSB1)"},
               {"ttyUSB2", 19, "USB", "VID_1A86&PID_7523", "USB Serial Port (/dev/ttyUSB2)"},
               {"ttyUSB3", 20, "FTDIBUS", "VID_0403+PID_6010", "FT232R USB UART (/dev/ttyUSB3)"},
               {"ttyUSB4", 21, "FTDIBUS", "VID_0403+PID_6010", "FT232R USB UART (/dev/ttyUSB4)"}});
}

TEST(TtyTable, ATreeWithoutTtysOrWithoutSysfsListsNothing) {
  FakeSysfs sysfs;
  sysfs.AddVirtual("tty0");
  sysfs.AddUart("ttyS0", 0);
  EXPECT_TRUE(platform::sysfs::ReadTtyPorts(sysfs.Root()).empty());
  EXPECT_TRUE(platform::sysfs::ReadTtyPorts(sysfs.Root() + "/missing").empty());
}

TEST(TtyTable, ResolvesComNumbersToTheDeviceNodesItPublishes) {
  FakeSysfs sysfs;
  MakeTypicalMachine(sysfs);
  const std::pair<unsigned, const char*> cases[] = {
      {1, "/dev/ttyS0"},    {2, ""}, {3, ""},  {17, "/dev/ttyUSB0"}, {18, ""},
      {57, "/dev/ttyACM0"}, {0, ""}, {97, ""},
  };
  for (const auto& [comNumber, device] : cases) {
    EXPECT_EQ(platform::sysfs::DeviceForComNumber(sysfs.Root(), comNumber), device) << comNumber;
  }
}

std::string Stored(const std::string& text) { return text + std::string(1, '\0'); }

std::vector<std::string> SubkeyNames(const RegistryNode& node) {
  std::vector<std::string> names;
  for (const RegistryNode& subkey : node.subkeys) names.push_back(subkey.name);
  return names;
}

const RegistryNode* Find(const RegistryNode& root, const std::vector<std::string>& path) {
  const RegistryNode* node = &root;
  for (const std::string& name : path) {
    if (node == nullptr) return nullptr;
    node = node->Subkey(name);
  }
  return node;
}

TEST(TtyRegistryTree, PublishesEachPortAsAnInstanceKeyWithItsNameAndComPort) {
  FakeSysfs sysfs;
  MakeTypicalMachine(sysfs);
  sysfs.AddUsbSerial("ttyUSB3", "1-5", "ftdi_sio", "0403", "6001", &kFtdiProduct);
  const RegistryNode root =
      platform::sysfs::BuildRegistryTree(platform::sysfs::ReadTtyPorts(sysfs.Root()));

  EXPECT_EQ(SubkeyNames(root), std::vector<std::string>{"SYSTEM"});
  const RegistryNode* enumKey = Find(root, {"SYSTEM", "CurrentControlSet", "Enum"});
  ASSERT_NE(enumKey, nullptr);
  EXPECT_EQ(SubkeyNames(*enumKey), (std::vector<std::string>{"ACPI", "FTDIBUS", "USB"}));
  struct Instance {
    std::vector<std::string> path;
    std::string friendlyName;
    std::string portName;
  };
  const Instance instances[] = {
      {{"ACPI", "PNP0501", "ttyS0"}, "Communications Port (/dev/ttyS0)", "COM1"},
      {{"FTDIBUS", "VID_0403+PID_6001", "ttyUSB0"}, "FT232R USB UART (/dev/ttyUSB0)", "COM17"},
      {{"FTDIBUS", "VID_0403+PID_6001", "ttyUSB3"}, "FT232R USB UART (/dev/ttyUSB3)", "COM20"},
      {{"USB", "VID_2341&PID_0043", "ttyACM0"}, "Arduino Uno (/dev/ttyACM0)", "COM57"},
  };
  for (const Instance& instance : instances) {
    SCOPED_TRACE(instance.portName);
    const RegistryNode* key = Find(*enumKey, instance.path);
    ASSERT_NE(key, nullptr);
    ASSERT_NE(key->Value("FriendlyName"), nullptr);
    EXPECT_EQ(*key->Value("FriendlyName"), Stored(instance.friendlyName));
    EXPECT_EQ(SubkeyNames(*key), std::vector<std::string>{"Device Parameters"});
    const RegistryNode* parameters = key->Subkey("Device Parameters");
    ASSERT_NE(parameters->Value("PortName"), nullptr);
    EXPECT_EQ(*parameters->Value("PortName"), Stored(instance.portName));
  }
  EXPECT_EQ(SubkeyNames(*Find(*enumKey, {"FTDIBUS", "VID_0403+PID_6001"})),
            (std::vector<std::string>{"ttyUSB0", "ttyUSB3"}));
}

// Writes a tree out in the directory form of the registry, as MX40R_REGISTRY_DIR reads it.
void WriteTree(const RegistryNode& node, testsupport::RegistryDirectory& registry,
               const std::string& path) {
  ASSERT_TRUE(registry.AddKey(path));
  for (const auto& [name, data] : node.values) ASSERT_TRUE(registry.AddValue(path, name, data));
  for (const RegistryNode& subkey : node.subkeys) {
    WriteTree(subkey, registry, path.empty() ? subkey.name : path + "\\" + subkey.name);
  }
}

// Discovery and COMPORTS over the table of a fake tree, with each published COM port linked to a
// pseudo-terminal.
class TtyTableDiscovery : public testing::Test {
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

  void Publish(const FakeSysfs& sysfs) {
    const std::vector<TtyPort> ports = platform::sysfs::ReadTtyPorts(sysfs.Root());
    WriteTree(platform::sysfs::BuildRegistryTree(ports), registry, "");
    for (const TtyPort& port : ports) {
      auto pty = std::make_unique<PtyPair>();
      ASSERT_TRUE(pty->Open(PtyPair::Mode::kRaw));
      const std::string link = comDir.Path() + "/COM" + std::to_string(port.comNumber);
      ASSERT_EQ(symlink(pty->SlavePath().c_str(), link.c_str()), 0);
      ptys.push_back(std::move(pty));
    }
  }

  static std::string ComPortsOutput() {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(CmdComPorts());
    return testing::internal::GetCapturedStdout();
  }

  testsupport::RegistryDirectory registry;
  testsupport::RegistryDirectory comDir;
  std::vector<std::unique_ptr<PtyPair>> ptys;
};

TEST_F(TtyTableDiscovery, ComPortsListsTheTableRootByRoot) {
  FakeSysfs sysfs;
  MakeTypicalMachine(sysfs);
  Publish(sysfs);
  EXPECT_EQ(ComPortsOutput(),
            "COM17\tFTDI - FT232R USB UART (/dev/ttyUSB0)\n"
            "COM1\tFixed - Communications Port (/dev/ttyS0)\n"
            "COM57\tUSB - Arduino Uno (/dev/ttyACM0)\n");
  std::vector<std::string> numbers;
  EXPECT_EQ(FindSerialPortNumbers(numbers, true), 3);
  EXPECT_EQ(numbers, (std::vector<std::string>{"17", "1", "57"}));
}

TEST_F(TtyTableDiscovery, ComPortsOverAnEmptyTreeFindsNoPort) {
  FakeSysfs sysfs;
  Publish(sysfs);
  EXPECT_EQ(ComPortsOutput(), "No serial ports found\n");
  FakeSysfs virtualOnly;
  virtualOnly.AddVirtual("tty0");
  virtualOnly.AddUart("ttyS0", 0);
  Publish(virtualOnly);
  EXPECT_EQ(ComPortsOutput(), "No serial ports found\n");
}

// Every key of `expected` and nothing else, through the backend's own calls.
void ExpectKeyReadsAs(platform::RegistryKey key, const RegistryNode& expected,
                      const std::string& path) {
  SCOPED_TRACE(path);
  for (std::uint32_t index = 0; index <= expected.subkeys.size(); ++index) {
    char name[260];
    const std::int32_t result = platform::RegistryEnumKey(key, index, name, sizeof name);
    if (index == expected.subkeys.size()) {
      EXPECT_EQ(result, platform::kRegistryNoMoreItems);
      break;
    }
    ASSERT_EQ(result, platform::kRegistrySuccess);
    const RegistryNode& subkey = expected.subkeys[index];
    EXPECT_EQ(name, subkey.name);
    platform::RegistryKey opened = nullptr;
    ASSERT_EQ(platform::RegistryOpenKey(key, name, &opened), platform::kRegistrySuccess);
    ExpectKeyReadsAs(opened, subkey, path + "\\" + subkey.name);
    platform::RegistryCloseKey(opened);
  }
  for (const auto& [valueName, data] : expected.values) {
    std::uint8_t buffer[260];
    std::uint32_t size = sizeof buffer;
    ASSERT_EQ(platform::RegistryQueryValue(key, valueName.c_str(), buffer, &size),
              platform::kRegistrySuccess);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer), size), data);
  }
}

// The live tree of this machine, through the calls discovery makes; nothing here opens a port.
class LiveTtyRegistry : public testing::Test {
 protected:
  void SetUp() override {
    const char* directory = std::getenv("MX40R_REGISTRY_DIR");
    if (directory != nullptr) saved_ = std::make_unique<std::string>(directory);
    unsetenv("MX40R_REGISTRY_DIR");
  }
  void TearDown() override {
    if (saved_ != nullptr) setenv("MX40R_REGISTRY_DIR", saved_->c_str(), 1);
  }

 private:
  std::unique_ptr<std::string> saved_;
};

TEST_F(LiveTtyRegistry, ReadsAsTheTableOfTheMachinesSysfs) {
  const RegistryNode expected = platform::sysfs::BuildRegistryTree(
      platform::sysfs::ReadTtyPorts(platform::sysfs::kSystemRoot));
  platform::RegistryKey root = nullptr;
  ASSERT_EQ(platform::RegistryOpenKey(platform::kLocalMachineKey, "", &root),
            platform::kRegistrySuccess);
  ExpectKeyReadsAs(root, expected, "HKEY_LOCAL_MACHINE");
  platform::RegistryCloseKey(root);
}

TEST_F(LiveTtyRegistry, SmallBuffersAndMissingKeysAreReportedAsWindowsReportsThem) {
  platform::RegistryKey key = nullptr;
  EXPECT_EQ(platform::RegistryOpenKey(platform::kLocalMachineKey, "SYSTEM\\Nothing", &key),
            platform::kRegistryNotFound);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(
      platform::RegistryOpenKey(platform::kLocalMachineKey, "SYSTEM\\\\CurrentControlSet", &key),
      platform::kRegistryNotFound);
  ASSERT_EQ(platform::RegistryOpenKey(platform::kLocalMachineKey, "SYSTEM", &key),
            platform::kRegistrySuccess);
  // "CurrentControlSet" needs 18 bytes with its zero.
  char name[18];
  EXPECT_EQ(platform::RegistryEnumKey(key, 0, name, 17), platform::kRegistryMoreData);
  EXPECT_EQ(platform::RegistryEnumKey(key, 0, name, 18), platform::kRegistrySuccess);
  EXPECT_STREQ(name, "CurrentControlSet");
  EXPECT_EQ(platform::RegistryEnumKey(key, 1, name, 18), platform::kRegistryNoMoreItems);
  std::uint8_t data[4];
  std::uint32_t size = sizeof data;
  EXPECT_NE(platform::RegistryQueryValue(key, "FriendlyName", data, &size),
            platform::kRegistrySuccess);
  platform::RegistryCloseKey(key);
}

}  // namespace
