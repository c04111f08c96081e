// The registry reading helpers over registry trees that the Linux backend reads from a directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "devlink/registry_read.h"
#include "tests/support/registry_fixture.h"

namespace {

using Names = std::vector<std::string>;

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (const int value : values) bytes += static_cast<char>(value);
  return bytes;
}

const std::string kZero(1, '\0');

// A registry directory that the backend reads for the length of one test.
class RegistryHelpers : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(registry.Ready());
    ASSERT_EQ(setenv("MX40R_REGISTRY_DIR", registry.Path().c_str(), 1), 0);
  }
  void TearDown() override { unsetenv("MX40R_REGISTRY_DIR"); }

  testsupport::RegistryDirectory registry;
};

constexpr char kKey[] = "SYSTEM\\Values";

TEST_F(RegistryHelpers, ListingAppendsSubkeyNamesInAscendingByteOrder) {
  const Names subkeys = {"b", "COM3", "COM10", "Device Parameters", "B", "\xC3\xA9t\xC3\xA9"};
  for (const std::string& name : subkeys) ASSERT_TRUE(registry.AddKey("SYSTEM\\Enum\\" + name));
  // Values are not subkeys.
  ASSERT_TRUE(registry.AddString("SYSTEM\\Enum", "FriendlyName", "x"));
  ASSERT_TRUE(registry.AddKey("SYSTEM\\Empty"));

  Names out = {"kept", "COM3"};
  EXPECT_TRUE(EnumRegistrySubkeys("SYSTEM\\Enum", out));
  EXPECT_EQ(out, (Names{"kept", "COM3", "B", "COM10", "COM3", "Device Parameters", "b",
                        "\xC3\xA9t\xC3\xA9"}));

  Names again = {"kept"};
  EXPECT_TRUE(EnumRegistrySubkeysIn(platform::kLocalMachineKey, "SYSTEM", again));
  EXPECT_EQ(again, (Names{"kept", "Empty", "Enum"}));

  Names none;
  EXPECT_TRUE(EnumRegistrySubkeys("SYSTEM\\Empty", none));
  EXPECT_EQ(none, Names{});
}

TEST_F(RegistryHelpers, ListingAKeyThatCannotBeOpenedLeavesTheListAsItWas) {
  ASSERT_TRUE(registry.AddKey("SYSTEM\\Enum\\USB"));
  ASSERT_TRUE(registry.AddString("SYSTEM\\Enum", "FriendlyName", "x"));
  const std::string paths[] = {"SYSTEM\\Enum\\FTDIBUS", "SYSTEM\\Enum\\FriendlyName",
                               "SYSTEM\\\\Enum",        "SYSTEM\\Enum\\..\\Enum",
                               "SYSTEM/Enum",           "system\\enum"};
  for (const std::string& path : paths) {
    Names out = {"kept"};
    EXPECT_FALSE(EnumRegistrySubkeys(path, out)) << path;
    EXPECT_EQ(out, Names{"kept"}) << path;
  }
}

TEST_F(RegistryHelpers, ValuesReadAsTextAndTrimmed) {
  struct Case {
    const char* name;
    std::string data;
    bool queried;
    std::string queryText;
    bool read;
    std::string readText;
  };
  const std::string x260(260, 'x');
  const Case cases[] = {
      {"Plain", "COM3" + kZero, true, "COM3", true, "COM3"},
      {"NoZero", "COM12", true, "COM12", true, "COM12"},
      {"Empty", "", true, "", false, ""},
      {"OnlyZero", kZero, true, "", false, ""},
      {"Blank", " \t\r\n" + kZero, true, " \t\r\n", false, ""},
      {"Padded", "  USB Serial Port (COM3)\r\n" + kZero, true, "  USB Serial Port (COM3)\r\n", true,
       "USB Serial Port (COM3)"},
      {"Multi", " first " + kZero + "second" + kZero + kZero, true, " first ", true, "first"},
      {"Dword256", Bytes({0x00, 0x01, 0x00, 0x00}), true, "", false, ""},
      {"Dword65", Bytes({0x41, 0x00, 0x00, 0x00}), true, "A", true, "A"},
      {"High", Bytes({0xA0, 0xE9, ' ', 0xFF, 0xA0, 0x00}), true,
       Bytes({0xA0, 0xE9, ' ', 0xFF, 0xA0}), true, Bytes({0xA0, 0xE9, ' ', 0xFF, 0xA0})},
      {"Fills259", std::string(259, 'y') + kZero, true, std::string(259, 'y'), true,
       std::string(259, 'y')},
      {"Fills260", x260, true, x260, true, x260},
      {"ZeroAt260", std::string(259, 'z') + kZero, true, std::string(259, 'z'), true,
       std::string(259, 'z')},
      {"Over261", x260 + "x", false, "", false, ""},
      {"Over261Zero", x260 + kZero, false, "", false, ""},
      {"OverLarge", std::string(5000, 'q'), false, "", false, ""},
  };
  for (const Case& c : cases) ASSERT_TRUE(registry.AddValue(kKey, c.name, c.data)) << c.name;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string queried;
    EXPECT_EQ(QueryRegistryString(platform::kLocalMachineKey, kKey, c.name, queried), c.queried);
    EXPECT_EQ(queried, c.queryText);
    std::string read;
    EXPECT_EQ(ReadRegistryString(kKey, c.name, read), c.read);
    EXPECT_EQ(read, c.readText);
    std::string readIn;
    EXPECT_EQ(ReadRegistryStringIn(platform::kLocalMachineKey, kKey, c.name, readIn), c.read);
    EXPECT_EQ(readIn, c.readText);
  }
}

TEST_F(RegistryHelpers, AValueThatCannotBeReadLeavesTheOldTextThereTrimmed) {
  ASSERT_TRUE(registry.AddString(kKey, "PortName", " COM5 "));
  ASSERT_TRUE(registry.AddValue(kKey, "TooLong", std::string(300, 'x')));
  ASSERT_TRUE(registry.AddKey(std::string(kKey) + "\\Subkey"));
  struct Case {
    const char* path;
    const char* valueName;
  };
  const Case unreadable[] = {
      {kKey, "Missing"}, {kKey, "TooLong"},  {kKey, "Subkey"},
      {kKey, ""},        {kKey, "portname"}, {"SYSTEM\\Nothing", "PortName"},
  };
  for (const Case& c : unreadable) {
    SCOPED_TRACE(std::string(c.path) + " / " + c.valueName);
    std::string out = "  old text\t";
    EXPECT_FALSE(QueryRegistryString(platform::kLocalMachineKey, c.path, c.valueName, out));
    EXPECT_EQ(out, "  old text\t");
    EXPECT_TRUE(ReadRegistryString(c.path, c.valueName, out));
    EXPECT_EQ(out, "old text");
    std::string blank = " \r\n";
    EXPECT_FALSE(ReadRegistryString(c.path, c.valueName, blank));
    EXPECT_EQ(blank, "");
    std::string empty;
    EXPECT_FALSE(ReadRegistryString(c.path, c.valueName, empty));
    EXPECT_EQ(empty, "");
  }
  // A value that reads replaces what was there.
  std::string out = "old text";
  EXPECT_TRUE(ReadRegistryString(kKey, "PortName", out));
  EXPECT_EQ(out, "COM5");
}

TEST_F(RegistryHelpers, NothingCanBeReadWhenTheDirectoryIsMissingOrTheVariableEmpty) {
  ASSERT_TRUE(registry.AddString(kKey, "PortName", "COM5"));
  for (const std::string& directory : {registry.Path() + "/missing", std::string()}) {
    ASSERT_EQ(setenv("MX40R_REGISTRY_DIR", directory.c_str(), 1), 0);
    Names out;
    EXPECT_FALSE(EnumRegistrySubkeys("SYSTEM", out)) << directory;
    std::string text;
    EXPECT_FALSE(ReadRegistryString(kKey, "PortName", text)) << directory;
  }
}

}  // namespace
