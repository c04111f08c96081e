#include "devlink/serial_port.h"

#include <iostream>

namespace {

constexpr std::uint32_t kReadTotalTimeoutConstantMs = 300;
constexpr std::uint32_t kWriteTotalTimeoutMultiplierMs = 20;
constexpr std::uint32_t kWriteTotalTimeoutConstantMs = 200;

// Raise RTS, purge, close: the shared tail of a close and of an open that failed half-way.
bool ReleaseDevice(platform::CommHandle handle) {
  platform::CommEscapeFunction(handle, platform::CommEscape::kSetRts);
  platform::CommPurge(handle, platform::kPurgeTxClear | platform::kPurgeRxClear);
  return platform::CommClose(handle);
}

bool ApplyLineFormat(platform::CommHandle handle, int baud, int parity, int byteSize,
                     int stopBits) {
  platform::CommState state;
  if (!platform::CommGetState(handle, state)) return false;
  state.baudRate = static_cast<std::uint32_t>(baud);
  state.byteSize = static_cast<std::uint8_t>(byteSize);
  state.parity = static_cast<std::uint8_t>(parity);
  state.stopBits = static_cast<std::uint8_t>(stopBits);
  state.rtsControl = platform::kRtsControlDisable;
  return platform::CommSetState(handle, state);
}

bool ApplyTimeouts(platform::CommHandle handle) {
  platform::CommTimeouts timeouts;
  timeouts.readInterval = platform::kMaxTimeout;
  timeouts.readMultiplier = platform::kMaxTimeout;
  timeouts.readConstant = kReadTotalTimeoutConstantMs;
  timeouts.writeMultiplier = kWriteTotalTimeoutMultiplierMs;
  timeouts.writeConstant = kWriteTotalTimeoutConstantMs;
  return platform::CommSetTimeouts(handle, timeouts);
}

}  // namespace

std::string ComDevicePath(int comPort) { return "\\\\.\\COM" + std::to_string(comPort); }

bool SerialPort::OpenWithFormat(int comPort, int baud, int parity, int byteSize, int stopBits,
                                bool report) {
  // The object holds at most one device: a second open releases the first.
  Close();
  devicePath = ComDevicePath(comPort);
  const platform::CommHandle opened = platform::CommOpen(devicePath.c_str());
  if (opened != platform::kInvalidCommHandle) {
    if (ApplyLineFormat(opened, baud, parity, byteSize, stopBits) && ApplyTimeouts(opened)) {
      platform::CommPurge(opened, platform::kPurgeTxClear | platform::kPurgeRxClear);
      platform::CommEscapeFunction(opened, platform::CommEscape::kClearRts);
      handle = opened;
      return true;
    }
    ReleaseDevice(opened);
  }
  if (report) std::cout << "Error: Failed to initialize COM port" << std::endl;
  return false;
}

bool SerialPort::Open(int comPort, int baud, int parity, bool report) {
  return OpenWithFormat(comPort, baud, parity, 8, 0, report);
}

bool SerialPort::Close() {
  if (handle == nullptr) return false;
  const platform::CommHandle closing = handle;
  handle = nullptr;
  return ReleaseDevice(closing);
}
