#include "e2e_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

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

bool UnderWine() {
  const char* prefix = std::getenv("MX40R_WINE_PREFIX");
  return prefix != nullptr && *prefix != '\0';
}

bool SkipUnderWine(const std::string& reason) {
  if (!UnderWine()) return false;
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::cout << "[ NO WINE  ] " << (test != nullptr ? test->test_suite_name() : "") << "."
            << (test != nullptr ? test->name() : "") << ": left out under Wine: " << reason
            << std::endl;
  return true;
}

ScratchDirectory::ScratchDirectory() {
  char pattern[] = "/tmp/mx40r-e2e-XXXXXX";
  if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  if (DIR* dir = opendir(path_.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") unlink((path_ + "/" + name).c_str());
    }
    closedir(dir);
  }
  rmdir(path_.c_str());
}

std::string ComDirectory::Link(int port) const {
  if (!UnderWine()) return Path() + "/COM" + std::to_string(port);
  std::string link =
      std::string(std::getenv("MX40R_WINE_PREFIX")) + "/dosdevices/com" + std::to_string(port);
  if (std::find(wineLinks_.begin(), wineLinks_.end(), link) == wineLinks_.end()) {
    wineLinks_.push_back(link);
  }
  return link;
}

ComDirectory::~ComDirectory() {
  // Only the links this test was given: the prefix's own entries (drives, Wine's com1-com4) stay.
  for (const std::string& link : wineLinks_) unlink(link.c_str());
}

testsupport::RunResult ToolTest::Run(const std::vector<std::string>& args, int timeoutMs) {
  testsupport::EnvList env = {{"MX40R_COM_DIR", comDirectory_.Path()}};
  if (std::getenv("MX40R_REGISTRY_DIR") == nullptr) {
    env.emplace_back("MX40R_REGISTRY_DIR", emptyRegistry_.Path());
  }
  testsupport::RunResult result = testsupport::RunTool(args, env, timeoutMs);
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
