// Time and process identity: the waits of the transfers and the stamps of the echo probe.
#pragma once

#include <cstdint>

namespace platform {

// Blocks the calling thread for the given milliseconds without using the processor.
void SleepMs(std::uint32_t milliseconds);
// Milliseconds since an arbitrary start, wrapping at 32 bits.
std::uint32_t TickCountMs();
std::uint32_t CurrentProcessId();
// Calendar time in whole seconds.
std::int64_t CalendarTimeSeconds();

}  // namespace platform
