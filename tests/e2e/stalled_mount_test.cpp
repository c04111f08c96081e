// Before the serial commands take a port they look at other programs' descriptors. A program that
// keeps a file open on a mount whose server stopped answering (sshfs, NFS, any FUSE file system)
// must not hold them up: each run ends in its usual time with its usual output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "platform/clock.h"
#include "status_report_text.h"
#include "tests/support/holder_process.h"
#include "tests/support/registry_fixture.h"
#include "tests/support/stall_fs.h"

namespace e2e {
namespace {

// What a run may take while the mount stalls: its usual time with room to spare. The listing
// takes a fraction of a second; the poll below takes one cycle (three replies and the 1 s pause)
// and three silent attempts of 550 ms, about 3.5 s.
constexpr int kComPortsMs = 3000;
constexpr int kGetStatusMs = 6000;
// How long a stat of the file is given to show that the stall holds it.
constexpr int kProbeMs = 1000;
// The runner's own time-out comes this long after the watchdog's: its SIGKILL and wait must only
// ever meet a process that the lifted stall let go on.
constexpr int kRunnerSlackMs = 30000;

struct WatchedRun {
  testsupport::RunResult result;
  std::uint32_t elapsedMs = 0;
  bool endedInTime = false;  // before the deadline, with the stall still standing
  int heldAnswers = 0;       // what the watchdog's lift gave, when it had to lift the stall
};

// Runs `run` on a thread of its own while this one watches. A process that waits for an answer
// the stalled file system holds back ends for no signal, so at `deadlineMs` the watchdog lifts the
// stall; only then may anyone kill or wait for the run. Should the file system not confirm the
// lift, it is ended, which fails every request still waiting on it.
WatchedRun Watch(testsupport::StallFs& fs, const std::function<testsupport::RunResult()>& run,
                 int deadlineMs) {
  WatchedRun watched;
  const std::uint32_t start = platform::TickCountMs();
  std::future<testsupport::RunResult> running = std::async(std::launch::async, run);
  watched.endedInTime =
      running.wait_for(std::chrono::milliseconds(deadlineMs)) == std::future_status::ready;
  if (!watched.endedInTime) {
    watched.heldAnswers = fs.Resume();
    if (watched.heldAnswers < 0) fs.Stop();
  }
  watched.result = running.get();
  watched.elapsedMs = platform::TickCountMs() - start;
  return watched;
}

class StalledMount : public ToolTest {
 protected:
  void SetUp() override {
    if (SkipUnderWine("the look at other programs' descriptors is the Linux backend's")) {
      GTEST_SKIP();
    }
    if (!testsupport::StallFs::Built()) {
      GTEST_SKIP() << "libfuse3-dev is missing: the stalling file system was not built";
    }
    if (access("/dev/fuse", F_OK) != 0) GTEST_SKIP() << "/dev/fuse is missing";
    if (geteuid() != 0) GTEST_SKIP() << "mounting the stalling file system needs root";
    ASSERT_TRUE(registry_.Ready());
    // The tool inherits the test's environment, so the registry reaches every run of it.
    ASSERT_EQ(setenv("MX40R_REGISTRY_DIR", registry_.Path().c_str(), 1), 0);
    registrySet_ = true;
    std::string error;
    ASSERT_TRUE(fs_.Start(&error)) << error;
    const std::string file = fs_.FilePath();
    ASSERT_TRUE(holder_.Start([file] { return open(file.c_str(), O_RDONLY) >= 0; }))
        << "no other process keeps " << file << " open";
  }

  // In this order: nothing that waits on the mount can end before the stall is lifted, and the
  // mount goes only once nothing holds it.
  void TearDown() override {
    fs_.Resume();
    holder_.Release();
    fs_.Stop();
    if (registrySet_) unsetenv("MX40R_REGISTRY_DIR");
  }

  testsupport::RegistryDirectory registry_;
  testsupport::StallFs fs_;
  testsupport::HolderProcess holder_;
  bool registrySet_ = false;
};

TEST_F(StalledMount, SerialCommandsEndInTheirUsualTimeWhileAFileOnAStalledMountIsHeldOpen) {
  for (const int port : {12, 13}) {
    const std::string name = "COM" + std::to_string(port);
    ASSERT_TRUE(registry_.AddPort(std::string(kFtdi) + "\\VID_0403+PID_6001+" + name + "\\0000",
                                  "USB Serial Port (" + name + ")", name));
  }

  // Without this the test would prove nothing: a stat of the file waits for the stalled file
  // system, and so does a stat through the holder's descriptor of it.
  ASSERT_TRUE(fs_.Stall());
  const WatchedRun probe = Watch(
      fs_,
      [this] {
        return testsupport::RunCommand({"stat", "-c", "%F", fs_.FilePath()}, {},
                                       kProbeMs + kRunnerSlackMs);
      },
      kProbeMs);
  ASSERT_FALSE(probe.endedInTime) << "a stat of the file did not wait for the stalled mount";
  ASSERT_GE(probe.heldAnswers, 1);
  EXPECT_EQ(probe.result.out, "regular file\n") << "the lifted stall answers what it held";

  struct Case {
    std::vector<std::string> args;
    std::string out;
    int usualMs;
  };
  const Case cases[] = {
      {{"NOWARN", "COMPORTS"},
       Framed("COM12\tFTDI - USB Serial Port (COM12)\nCOM13\tFTDI - USB Serial Port (COM13)\n"),
       kComPortsMs},
      {{"NOWARN", "COMGETSTATUS", "12", "19200"},
       SerialPollHeader(12, 19200) + kCycle + kSerialPollFailed,
       kGetStatusMs},
  };
  // With the mount answering first: what differs with the stall is the stall's doing.
  for (const bool stalled : {false, true}) {
    for (const Case& c : cases) {
      const std::string name = c.args[1] + (stalled ? ", mount stalled" : ", mount answering");
      SCOPED_TRACE(name);
      modules_.clear();
      modsim::ModuleSimulator& polled = StartModule(12);
      FillStatus(polled);
      polled.StopAfter(3);
      StartModule(13);
      if (stalled) {
        ASSERT_TRUE(fs_.Stall());
      }
      const WatchedRun run = Watch(
          fs_, [this, &c] { return Run(c.args, c.usualMs + kRunnerSlackMs); }, c.usualMs);
      EXPECT_EQ(run.result.out, c.out);
      EXPECT_EQ(run.result.exitStatus, 0);
      EXPECT_TRUE(run.endedInTime)
          << "still running " << c.usualMs << " ms after it started; it ended after "
          << run.elapsedMs << " ms"
          << (stalled ? ", once the stall was lifted (answers held back: " +
                            std::to_string(run.heldAnswers) + ")"
                      : "");
      RecordProperty(c.args[1] + (stalled ? "_stalled_ms" : "_answering_ms"),
                     static_cast<int>(run.elapsedMs));
      // Whatever asked the mount something meanwhile, the next run starts on a fresh stall.
      fs_.Resume();
    }
  }
}

}  // namespace
}  // namespace e2e
