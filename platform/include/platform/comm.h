// Serial communication device: the few operations the serial port and the RTU master make, with the
// behaviour they rely on, whichever operating system is underneath.
#pragma once

#include <cstdint>

namespace platform {

// An open device, or kInvalidCommHandle. Opaque above this layer.
using CommHandle = void*;
// All bits set, as Windows marks a failed open. NOLINTNEXTLINE(performance-no-int-to-ptr)
inline CommHandle const kInvalidCommHandle = reinterpret_cast<CommHandle>(~std::uintptr_t{0});

inline constexpr std::uint8_t kRtsControlDisable = 0;
inline constexpr std::uint8_t kRtsControlEnable = 1;
inline constexpr std::uint8_t kRtsControlHandshake = 2;
inline constexpr std::uint8_t kRtsControlToggle = 3;

// The line settings a device reports. The five named fields are the ones a caller may change; every
// other setting travels untouched in `native`, so that a set puts back exactly what the get
// reported.
struct CommState {
  std::uint32_t baudRate = 0;
  std::uint8_t byteSize = 0;
  std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  std::uint8_t rtsControl = kRtsControlDisable;
  alignas(8) unsigned char native[96] = {};
};

inline constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFFu;

// Milliseconds. Interval and multiplier both kMaxTimeout with a constant below it means: a read
// returns at once with what is buffered, else with the first bytes that arrive within the constant,
// else with none. A write of n bytes gets at most writeMultiplier * n + writeConstant.
struct CommTimeouts {
  std::uint32_t readInterval = 0;
  std::uint32_t readMultiplier = 0;
  std::uint32_t readConstant = 0;
  std::uint32_t writeMultiplier = 0;
  std::uint32_t writeConstant = 0;
};

inline constexpr unsigned kPurgeTxClear = 0x0004;
inline constexpr unsigned kPurgeRxClear = 0x0008;

enum class CommEscape { kSetRts, kClearRts };

// Opens the device that a "\\.\COM<n>" path names, for reading and writing, shared with no one.
CommHandle CommOpen(const char* devicePath);
// The availability check of port discovery: the same device, opened for reading only and shared
// with no one, so that it fails where CommOpen would for a port that is absent or held. Released
// with CommClose.
CommHandle CommOpenForProbe(const char* devicePath);
bool CommGetState(CommHandle handle, CommState& state);
bool CommSetState(CommHandle handle, const CommState& state);
bool CommSetTimeouts(CommHandle handle, const CommTimeouts& timeouts);
bool CommPurge(CommHandle handle, unsigned flags);
bool CommEscapeFunction(CommHandle handle, CommEscape function);
bool CommRead(CommHandle handle, std::uint8_t* buffer, std::uint32_t size,
              std::uint32_t* bytesRead);
bool CommWrite(CommHandle handle, const std::uint8_t* data, std::uint32_t size,
               std::uint32_t* bytesWritten);
bool CommClose(CommHandle handle);

}  // namespace platform
