// The serial device on Windows: the kernel32 communications calls, passed through as they are.
#include "platform/comm.h"

#include <windows.h>

#include <cstring>

namespace platform {
namespace {

static_assert(sizeof(DCB) <= sizeof(CommState::native), "DCB must fit CommState::native");

HANDLE ToHandle(CommHandle handle) { return static_cast<HANDLE>(handle); }

}  // namespace

CommHandle CommOpen(const char* devicePath) {
  return CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

bool CommGetState(CommHandle handle, CommState& state) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(ToHandle(handle), &dcb)) return false;
  std::memcpy(state.native, &dcb, sizeof dcb);
  state.baudRate = dcb.BaudRate;
  state.byteSize = dcb.ByteSize;
  state.parity = dcb.Parity;
  state.stopBits = dcb.StopBits;
  state.rtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
  return true;
}

bool CommSetState(CommHandle handle, const CommState& state) {
  // Everything but the five fields goes back exactly as the driver reported it.
  DCB dcb;
  std::memcpy(&dcb, state.native, sizeof dcb);
  dcb.BaudRate = state.baudRate;
  dcb.ByteSize = state.byteSize;
  dcb.Parity = state.parity;
  dcb.StopBits = state.stopBits;
  dcb.fRtsControl = state.rtsControl & 3u;
  return SetCommState(ToHandle(handle), &dcb) != 0;
}

bool CommSetTimeouts(CommHandle handle, const CommTimeouts& timeouts) {
  COMMTIMEOUTS native;
  native.ReadIntervalTimeout = timeouts.readInterval;
  native.ReadTotalTimeoutMultiplier = timeouts.readMultiplier;
  native.ReadTotalTimeoutConstant = timeouts.readConstant;
  native.WriteTotalTimeoutMultiplier = timeouts.writeMultiplier;
  native.WriteTotalTimeoutConstant = timeouts.writeConstant;
  return SetCommTimeouts(ToHandle(handle), &native) != 0;
}

bool CommPurge(CommHandle handle, unsigned flags) {
  DWORD native = 0;
  if ((flags & kPurgeTxClear) != 0) native |= PURGE_TXCLEAR;
  if ((flags & kPurgeRxClear) != 0) native |= PURGE_RXCLEAR;
  return PurgeComm(ToHandle(handle), native) != 0;
}

bool CommEscapeFunction(CommHandle handle, CommEscape function) {
  return EscapeCommFunction(ToHandle(handle), function == CommEscape::kSetRts ? SETRTS : CLRRTS) !=
         0;
}

bool CommRead(CommHandle handle, std::uint8_t* buffer, std::uint32_t size,
              std::uint32_t* bytesRead) {
  DWORD count = 0;
  const BOOL ok = ReadFile(ToHandle(handle), buffer, size, &count, nullptr);
  *bytesRead = count;
  return ok != 0;
}

bool CommWrite(CommHandle handle, const std::uint8_t* data, std::uint32_t size,
               std::uint32_t* bytesWritten) {
  DWORD count = 0;
  const BOOL ok = WriteFile(ToHandle(handle), data, size, &count, nullptr);
  *bytesWritten = count;
  return ok != 0;
}

bool CommClose(CommHandle handle) { return CloseHandle(ToHandle(handle)) != 0; }

CommHandle CommOpenForProbe(const char* devicePath) {
  return CreateFileA(devicePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace platform
