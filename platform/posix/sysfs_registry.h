// The machine's serial ports as Linux shows them under class/tty in sysfs, put into the shape of
// the Windows device registry that port discovery walks: which ttys are ports, the stable COM
// number of each, and the keys under which a bus driver would list it. Nothing is stored: every
// call reads the tree afresh, from a root that tests point at a fake tree.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform::sysfs {

inline constexpr char kSystemRoot[] = "/sys";

struct TtyPort {
  std::string tty;           // "ttyUSB0"
  unsigned comNumber = 0;    // 17
  std::string bus;           // the key below ...\Enum: "FTDIBUS", "ACPI" or "USB"
  std::string device;        // the device key below the bus, "VID_0403+PID_6001"
  std::string instance;      // the instance key below the device: the tty's name
  std::string friendlyName;  // "USB Serial Port (/dev/ttyUSB0)", never blank
  std::string DevicePath() const { return "/dev/" + tty; }
};

// By the name alone: ttyS<k> is COM(k+1) for k < 16, ttyUSB<k> COM(k+17) and ttyACM<k> COM(k+57)
// for k < 40; 0 for every other name, which gets no COM number and is never listed.
unsigned ComNumberOfTty(const std::string& ttyName);

// The ports below `sysRoot` ("/sys" on a live system), in COM number order. A ttyS whose UART
// type is 0 has no port behind it and is left out.
std::vector<TtyPort> ReadTtyPorts(const std::string& sysRoot);

// The device node of the port numbered `comNumber`, or empty when there is none.
std::string DeviceForComNumber(const std::string& sysRoot, unsigned comNumber);

// One key of an in-memory registry: subkeys in enumeration order, values as their stored bytes.
struct RegistryNode {
  std::string name;
  std::vector<RegistryNode> subkeys;
  std::vector<std::pair<std::string, std::string>> values;

  const RegistryNode* Subkey(const std::string& subkeyName) const;
  const std::string* Value(const std::string& valueName) const;
};

// The root (HKEY_LOCAL_MACHINE) of a tree that lists `ports`: for each, the instance key
// SYSTEM\CurrentControlSet\Enum\<bus>\<device>\<instance> with its FriendlyName, and below it
// "Device Parameters" with PortName "COM<n>", both zero-terminated as stored strings are.
RegistryNode BuildRegistryTree(const std::vector<TtyPort>& ports);

}  // namespace platform::sysfs
