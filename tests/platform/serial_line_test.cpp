// What a pseudo-terminal cannot show of the Linux serial device: the rate a real driver reports
// back after a set, and an output queue that takes time to drain.
#include "platform/posix/serial_line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

namespace {

using platform::serial_line::RateSetStands;
using platform::serial_line::WaitUntilSent;

TEST(SerialLineRate, ARateTheDriverReportsWithinTwoPercentStands) {
  struct Case {
    bool accepted;
    std::uint32_t asked;
    std::uint32_t reported;
    bool stands;
  };
  const Case cases[] = {
      {true, 115000, 115000, true},   // a driver that makes the rate exactly (a pty, an FTDI)
      {true, 115000, 115200, true},   // cp210x, pl2303: the nearest rate their divisor makes
      {true, 115000, 117300, true},   // 2 % above
      {true, 115000, 112700, true},   // 2 % below
      {true, 115000, 117301, false},  // just past 2 %
      {true, 115000, 112699, false},
      {true, 115000, 9600, false},  // a driver that fell back to a default rate
      {true, 9600, 115000, false},
      {true, 19200, 0, false},
      {false, 115000, 115000, false},  // the driver refused the set
      {false, 19200, 19200, false},
      {true, 4000000, 4000000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "accepted " << c.accepted << ", asked " << c.asked
                                    << ", reported " << c.reported);
    EXPECT_EQ(RateSetStands(c.accepted, c.asked, c.reported), c.stands);
  }
}

using Clock = std::chrono::steady_clock;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

// A driver whose queue empties `g_drainedAtMs` into the test; -1 bytes: a driver that cannot tell.
std::int64_t g_drainedAtMs = 0;
int g_queueReads = 0;

int DrainingQueue(int) {
  ++g_queueReads;
  return NowMs() >= g_drainedAtMs ? 0 : 8;
}
int UnknownQueue(int) {
  ++g_queueReads;
  return -1;
}

TEST(SerialLineDrain, AWriteWaitsForTheQueueToEmptyAndNeverPastItsDeadline) {
  struct Case {
    const char* what;
    int drainsAfterMs;
    int deadlineMs;
    platform::serial_line::QueuedBytes queue;
    bool drained;
    int returnsAfterMs;
  };
  const Case cases[] = {
      {"already empty", 0, 360, DrainingQueue, true, 0},
      {"drains before the deadline", 40, 360, DrainingQueue, true, 40},
      {"still sending at the deadline", 5000, 120, DrainingQueue, false, 120},
      {"a driver that cannot tell", 5000, 360, UnknownQueue, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_queueReads = 0;
    const std::int64_t start = NowMs();
    g_drainedAtMs = start + c.drainsAfterMs;
    EXPECT_EQ(WaitUntilSent(3, start + c.deadlineMs, c.queue, NowMs), c.drained);
    const std::int64_t elapsed = NowMs() - start;
    EXPECT_GE(elapsed, c.returnsAfterMs);
    EXPECT_LT(elapsed, c.returnsAfterMs + 30);
    // Waiting in pauses, not in a spin that would take a core from the rest of the machine.
    EXPECT_LE(g_queueReads, c.returnsAfterMs + 2);
  }
}

}  // namespace
