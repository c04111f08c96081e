// Checks of the values a command takes from its command line, before any port is opened or frame
// sent, and the baud code a module keeps for each rate it knows.
#pragma once

#include <string>

enum BaudCode : int {
  kBaud9600 = 1,
  kBaud19200 = 2,
  kBaud38400 = 3,
  kBaud57600 = 4,
  kBaud115000 = 5,
};

inline constexpr int kWsaAddressNotAvailable = 10049;

int BaudRateToCode(int baudRate, bool report);
int CheckBaudRate(int baudRate, bool report);
bool CheckSerialSettings(int comPort, int baudRate, int parity, bool report);
bool CheckModbusAddress(int modbusAddress, bool report);

// 0 when the platform's IPv4 text conversion accepts the text, otherwise 10049. Nothing is looked
// up, and 255.255.255.255 is rejected since it converts to the failure value.
int CheckIpAddress(const std::string& address, bool report);
