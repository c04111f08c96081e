#include "devlink/modbus_request.h"

#include <algorithm>
#include <iterator>

void ModbusRequest::SetRequest(std::int32_t slave, std::int32_t function,
                               std::int32_t firstRegister, std::int32_t registerCount) {
  slaveAddress = slave;
  functionCode = function;
  // Wraps like the 32-bit arithmetic of the wire format rather than overflowing.
  startIndex = static_cast<std::int32_t>(static_cast<std::uint32_t>(firstRegister) - 1u);
  count = registerCount;
  value = 0;
  std::fill(std::begin(registers), std::end(registers), 0);
}

bool ModbusRequest::GetRegister(std::int32_t registerNumber) {
  const std::int64_t entry = std::int64_t{registerNumber} - startIndex;
  if (entry < 1 || entry > kRegisterTableSize) return false;
  value = registers[entry - 1];
  return true;
}
