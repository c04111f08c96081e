// The texts port discovery builds for each port it accepts, and the prefix test before the probe.
#include <gtest/gtest.h>

#include <string>

#include "devlink/port_discovery.h"

namespace {

TEST(HasComPrefix, TestsTheFirstThreeCharactersExactly) {
  const std::pair<const char*, bool> cases[] = {
      {"COM3", true},  {"COM12", true}, {"COM", true},    {"COMX", true},   {"COM 3", true},
      {"com3", false}, {"Com3", false}, {"cOM3", false},  {"LPT1", false},  {"CO", false},
      {"C", false},    {"", false},     {" COM3", false}, {"XCOM3", false},
  };
  for (const auto& [portName, passes] : cases) {
    EXPECT_EQ(HasComPrefix(portName), passes) << '"' << portName << '"';
  }
}

TEST(PortNumberText, IsThePortNameWithEveryComTakenOutInOnePass) {
  const std::pair<const char*, const char*> cases[] = {
      {"COM3", "3"},    {"COM12", "12"},   {"COM0", "0"},    {"COM", ""},
      {"COMX", "X"},    {"COM 3", " 3"},   {"COMCOM3", "3"}, {"COM1COM2", "12"},
      {"COM3COM", "3"}, {"CCOMOM", "COM"}, {"COCOM", "CO"},  {"LPT1", "LPT1"},
  };
  for (const auto& [portName, number] : cases) {
    EXPECT_EQ(PortNumberText(portName), number) << '"' << portName << '"';
  }
}

TEST(DescriptionLine, JoinsPortNameKindTextAndFriendlyNameWithNothingBetween) {
  EXPECT_EQ(DescriptionLine("COM3", "\tFTDI - ", "USB Serial Port (COM3)"),
            "COM3\tFTDI - USB Serial Port (COM3)");
  EXPECT_EQ(DescriptionLine("COM12", "\tFixed - ", "Communications Port"),
            "COM12\tFixed - Communications Port");
  EXPECT_EQ(DescriptionLine("COM1", "\tUSB - ", "x"), "COM1\tUSB - x");
}

TEST(ComPrefix, IsCom) { EXPECT_EQ(kComPrefix, "COM"); }

}  // namespace
