// The acceptance-of-use notice: a modal box on Windows, the controlling terminal on Linux.
#pragma once

#include <string>

namespace platform {

// Shows the caption and text (8-bit, Windows-1252) with a single OK and returns once it is
// dismissed; returns at once when there is nowhere to show it. Never writes to standard output.
void ShowNotice(const std::string& caption, const std::string& text);

}  // namespace platform
