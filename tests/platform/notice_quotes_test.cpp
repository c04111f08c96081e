// The notice's quotes by the terminal's character set, and the set read from the C library's
// locales without touching the process's own.
#include "platform/posix/notice_quotes.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace platform::notice {
namespace {

TEST(NoticeQuotes, StyleByCharacterSetName) {
  const struct {
    const char* codeset;
    QuoteStyle style;
  } cases[] = {
      {"UTF-8", QuoteStyle::kUtf8},
      {"utf-8", QuoteStyle::kUtf8},
      {"Utf-8", QuoteStyle::kUtf8},
      {"UTF8", QuoteStyle::kUtf8},
      {"utf8", QuoteStyle::kUtf8},
      {"uTf_8", QuoteStyle::kUtf8},
      {"CP1252", QuoteStyle::kWindows1252},
      {"cp1252", QuoteStyle::kWindows1252},
      {"WINDOWS-1252", QuoteStyle::kWindows1252},
      {"windows_1252", QuoteStyle::kWindows1252},
      {"ANSI_X3.4-1968", QuoteStyle::kPlain},
      {"ISO-8859-1", QuoteStyle::kPlain},
      {"ISO-8859-15", QuoteStyle::kPlain},
      {"KOI8-R", QuoteStyle::kPlain},
      {"UTF-16", QuoteStyle::kPlain},
      {"UTF-7", QuoteStyle::kPlain},
      {"UTF-8 ", QuoteStyle::kPlain},
      {"CP125", QuoteStyle::kPlain},
      {"", QuoteStyle::kPlain},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QuoteStyleForCodeset(c.codeset), c.style) << "\"" << c.codeset << "\"";
  }
}

TEST(NoticeQuotes, TextForEachStyle) {
  const std::string text =
      "Caption \x93"
      "as is\x94, caf\xE9.";
  EXPECT_EQ(ForTerminal(text, QuoteStyle::kPlain), "Caption \"as is\", caf?.");
  EXPECT_EQ(ForTerminal(text, QuoteStyle::kUtf8),
            "Caption \xE2\x80\x9C"
            "as is\xE2\x80\x9D, caf?.");
  EXPECT_EQ(ForTerminal(text, QuoteStyle::kWindows1252), text);
}

// The C library's own names for the sets of the locales that every system has, and for names
// that no system installs, the set the name itself gives.
TEST(NoticeQuotes, CharacterSetOfLocale) {
  const std::string before = std::setlocale(LC_ALL, nullptr);
  const struct {
    const char* locale;
    const char* codeset;
  } cases[] = {
      {"C", "ANSI_X3.4-1968"},     {"POSIX", "ANSI_X3.4-1968"},
      {"", "ANSI_X3.4-1968"},      {"xx_XX.UTF-8", "UTF-8"},
      {"xx_XX.utf8@euro", "utf8"}, {"xx_XX.ISO-8859-1", "ISO-8859-1"},
      {"xx_XX.CP1252", "CP1252"},  {"xx_XX", ""},
      {"xx_XX@euro", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(CodesetOfLocale(c.locale), c.codeset) << c.locale;
  EXPECT_EQ(std::setlocale(LC_ALL, nullptr), before) << "the process's locale is left as it is";
}

// Installed or not, every spelling of the C library's UTF-8 locale gives UTF-8 quotes.
TEST(NoticeQuotes, EverySpellingOfUtf8) {
  for (const char* locale : {"C.UTF-8", "C.utf8", "C.Utf-8", "C.UTF8", "c.uTf_8", "en_US.UTF-8"}) {
    EXPECT_EQ(QuoteStyleForCodeset(CodesetOfLocale(locale)), QuoteStyle::kUtf8) << locale;
  }
}

}  // namespace
}  // namespace platform::notice
