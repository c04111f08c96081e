// The commands on a COM port, all on g_rtuMaster.
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/process_objects.h"
#include "devlink/port_discovery.h"
#include "devlink/validators.h"
#include "platform/clock.h"

namespace {

// The checks every serial command makes of its port and present rate, each printing its own line.
bool SerialArgumentsValid(int comPort, int baudRate) {
  return CheckSerialSettings(comPort, baudRate, 0, true) && CheckBaudRate(baudRate, true) != 0;
}

bool ReadBlock(int firstRegister, int count) {
  g_rtuMaster.SetRequest(kDefaultModbusAddress, 3, firstRegister, count);
  return g_rtuMaster.Get(kRetries, kReplyDelayMs, false);
}

// Prepare, the one register write, Commit: any failure has printed its line and leaves the port
// open for the process exit to close.
bool WriteBetweenSet70Frames(int registerNumber, int newValue) {
  if (!g_rtuMaster.Set70(Prepare, kReplyDelayMs, true)) return false;
  g_rtuMaster.SetRequest(kDefaultModbusAddress, 6, registerNumber, 1);
  if (!g_rtuMaster.Set(newValue, kReplyDelayMs, true)) return false;
  return g_rtuMaster.Set70(Commit, kReplyDelayMs, true);
}

void PrintOutcome(bool checkReadAnswered, const char* success, const char* failure) {
  std::cout << (checkReadAnswered ? success : failure) << std::endl;
}

// One polling cycle; false as soon as a read fails, with the blocks read so far printed.
bool PollOnce() {
  if (!ReadBlock(kRegProduct, 2)) return false;
  PrintProductBlock(g_rtuMaster);
  if (!ReadBlock(kRegFirstInput, kInputCount)) return false;
  PrintInputBlock(g_rtuMaster);
  if (!ReadBlock(kRegFirstOutput, kOutputCount)) return false;
  PrintOutputBlock(g_rtuMaster);
  return true;
}

// The modules' five rates, 115000 (not 115200) among them, each set on the port exactly.
constexpr int kScanBaudRates[] = {9600, 19200, 38400, 57600, 115000};

const char* FoundText(std::int32_t productCode) {
  switch (productCode) {
    case 1:
      return "\tFound RM-16A\n";
    case 2:
      return "\tFound RM-16U\n";
    case 3:
      return "\tFound RM-24C\n";
    case 4:
      return "\tFound RM-18A\n";
    case 5:
      return "\tFound RM-26A\n";
    default:
      return "\tFound Unknown Device\n";
  }
}

bool ShowComPorts() {
  std::vector<std::string> descriptions;
  if (FindSerialPortDescriptions(descriptions, true) == 0) return true;
  for (const std::string& description : descriptions) std::cout << description << std::endl;
  return true;
}

// One trial of a scan; on an answer the port stays open for the process exit to close.
bool ModuleAnswers(int comPort, int baudRate) {
  if (!g_rtuMaster.Open(comPort, baudRate, 0, false)) return false;
  g_rtuMaster.SetRequest(kDefaultModbusAddress, 3, kRegProduct, 1);
  return g_rtuMaster.Get(kRetries, kReplyDelayMs, false) && g_rtuMaster.GetRegister(kRegProduct);
}

}  // namespace

bool CmdComPorts() { return ShowComPorts(); }

bool CmdComScan() {
  std::vector<std::string> portNumbers;
  if (FindSerialPortNumbers(portNumbers, true) == 0) return true;
  for (const std::string& portNumber : portNumbers) {
    const int comPort = ToNumber(portNumber);
    if (comPort <= 0) continue;
    for (const int baudRate : kScanBaudRates) {
      // The trial's outcome finishes the line.
      std::cout << "Scanning Port " << comPort << " Baud Rate " << baudRate << std::flush;
      if (ModuleAnswers(comPort, baudRate)) {
        std::cout << FoundText(g_rtuMaster.value) << std::flush;
        return true;
      }
      g_rtuMaster.Close();
      std::cout << std::endl;
    }
  }
  return true;
}

bool CmdComGetStatus() {
  if (g_arguments.size() < 4) return false;
  const int comPort = NumberArgument(2);
  const int baudRate = NumberArgument(3);
  if (!SerialArgumentsValid(comPort, baudRate)) return true;
  if (!g_rtuMaster.Open(comPort, baudRate, 0, true)) return true;

  std::cout << "\nPolling Port " << comPort << " Baud Rate " << baudRate << std::endl;
  std::cout << "--------------------" << std::endl;
  while (PollOnce()) platform::SleepMs(kPollPeriodMs);
  std::cout << std::endl;
  std::cout << "Polling failed" << std::endl;
  return true;
}

bool CmdComSetModbus() {
  if (g_arguments.size() < 5) return false;
  const int comPort = NumberArgument(2);
  const int baudRate = NumberArgument(3);
  const int newAddress = NumberArgument(4);
  if (!SerialArgumentsValid(comPort, baudRate)) return true;
  if (!CheckModbusAddress(newAddress, true)) return true;
  if (!g_rtuMaster.Open(comPort, baudRate, 0, true)) return true;
  if (!WriteBetweenSet70Frames(kRegModbusAddress, newAddress)) return true;

  // The module keeps answering at 254 whatever address it was given.
  const bool answered = ReadBlock(kRegModbusAddress, 1);
  PrintOutcome(answered, "Modbus address successfully changed",
               "Error: Module failed to respond using new Modbus address");
  g_rtuMaster.Close();
  return true;
}

bool CmdComSetBaud() {
  if (g_arguments.size() < 5) return false;
  const int comPort = NumberArgument(2);
  const int baudRate = NumberArgument(3);
  const int newBaudRate = NumberArgument(4);
  if (!SerialArgumentsValid(comPort, baudRate)) return true;
  const int newCode = BaudRateToCode(newBaudRate, true);
  if (newCode < 1) return true;
  if (!g_rtuMaster.Open(comPort, baudRate, 0, true)) return true;
  if (!WriteBetweenSet70Frames(kRegBaudCode, newCode)) return true;

  g_rtuMaster.Close();
  platform::SleepMs(kReopenDelayMs);
  if (!g_rtuMaster.Open(comPort, newBaudRate, 0, true)) return true;
  const bool answered = ReadBlock(kRegBaudCode, 1);
  PrintOutcome(answered, "Baud rate successfully changed",
               "Error: Module failed to respond using new baud rate");
  g_rtuMaster.Close();
  return true;
}

