// The text rules of the registry reading helpers: a value's bytes as text, the trimming, the join.
#include "devlink/registry_read.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (const int value : values) bytes += static_cast<char>(value);
  return bytes;
}

const std::string kZero(1, '\0');

TEST(RegistryValueText, IsTheDataUpToTheFirstZeroByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"COM3" + kZero, "COM3"},
      {"COM3", "COM3"},
      {"first" + kZero + "second" + kZero + kZero, "first"},
      {Bytes({0x00, 0x01, 0x00, 0x00}), ""},
      {Bytes({0x41, 0x00, 0x00, 0x00}), "A"},
      {Bytes({0x12, 0x34, 0x56, 0x78}), Bytes({0x12, 0x34, 0x56, 0x78})},
      {Bytes({0xE9, 0x80, 0xFF, 0x00, 0x41}), Bytes({0xE9, 0x80, 0xFF})},
  };
  for (const auto& [data, text] : cases) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    EXPECT_EQ(RegistryValueText(bytes, static_cast<std::uint32_t>(data.size())), text)
        << testing::PrintToString(data);
  }
}

TEST(TrimRegistryText, RemovesTheSpaceAndTheFiveControlsAtBothEndsOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {" \t\n\v\f\r", ""},
      {"\r\n  USB Serial Port (COM3) \t", "USB Serial Port (COM3)"},
      {"a \t b", "a \t b"},
      {"COM3", "COM3"},
      // Only 0x09-0x0D and 0x20 count: not the other controls, not bytes of 0x80 and above.
      {Bytes({0xA0, 'x', 0xA0}), Bytes({0xA0, 'x', 0xA0})},
      {Bytes({0x85, 0x1C, 'x', 0x08, 0x0E, 0x7F}), Bytes({0x85, 0x1C, 'x', 0x08, 0x0E, 0x7F})},
      {Bytes({' ', 0xE9, ' '}), Bytes({0xE9})},
  };
  for (const auto& [text, trimmed] : cases) {
    std::string value = text;
    TrimRegistryText(value);
    EXPECT_EQ(value, trimmed) << testing::PrintToString(text);
  }
}

TEST(JoinRegistryPath, PutsOneBackslashBetweenWhateverItIsGiven) {
  struct Case {
    std::string base;
    std::string leaf;
    std::string joined;
  };
  const Case cases[] = {
      {"SYSTEM\\CurrentControlSet", "Enum", "SYSTEM\\CurrentControlSet\\Enum"},
      {"", "Enum", "\\Enum"},
      {"SYSTEM\\", "Enum", "SYSTEM\\\\Enum"},
      {"SYSTEM", "", "SYSTEM\\"},
      {"", "", "\\"},
      {"a/b", "\\c", "a/b\\\\c"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JoinRegistryPath(c.base, c.leaf), c.joined);
    EXPECT_EQ(BuildRegistryPath(c.base, c.leaf), c.joined);
  }
}

}  // namespace
