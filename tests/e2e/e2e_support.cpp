#include "e2e_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

namespace e2e {

namespace {

const char* const kUsageLines[] = {
    "",
    "VNT MX40R Tools v2023.2.7",
    "Support: mx40r-support@example.com",
    "",
    "Commands:",
    "COMPORTS",
    "COMSCAN",
    "COMGETSTATUS <com_port> <baud_rate>",
    "COMSETMODBUS <com_port> <baud_rate> <new_modbus_address>",
    "COMSETBAUD   <com_port> <baud_rate> <new_baud_rate>",
    "",
    "IPIPS",
    "IPGETSTATUS  <ip_address>",
    "IPSETMODBUS  <ip_address> <new_modbus_address>",
    "",
    "Examples:",
    " COMSETMODBUS 1 19200 1",
    " COMSETBAUD 1 19200 38400",
    "",
    " IPSETMODBUS 192.168.0.7 1",
    "",
    "Help:",
    " COMPORTS",
    "         Show available serial ports",
    " COMSCAN",
    "         Scan available serial ports for module",
    " COMGETSTATUS",
    "         Get module status from communications port",
    " COMSETMODBUS",
    "         Change module modbus address from communications port",
    " COMSETBAUD",
    "         Change module port baud rate from communications port",
    "",
    " IPIPS",
    "         Show available IP addresses",
    " IPGETSTATUS",
    "         Get module status from from network port",
    " IPSETMODBUS",
    "         Change module modbus address from network port",
    "",
    "Options:",
    " <modbus_address>",
    "         1 2 3 ... 247",
    " <com_port>",
    "         1 2 3 ... n",
    " <baud_rate>",
    "         9600 19200 38400 57600 115000",
    "",
    "Defaults:",
    " Modbus Address: 254",
    " Module Port:  19200,8,N,1",
    "",
};

}  // namespace

std::string UsageText() {
  std::string text;
  for (const char* line : kUsageLines) text += std::string(line) + "\n";
  return text;
}

ComDirectory::ComDirectory() {
  char pattern[] = "/tmp/mx40r-e2e-XXXXXX";
  if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

ComDirectory::~ComDirectory() {
  if (DIR* dir = opendir(path_.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") unlink((path_ + "/" + name).c_str());
    }
    closedir(dir);
  }
  rmdir(path_.c_str());
}

testsupport::RunResult ToolTest::Run(const std::vector<std::string>& args, int timeoutMs) {
  testsupport::RunResult result =
      testsupport::RunTool(args, {{"MX40R_COM_DIR", comDirectory_.Path()}}, timeoutMs);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.err, "") << "the tool writes nothing to standard error";
  return result;
}

modsim::ModuleSimulator& ToolTest::StartModule(int port, const modsim::ModuleOptions& options) {
  modules_.push_back(std::make_unique<modsim::ModuleSimulator>(comDirectory_.Link(port), options));
  std::string error;
  EXPECT_TRUE(modules_.back()->Start(&error)) << error;
  return *modules_.back();
}

}  // namespace e2e
