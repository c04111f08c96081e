// The commands on the network, all on g_tcpClient but IPIPS.
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/process_objects.h"
#include "devlink/net.h"
#include "devlink/validators.h"
#include "platform/clock.h"

namespace {

constexpr int kNetPollPauseMs = 100;

bool ReadBlock(int slave, int firstRegister, int count) {
  g_tcpClient.SetRequest(slave, 3, firstRegister, count);
  return g_tcpClient.Get(kRetries, false);
}

bool ReadProduct() { return ReadBlock(kDefaultModbusAddress, kRegProduct, 2); }

// The rest of one polling cycle, after its product read; false as soon as a read fails, with the
// blocks read so far printed.
bool PollRestOfCycle() {
  PrintProductBlock(g_tcpClient);
  platform::SleepMs(kNetPollPauseMs);
  if (!ReadBlock(kDefaultModbusAddress, kRegFirstInput, kInputCount)) return false;
  PrintInputBlock(g_tcpClient);
  if (!ReadBlock(kDefaultModbusAddress, kRegFirstOutput, kOutputCount)) return false;
  platform::SleepMs(kNetPollPauseMs);
  PrintOutputBlock(g_tcpClient);
  return true;
}

}  // namespace

bool CmdIpIps() {
  std::vector<std::string> addresses;
  if (ListIpAddresses(addresses) != 0) {
    std::cout << "No IP addresses found on this computer" << std::endl;
    return true;
  }
  for (const std::string& address : addresses) std::cout << address << std::endl;
  return true;
}

bool CmdIpGetStatus() {
  if (g_arguments.size() < 3) return false;
  const std::string address = g_arguments[2];
  if (!g_tcpClient.Connect(address, kModbusTcpPort, false)) return true;

  std::cout << "\nPolling " << address << std::endl;
  std::cout << "--------------------" << std::endl;
  if (!ReadProduct()) return true;
  // A failed read ends the command in silence; the socket is left for the process exit.
  while (PollRestOfCycle()) {
    platform::SleepMs(kPollPeriodMs);
    if (!ReadProduct()) return true;
  }
  return true;
}

bool CmdIpSetModbus() {
  if (g_arguments.size() < 4) return false;
  const std::string address = g_arguments[2];
  const int newAddress = NumberArgument(3);
  if (!CheckModbusAddress(newAddress, true)) return true;
  if (!g_tcpClient.Connect(address, kModbusTcpPort, false)) return true;
  if (!g_tcpClient.Set70(newAddress, true)) return true;

  // The module answers at its new address from now on.
  const bool answered = ReadBlock(newAddress, kRegModbusAddress, 1);
  std::cout << (answered ? "Modbus address successfully changed"
                         : "Error: New Modbus address failed to respond")
            << std::endl;
  g_tcpClient.Close();
  return true;
}
