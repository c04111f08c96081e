#include "cli/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counting_notice.h"

namespace {

struct CaptureCase {
  std::vector<const char*> argv;
  std::vector<std::string> captured;
  bool noticeShown;
};

TEST(ParseArguments, DropsNowarnInAnyCaseAndShowsTheNoticeOtherwise) {
  const CaptureCase cases[] = {
      {{}, {}, true},
      {{"mx40r"}, {"mx40r"}, true},
      {{"mx40r", "NOWARN"}, {"mx40r"}, false},
      {{"mx40r", "nowarn", "COMPORTS"}, {"mx40r", "COMPORTS"}, false},
      {{"mx40r", "COMGETSTATUS", "NoWarn", "3", "19200"},
       {"mx40r", "COMGETSTATUS", "3", "19200"},
       false},
      {{"mx40r", "NOWARNX", "COMPORTS"}, {"mx40r", "NOWARNX", "COMPORTS"}, true},
      {{"NOWARN", "COMPORTS"}, {"COMPORTS"}, false},
      {{"mx40r", "NOWARN", "nowarn", ""}, {"mx40r", ""}, false},
      {{"mx40r", " NOWARN"}, {"mx40r", " NOWARN"}, true},
  };
  for (const CaptureCase& c : cases) {
    std::vector<std::string> captured;
    g_noticeShown = 0;
    ParseArguments(captured, static_cast<int>(c.argv.size()), c.argv.data());
    EXPECT_EQ(captured, c.captured);
    EXPECT_EQ(g_noticeShown, c.noticeShown ? 1 : 0);
  }
}

TEST(ParseArguments, NoticeCarriesTheCaptionAndThe154ByteText) {
  const char* argv[] = {"mx40r"};
  std::vector<std::string> captured;
  ParseArguments(captured, 1, argv);
  EXPECT_EQ(g_noticeCaption, "Acceptance of Use");
  ASSERT_EQ(g_noticeText.size(), 154u);
  EXPECT_EQ(g_noticeText.substr(0, 27), "This software is provided \x93");
  EXPECT_EQ(static_cast<unsigned char>(g_noticeText[32]), 0x94);
}

TEST(ParseArguments, AppendsToWhatTheListHolds) {
  std::vector<std::string> captured = {"kept"};
  const char* argv[] = {"mx40r", "NOWARN"};
  ParseArguments(captured, 2, argv);
  EXPECT_EQ(captured, (std::vector<std::string>{"kept", "mx40r"}));
}

TEST(ToNumber, ConvertsAsA32BitAtol) {
  struct Case {
    const char* text;
    std::int32_t number;
  };
  const Case cases[] = {
      {"3", 3},
      {"19200", 19200},
      {"  42", 42},
      {"\t\n+7", 7},
      {"-1", -1},
      {"12abc", 12},
      {"COM3", 0},
      {"", 0},
      {"-", 0},
      {"+-3", 0},
      {"3.9", 3},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"4294967299", 2147483647},
      {"99999999999999999999999999", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"-2147483649", -2147483647 - 1},
      {"-99999999999999999999999", -2147483647 - 1},
      {"0x10", 0},
      {"007", 7},
  };
  for (const Case& c : cases) EXPECT_EQ(ToNumber(c.text), c.number) << '"' << c.text << '"';
}

TEST(EqualsIgnoringCase, FoldsAsciiLettersOnly) {
  EXPECT_TRUE(EqualsIgnoringCase("comgetstatus", "COMGETSTATUS"));
  EXPECT_FALSE(EqualsIgnoringCase("COMGETSTATU", "COMGETSTATUS"));
  EXPECT_FALSE(EqualsIgnoringCase("COMPORTSX", "COMPORTS"));
  EXPECT_FALSE(EqualsIgnoringCase("\xE9", "\xC9"));
  EXPECT_TRUE(EqualsIgnoringCase("", ""));
}

}  // namespace
