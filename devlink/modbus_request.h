// The request and reply block of one Modbus transaction: both transports build their frames from it
// and leave a read's values in its table, where the commands fetch them by register number.
#pragma once

#include <cstdint>

inline constexpr int kRegisterTableSize = 128;

class ModbusRequest {
 public:
  void SetRequest(std::int32_t slave, std::int32_t function, std::int32_t firstRegister,
                  std::int32_t registerCount);
  bool GetRegister(std::int32_t registerNumber);

  std::int32_t value = 0;
  std::int32_t slaveAddress = 0;
  std::int32_t functionCode = 0;
  std::int32_t startIndex = 0;
  std::int32_t count = 0;
  std::int32_t registers[kRegisterTableSize] = {};
};
