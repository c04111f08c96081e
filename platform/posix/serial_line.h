// Two decisions of the Linux serial device that a pseudo-terminal cannot show, kept apart from
// the ioctls so that they can be driven with what a real UART driver would report.
#pragma once

#include <cstdint>

namespace platform {
namespace serial_line {

// Whether a rate set stands, from what the driver did with it: it accepted the request and
// reports back a rate within 2 % of the one asked. USB adapter drivers (cp210x, pl2303 and
// others) settle on the nearest rate they can make and report that, 115200 for 115000, as
// Windows drivers quietly do; a rate further off would garble every frame.
bool RateSetStands(bool driverAccepted, std::uint32_t askedRate, std::uint32_t reportedRate);

// How many bytes the driver still has to send, or a negative value when it cannot tell.
using QueuedBytes = int (*)(int fd);
using MonotonicClockMs = std::int64_t (*)();

// Waits until `queued` reports nothing left to send on `fd`, or until `deadlineMs` has come,
// whichever is first; a driver that cannot tell ends the wait at once. True when the output
// drained.
bool WaitUntilSent(int fd, std::int64_t deadlineMs, QueuedBytes queued, MonotonicClockMs now);

}  // namespace serial_line
}  // namespace platform
