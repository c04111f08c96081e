#include "devlink/validators.h"

#include <iostream>

#include "platform/sockets.h"

namespace {

struct KnownRate {
  int rate;
  BaudCode code;
};

// 115000, not 115200: the rate the modules are built for.
constexpr KnownRate kKnownRates[] = {
    {9600, kBaud9600},   {19200, kBaud19200},   {38400, kBaud38400},
    {57600, kBaud57600}, {115000, kBaud115000},
};

int CodeOf(int baudRate) {
  for (const KnownRate& known : kKnownRates) {
    if (known.rate == baudRate) return known.code;
  }
  return 0;
}

void Report(bool report, const char* message) {
  if (report) std::cout << message << std::endl;
}

}  // namespace

int BaudRateToCode(int baudRate, bool report) {
  const int code = CodeOf(baudRate);
  if (code == 0) Report(report, "Error: Invalid new baud rate");
  return code;
}

int CheckBaudRate(int baudRate, bool report) {
  if (CodeOf(baudRate) == 0) {
    Report(report, "Error: Invalid baud rate");
    return 0;
  }
  return baudRate;
}

bool CheckSerialSettings(int comPort, int baudRate, int parity, bool report) {
  if (comPort < 1 || comPort > 99) {
    Report(report, "Error: Invalid port");
    return false;
  }
  if (baudRate < 600 || baudRate > 460800) {
    Report(report, "Error: Invalid baud rate");
    return false;
  }
  return parity >= 0 && parity <= 4;
}

bool CheckModbusAddress(int modbusAddress, bool report) {
  if (modbusAddress < 1 || modbusAddress > 255) {
    Report(report, "Error: Invalid Modbus address");
    return false;
  }
  return true;
}

int CheckIpAddress(const std::string& address, bool report) {
  if (platform::InetAddr(address.c_str()) == platform::kInaddrNone) {
    Report(report, "Error: Invalid IP address");
    return kWsaAddressNotAvailable;
  }
  return 0;
}
