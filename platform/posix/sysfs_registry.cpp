#include "platform/posix/sysfs_registry.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform::sysfs {
namespace {

constexpr char kFtdiBus[] = "FTDIBUS";
constexpr char kAcpiBus[] = "ACPI";
constexpr char kUsbBus[] = "USB";
// The plug-and-play identifier Windows gives a 16550-compatible UART.
constexpr char kUartDevice[] = "PNP0501";
constexpr char kUartName[] = "Communications Port";
constexpr char kUsbSerialName[] = "USB Serial Port";
// Levels from a tty's device to the USB device that carries it: the usb-serial port, the
// interface, the device.
constexpr int kUsbDeviceSearchDepth = 3;

struct Family {
  const char* prefix;
  unsigned firstComNumber;
  unsigned count;
};

constexpr Family kFamilies[] = {{"ttyS", 1, 16}, {"ttyUSB", 17, 40}, {"ttyACM", 57, 40}};

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string Trimmed(const std::string& text) {
  const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  const auto first = std::find_if_not(text.begin(), text.end(), isSpace);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), isSpace).base();
  return first < last ? std::string(first, last) : std::string();
}

// A sysfs attribute without the newline the kernel ends it with; empty when it cannot be read.
std::string ReadAttribute(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream content;
  content << file.rdbuf();
  return Trimmed(content.str());
}

std::string RealPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string result(resolved);
  std::free(resolved);
  return result;
}

std::string BaseName(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The last component of a link's target: the name of a driver, whatever the link is relative to.
std::string LinkName(const std::string& link) {
  char target[PATH_MAX];
  const ssize_t length = readlink(link.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return {};
  return BaseName(std::string(target, static_cast<std::size_t>(length)));
}

std::string Parent(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

std::vector<std::string> DirectoryNames(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The USB device (the directory with idVendor) above a tty's device, within `realRoot`.
std::string UsbDeviceOf(const std::string& deviceDir, const std::string& realRoot) {
  std::string dir = deviceDir;
  for (int level = 0; level < kUsbDeviceSearchDepth && dir.size() > realRoot.size(); ++level) {
    if (!ReadAttribute(dir + "/idVendor").empty()) return dir;
    dir = Parent(dir);
  }
  return {};
}

// A USB tty: under FTDIBUS when ftdi_sio drives it, otherwise under USB; named by the product
// text that the device reports.
void DescribeUsbTty(const std::string& ttyDir, const std::string& realRoot, TtyPort& port) {
  const std::string deviceDir = RealPath(ttyDir + "/device");
  const std::string driver = deviceDir.empty() ? std::string() : LinkName(deviceDir + "/driver");
  const bool ftdi = driver == "ftdi_sio";
  port.bus = ftdi ? kFtdiBus : kUsbBus;

  const std::string usbDevice =
      deviceDir.empty() ? std::string() : UsbDeviceOf(deviceDir, realRoot);
  std::string vendor = "0000";
  std::string product = "0000";
  std::string productText;
  if (!usbDevice.empty()) {
    vendor = Upper(ReadAttribute(usbDevice + "/idVendor"));
    const std::string productId = Upper(ReadAttribute(usbDevice + "/idProduct"));
    if (!productId.empty()) product = productId;
    productText = ReadAttribute(usbDevice + "/product");
  }
  // The separators Windows uses in the device keys of these two buses.
  port.device = "VID_" + vendor + (ftdi ? "+PID_" : "&PID_") + product;
  port.friendlyName = productText.empty() ? kUsbSerialName : productText;
}

bool ComesBefore(const TtyPort& left, const TtyPort& right) {
  return left.comNumber < right.comNumber;
}

RegistryNode& SubkeyCreated(RegistryNode& parent, const std::string& name) {
  for (RegistryNode& subkey : parent.subkeys) {
    if (subkey.name == name) return subkey;
  }
  parent.subkeys.push_back(RegistryNode{name, {}, {}});
  return parent.subkeys.back();
}

// Stored strings keep their terminating zero, as Windows hands them back.
std::string StoredString(const std::string& text) { return text + std::string(1, '\0'); }

}  // namespace

unsigned ComNumberOfTty(const std::string& ttyName) {
  for (const Family& family : kFamilies) {
    const std::string prefix = family.prefix;
    if (ttyName.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = ttyName.substr(prefix.size());
    // One canonical spelling per port: no leading zero, nothing after the digits.
    if (digits.empty() || digits.size() > 2 || (digits.size() > 1 && digits[0] == '0') ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return 0;
    }
    const unsigned index = static_cast<unsigned>(std::stoul(digits));
    return index < family.count ? family.firstComNumber + index : 0;
  }
  return 0;
}

std::vector<TtyPort> ReadTtyPorts(const std::string& sysRoot) {
  std::vector<TtyPort> ports;
  const std::string classDir = sysRoot + "/class/tty";
  const std::string realRoot = RealPath(sysRoot);
  for (const std::string& name : DirectoryNames(classDir)) {
    TtyPort port;
    port.tty = name;
    port.comNumber = ComNumberOfTty(name);
    if (port.comNumber == 0) continue;
    std::string ttyDir = classDir;
    ttyDir.append("/").append(name);
    if (!IsDirectory(ttyDir)) continue;
    if (name.compare(0, 4, "ttyS") == 0) {
      // The 8250 driver registers every ttyS it has room for; type 0 is PORT_UNKNOWN, no UART.
      const std::string type = ReadAttribute(ttyDir + "/type");
      if (type.empty() || std::strtol(type.c_str(), nullptr, 10) == 0) continue;
      port.bus = kAcpiBus;
      port.device = kUartDevice;
      port.friendlyName = kUartName;
    } else {
      DescribeUsbTty(ttyDir, realRoot, port);
    }
    port.instance = name;
    port.friendlyName += " (" + port.DevicePath() + ")";
    ports.push_back(port);
  }
  std::sort(ports.begin(), ports.end(), ComesBefore);
  return ports;
}

std::string DeviceForComNumber(const std::string& sysRoot, unsigned comNumber) {
  for (const TtyPort& port : ReadTtyPorts(sysRoot)) {
    if (port.comNumber == comNumber) return port.DevicePath();
  }
  return {};
}

const RegistryNode* RegistryNode::Subkey(const std::string& subkeyName) const {
  for (const RegistryNode& subkey : subkeys) {
    if (subkey.name == subkeyName) return &subkey;
  }
  return nullptr;
}

const std::string* RegistryNode::Value(const std::string& valueName) const {
  for (const auto& value : values) {
    if (value.first == valueName) return &value.second;
  }
  return nullptr;
}

RegistryNode BuildRegistryTree(const std::vector<TtyPort>& ports) {
  RegistryNode root;
  RegistryNode& enumKey =
      SubkeyCreated(SubkeyCreated(SubkeyCreated(root, "SYSTEM"), "CurrentControlSet"), "Enum");
  for (const TtyPort& port : ports) {
    RegistryNode& instance =
        SubkeyCreated(SubkeyCreated(SubkeyCreated(enumKey, port.bus), port.device), port.instance);
    instance.values.emplace_back("FriendlyName", StoredString(port.friendlyName));
    SubkeyCreated(instance, "Device Parameters")
        .values.emplace_back("PortName", StoredString("COM" + std::to_string(port.comNumber)));
  }
  return root;
}

}  // namespace platform::sysfs
