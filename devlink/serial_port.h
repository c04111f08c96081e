// One COM port, opened exclusively with the module's line format and the time-outs that the RTU
// master's write-wait-read transfers rely on, RTS lowered; closed with RTS raised and buffers
// purged.
#pragma once

#include <string>

#include "platform/comm.h"

class SerialPort {
 public:
  bool OpenWithFormat(int comPort, int baud, int parity, int byteSize, int stopBits, bool report);
  bool Open(int comPort, int baud, int parity, bool report);
  bool Close();

  platform::CommHandle handle = nullptr;
  std::string devicePath;
};

// "\\.\COM<n>", the name every port number is opened by.
std::string ComDevicePath(int comPort);
