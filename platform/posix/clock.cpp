#include "platform/clock.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace platform {

void SleepMs(std::uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::uint32_t TickCountMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(getpid()); }

std::int64_t CalendarTimeSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace platform
