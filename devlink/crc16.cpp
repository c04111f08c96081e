#include "devlink/crc16.h"

std::uint16_t ModbusCrc16(std::uint16_t initial, const std::uint8_t* frame, std::int32_t length) {
  std::uint16_t crc = initial;
  for (std::int32_t i = 0; i < length - 2; ++i) {
    crc ^= frame[i];
    for (int bit = 0; bit < 8; ++bit) {
      const bool carry = (crc & 1u) != 0;
      crc = static_cast<std::uint16_t>(crc >> 1);
      if (carry) crc ^= 0xA001u;
    }
  }
  return crc;
}
