#include "devlink/validators.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

// Runs a check with the report flag set and with it clear; the clear run must print nothing.
template <typename Result>
Result Checked(const std::function<Result(bool)>& check, std::string* printed) {
  testing::internal::CaptureStdout();
  const Result silent = check(false);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  testing::internal::CaptureStdout();
  const Result result = check(true);
  *printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(silent, result);
  return result;
}

struct SettingsCase {
  int port;
  int rate;
  int parity;
  bool accepted;
  const char* printed;
};

TEST(Validators, SerialSettingsBoundaries) {
  const SettingsCase cases[] = {
      {1, 19200, 0, true, ""},
      {99, 19200, 0, true, ""},
      {0, 19200, 0, false, "Error: Invalid port\n"},
      {100, 19200, 0, false, "Error: Invalid port\n"},
      {-1, 19200, 0, false, "Error: Invalid port\n"},
      {0, 1, 0, false, "Error: Invalid port\n"},  // a bad port hides a bad rate
      {3, 600, 0, true, ""},
      {3, 460800, 0, true, ""},
      {3, 599, 0, false, "Error: Invalid baud rate\n"},
      {3, 460801, 0, false, "Error: Invalid baud rate\n"},
      {3, 115200, 0, true, ""},  // in range; the rate check rejects it
      {3, 19200, 4, true, ""},
      {3, 19200, 5, false, ""},
      {3, 19200, -1, false, ""},
  };
  for (const SettingsCase& c : cases) {
    std::string printed;
    const bool accepted = Checked<bool>(
        [&](bool report) { return CheckSerialSettings(c.port, c.rate, c.parity, report); },
        &printed);
    EXPECT_EQ(accepted, c.accepted) << c.port << " " << c.rate << " " << c.parity;
    EXPECT_EQ(printed, c.printed) << c.port << " " << c.rate << " " << c.parity;
  }
}

TEST(Validators, BaudRateAndItsCode) {
  struct Case {
    int rate;
    int code;
  };
  const Case cases[] = {{9600, 1},   {19200, 2}, {38400, 3}, {57600, 4}, {115000, 5},
                        {115200, 0}, {4800, 0},  {0, 0},     {-9600, 0}, {9601, 0}};
  for (const Case& c : cases) {
    std::string printed;
    const int rate =
        Checked<int>([&](bool report) { return CheckBaudRate(c.rate, report); }, &printed);
    EXPECT_EQ(rate, c.code == 0 ? 0 : c.rate) << c.rate;
    EXPECT_EQ(printed, c.code == 0 ? "Error: Invalid baud rate\n" : "") << c.rate;

    const int code =
        Checked<int>([&](bool report) { return BaudRateToCode(c.rate, report); }, &printed);
    EXPECT_EQ(code, c.code) << c.rate;
    EXPECT_EQ(printed, c.code == 0 ? "Error: Invalid new baud rate\n" : "") << c.rate;
  }
}

TEST(Validators, ModbusAddressAcceptsOneTo255) {
  const int accepted[] = {1, 247, 248, 255};
  const int rejected[] = {0, 256, -1, 2147483647, -2147483647 - 1};
  for (const int address : accepted) {
    std::string printed;
    EXPECT_TRUE(Checked<bool>([&](bool r) { return CheckModbusAddress(address, r); }, &printed));
    EXPECT_EQ(printed, "");
  }
  for (const int address : rejected) {
    std::string printed;
    EXPECT_FALSE(Checked<bool>([&](bool r) { return CheckModbusAddress(address, r); }, &printed));
    EXPECT_EQ(printed, "Error: Invalid Modbus address\n") << address;
  }
}

TEST(Validators, IpAddressTexts) {
  struct Case {
    const char* text;
    int result;
  };
  const Case cases[] = {
      {"192.168.1.20", 0},  {"10.1", 0},           {"127.0.0.1", 0}, {"0x7f.1", 0},
      {"017.0.0.1", 0},     {"modulehost", 10049}, {"", 10049},      {"255.255.255.255", 10049},
      {"1.2.3.4.5", 10049},
  };
  for (const Case& c : cases) {
    std::string printed;
    const int result =
        Checked<int>([&](bool report) { return CheckIpAddress(c.text, report); }, &printed);
    EXPECT_EQ(result, c.result) << '"' << c.text << '"';
    EXPECT_EQ(printed, c.result == 0 ? "" : "Error: Invalid IP address\n") << c.text;
  }
}

}  // namespace
