#include "platform/clock.h"

#include <windows.h>

#include <ctime>

namespace platform {

void SleepMs(std::uint32_t milliseconds) { Sleep(milliseconds); }

std::uint32_t TickCountMs() { return GetTickCount(); }

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

std::int64_t CalendarTimeSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace platform
