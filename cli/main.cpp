// Start-up, dispatch of the command word, the usage text and the exit status.
#include <iostream>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/process_objects.h"
#include "devlink/net.h"

namespace {

const std::string kSupportAddress = "Support: mx40r-support@example.com";
const std::string kProductTitle = "VNT MX40R Tools";
const std::string kProductVersion = "v2023.2.7";

}  // namespace

// Defined here, in this order, so that they are built in this order and destroyed in reverse:
// the client's and the master's destructors close a socket or port a command left open, after
// the socket library stopped.
std::vector<std::string> g_arguments;
ModbusRtuMaster g_rtuMaster;
ModbusTcpClient g_tcpClient;

namespace {

struct Command {
  const char* word;
  bool (*handler)();
};

constexpr Command kCommands[] = {
    {"COMPORTS", CmdComPorts},         {"COMSCAN", CmdComScan},
    {"COMGETSTATUS", CmdComGetStatus}, {"COMSETMODBUS", CmdComSetModbus},
    {"COMSETBAUD", CmdComSetBaud},     {"IPIPS", CmdIpIps},
    {"IPGETSTATUS", CmdIpGetStatus},   {"IPSETMODBUS", CmdIpSetModbus},
};

constexpr const char* kUsageBody[] = {
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

void PrintUsage() {
  std::cout << std::endl;
  std::cout << kProductTitle << " " << kProductVersion << std::endl;
  std::cout << kSupportAddress << std::endl;
  for (const char* line : kUsageBody) std::cout << line << std::endl;
}

bool Dispatch(const std::string& commandWord) {
  for (const Command& command : kCommands) {
    if (EqualsIgnoringCase(commandWord, command.word)) return command.handler();
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ParseArguments(g_arguments, argc, argv);
  if (g_arguments.size() < 2) {
    PrintUsage();
    return 2;
  }
  const std::string commandWord = g_arguments[1];
  StartNetworking();
  std::cout << std::endl;
  const bool enoughArguments = Dispatch(commandWord);
  std::cout << std::endl;
  StopNetworking();
  if (!enoughArguments) {
    PrintUsage();
    return 2;
  }
  return 0;
}
