#include "devlink/port_discovery.h"

#include <iostream>

#include "devlink/registry_read.h"
#include "platform/comm.h"

namespace {

struct Root {
  const char* path;
  const char* kindText;
};

constexpr Root kRoots[] = {
    {"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS", "\tFTDI - "},
    {"SYSTEM\\CurrentControlSet\\Enum\\ACPI", "\tFixed - "},
    {"SYSTEM\\CurrentControlSet\\Enum\\USB", "\tUSB - "},
};

// A key path one level below `parent`.
std::string SubkeyPath(const std::string& parent, const std::string& name) {
  std::string path = parent;
  path += '\\';
  path += name;
  return path;
}

void AppendTo(std::vector<std::string>* list, const std::string& entry) {
  if (list != nullptr) list->push_back(entry);
}

}  // namespace

int FindSerialPorts(std::vector<std::string>* portNames, std::vector<std::string>* portNumbers,
                    std::vector<std::string>* descriptions, bool report) {
  int count = 0;
  for (const Root& root : kRoots) {
    std::vector<std::string> devices;
    EnumRegistrySubkeys(root.path, devices);
    for (const std::string& device : devices) {
      const std::string deviceKey = SubkeyPath(root.path, device);
      std::vector<std::string> instances;
      EnumRegistrySubkeys(deviceKey, instances);
      for (const std::string& instance : instances) {
        const std::string instanceKey = SubkeyPath(deviceKey, instance);
        std::string friendlyName;
        if (!ReadRegistryString(instanceKey, "FriendlyName", friendlyName)) continue;
        std::string portName;
        if (!ReadRegistryString(JoinRegistryPath(instanceKey, "Device Parameters"), "PortName",
                                portName)) {
          continue;
        }
        if (!HasComPrefix(portName)) continue;
        const platform::CommHandle probe =
            platform::CommOpenForProbe(("\\\\.\\" + portName).c_str());
        if (probe == platform::kInvalidCommHandle) continue;
        AppendTo(portNumbers, PortNumberText(portName));
        AppendTo(portNames, portName);
        AppendTo(descriptions, DescriptionLine(portName, root.kindText, friendlyName));
        platform::CommClose(probe);
        ++count;
      }
    }
  }
  if (count == 0 && report) std::cout << "No serial ports found" << std::endl;
  return count;
}

int FindSerialPortDescriptions(std::vector<std::string>& descriptions, bool report) {
  return FindSerialPorts(nullptr, nullptr, &descriptions, report);
}

int FindSerialPortNumbers(std::vector<std::string>& portNumbers, bool report) {
  return FindSerialPorts(nullptr, &portNumbers, nullptr, report);
}

bool HasComPrefix(const std::string& portName) {
  return portName.substr(0, kComPrefix.size()) == kComPrefix;
}

std::string PortNumberText(const std::string& portName) {
  std::string text;
  std::string::size_type at = 0;
  while (at < portName.size()) {
    if (portName.compare(at, kComPrefix.size(), kComPrefix) == 0) {
      at += kComPrefix.size();
    } else {
      text += portName[at++];
    }
  }
  return text;
}

std::string DescriptionLine(const std::string& portName, const char* kindText,
                            const std::string& friendlyName) {
  return portName + kindText + friendlyName;
}
