// Capture of the command line, with the "NOWARN" switch that skips the acceptance notice, and the
// conversion of number arguments.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view kNoWarn = "NOWARN";
inline constexpr std::string_view kNoticeCaption = "Acceptance of Use";
// Windows-1252: the quotes are the single bytes 0x93 and 0x94.
inline constexpr std::string_view kNoticeText =
    "This software is provided \x93"
    "as is\x94"
    ", without warranty of any kind. You use it at your own risk; the authors accept no "
    "liability for any damage from its use.";

// Appends argv[0] to argv[argc - 1], leaving out every "NOWARN" in any letter case; shows the
// notice and waits for it unless one was left out.
void ParseArguments(std::vector<std::string>& arguments, int argc, const char* const* argv);

// ASCII letters fold; every other byte compares as itself.
bool EqualsIgnoringCase(std::string_view left, std::string_view right);

// As the C runtime's atol with a 32-bit long: leading white space, an optional sign, the digits
// that follow; 0 when there are none; saturating at the 32-bit limits.
std::int32_t ToNumber(const std::string& text);
