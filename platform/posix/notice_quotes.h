// How the notice's text reaches a terminal: its two Windows-1252 curly quotes in the character set
// that the C library reports for the user's locale, so that no byte above ASCII reaches a terminal
// whose set is not known to hold it. Apart from the notice so that the choice is tested by name.
#pragma once

#include <string>

namespace platform::notice {

enum class QuoteStyle {
  kPlain,        // '"' for both: the set has no curly quotes, or is not known to have them
  kUtf8,         // U+201C and U+201D
  kWindows1252,  // the bytes 0x93 and 0x94 as they are
};

// By the name of a character set ("UTF-8", "ANSI_X3.4-1968", "CP1252"), letter case, '-' and '_'
// ignored: only UTF-8 and Windows-1252 are known to hold the quotes.
QuoteStyle QuoteStyleForCodeset(const std::string& codeset);

// The character set of `localeName` for LC_CTYPE as the C library reports it, the process's own
// locale left as it is; an empty name is the C locale. When that locale is not installed, the set
// that the name gives after its '.' ("UTF-8" of "en_US.UTF-8@euro"): a user who names one has a
// terminal that speaks it, with or without the locale's files here. Empty when neither tells.
std::string CodesetOfLocale(const std::string& localeName);

// `text` (Windows-1252) with 0x93 and 0x94 shown in `style`. Any other byte above ASCII, which
// only Windows-1252 is known to hold, becomes '?' in the other styles; ASCII passes as it is.
std::string ForTerminal(const std::string& text, QuoteStyle style);

}  // namespace platform::notice
