// CRC-16/MODBUS, the check that ends every RTU frame (sent low byte first).
#pragma once

#include <cstdint>

// CRC of the first `length` - 2 bytes of `frame`: `length` counts the whole frame with its two CRC
// bytes, whether they are still to be filled or were received. 2 or less gives `initial` back.
std::uint16_t ModbusCrc16(std::uint16_t initial, const std::uint8_t* frame, std::int32_t length);
