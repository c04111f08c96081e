// Modbus RTU over one COM port: reads with retries, single-register writes and the vendor
// function-70 frames that bracket a settings write. Every transfer is write, fixed wait, one read.
#pragma once

#include <cstdint>

#include "devlink/modbus_request.h"
#include "devlink/serial_port.h"

enum Set70Command : int { Prepare = 1, Commit = 2 };

inline constexpr int kSet70Function = 70;
inline constexpr int kDefaultModbusAddress = 254;
inline constexpr std::uint8_t kSet70Ack = 0x41;
inline constexpr int kRtuReplyBufferSize = 511;
inline constexpr int kReplyDelayMs = 250;
inline constexpr int kRetries = 3;
inline constexpr int kRtuRequestSize = 8;

class ModbusRtuMaster : public ModbusRequest {
 public:
  ModbusRtuMaster() = default;
  ~ModbusRtuMaster();
  ModbusRtuMaster(const ModbusRtuMaster&) = delete;
  ModbusRtuMaster& operator=(const ModbusRtuMaster&) = delete;

  bool Open(int comPort, int baud, int parity, bool report);
  void Close();
  bool GetOnce(int delayMs, bool report);
  bool Get(int retries, int delayMs, bool report);
  bool Set(int writeValue, int delayMs, bool report);
  bool Set70(int command, int delayMs, bool report);

  platform::CommHandle portHandle = nullptr;
  SerialPort port;
};

// The pure halves of the transfers, over byte buffers.

void BuildRtuReadRequest(const ModbusRequest& block, std::uint8_t (&frame)[kRtuRequestSize]);
void BuildRtuWriteRequest(const ModbusRequest& block, int writeValue,
                          std::uint8_t (&frame)[kRtuRequestSize]);
// The fixed frame of a function-70 command, or nullptr (and length 0) for any other command.
const std::uint8_t* Set70Frame(int command, std::int32_t* length);

enum class RtuReplyKind { kBroken, kException, kAccepted };
// Length and CRC first, then bit 7 of the function byte.
RtuReplyKind JudgeRtuReply(const std::uint8_t* reply, std::int32_t length);
// Fills the block's table from an accepted reply, by the block's function code.
void UnpackRtuReply(const std::uint8_t* reply, std::int32_t length, ModbusRequest& block);
bool Set70Acknowledged(const std::uint8_t* reply, std::int32_t length);
