// Bytes as the tests write frames: upper-case hex pairs with single spaces, "FE 03 0B B8".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

inline std::string Hex(const std::uint8_t* data, std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", data[i]);
    text += byte;
  }
  return text;
}
