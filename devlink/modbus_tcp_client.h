// Modbus over TCP to one module: reads into the request block with retries, and the vendor
// function-70 frame that changes the module's address. Every connection is preceded by an address
// check and an ICMP echo probe; every send and receive by a readiness wait of 3 s.
#pragma once

#include <cstdint>
#include <string>

#include "devlink/modbus_request.h"
#include "devlink/modbus_rtu_master.h"
#include "platform/sockets.h"

inline constexpr int kModbusTcpPort = 502;
inline constexpr int kSelectTimeoutSec = 3;
inline constexpr int kSet70SetAddress = 11;
inline constexpr int kTcpReadRequestSize = 12;
inline constexpr int kTcpSet70FrameSize = 10;
inline constexpr int kTcpReadReplyBufferSize = 256;
inline constexpr int kTcpSet70ReplyBufferSize = 4096;

class ModbusTcpClient : public ModbusRequest {
 public:
  ModbusTcpClient() = default;
  ~ModbusTcpClient();
  ModbusTcpClient(const ModbusTcpClient&) = delete;
  ModbusTcpClient& operator=(const ModbusTcpClient&) = delete;

  bool Connect(const std::string& hostText, int port, bool report);
  int Close();
  bool GetOnce(bool report);
  bool Get(int retries, bool report);
  bool Set70(int newAddress, bool report);

  std::string host;
  platform::Socket socket = platform::kInvalidSocket;
};

// The pure halves of the transfers, over byte buffers.

void BuildTcpReadRequest(const ModbusRequest& block, std::uint8_t (&frame)[kTcpReadRequestSize]);
void BuildTcpSet70Frame(int newAddress, std::uint8_t (&frame)[kTcpSet70FrameSize]);

enum class TcpReplyKind {
  kTooShort,       // fewer than 9 bytes: "Modbus Get failed"
  kForeign,        // bytes 0 to 4 (identifiers, high byte of the length) not all 0: silent
  kException,      // bit 7 of the function byte; the code is byte 8
  kWrongFunction,  // "Modbus Get failed"
  kAccepted,
};
// The tests in the order the read makes them.
TcpReplyKind JudgeTcpReply(const std::uint8_t* reply, int length, std::int32_t functionCode);
// Fills the block's table from an accepted reply, by the block's function code, with the values
// whose bytes arrived and at most kRegisterTableSize of them.
void UnpackTcpReply(const std::uint8_t* reply, int length, ModbusRequest& block);
bool TcpSet70Acknowledged(const std::uint8_t* reply, int length);
