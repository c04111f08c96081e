// The module simulator, checked on its own before any test leans on it, through its pty link as the
// tool would use it.
#include "tests/support/module_simulator.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_line.h"

namespace modsim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kReadProductVersion = {0xFE, 0x03, 0x0B, 0xB8, 0x00, 0x02, 0x52, 0x05};
const Bytes kReadAddress = {0xFE, 0x03, 0x00, 0x06, 0x00, 0x01, 0x70, 0x04};
const Bytes kReadBaudCode = {0xFE, 0x03, 0x00, 0x0D, 0x00, 0x01, 0x01, 0xC6};
const Bytes kPrepare = {0xFE, 0x46, 0x0E, 0x02, 0x55, 0xB8};
const Bytes kCommit = {0xFE, 0x46, 0x08, 0x23, 0x96};

Bytes WithCrc(Bytes frame) {
  const std::uint16_t crc = Crc16(frame.data(), frame.size());
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}

Bytes Bytes16(std::initializer_list<int> values) {
  Bytes bytes;
  for (int value : values) bytes.push_back(static_cast<std::uint8_t>(value));
  return bytes;
}

// The bytes that arrive within `windowMs`.
Bytes ReadFor(int fd, int windowMs) {
  Bytes got;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(windowMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return got;
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return got;
    std::uint8_t buffer[1024];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return got;
    got.insert(got.end(), buffer, buffer + n);
  }
}

// A whole reply: up to 2 s for the first byte, then until 60 ms pass without another.
Bytes ReadReply(int fd) {
  Bytes got = ReadFor(fd, 0);
  pollfd pfd = {fd, POLLIN, 0};
  if (got.empty() && poll(&pfd, 1, 2000) <= 0) return got;
  for (;;) {
    const Bytes more = ReadFor(fd, 60);
    if (more.empty()) return got;
    got.insert(got.end(), more.begin(), more.end());
  }
}

// Descriptors of this process open on the device that `path` names, or -1.
int DescriptorsOn(const std::string& path) {
  struct stat device {};
  DIR* dir = opendir("/proc/self/fd");
  if (stat(path.c_str(), &device) != 0 || dir == nullptr) {
    if (dir != nullptr) closedir(dir);
    return -1;
  }
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    struct stat info {};
    if (fstatat(dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISCHR(info.st_mode) &&
        info.st_rdev == device.st_rdev) {
      ++count;
    }
  }
  closedir(dir);
  return count;
}

// The CPU time the whole process uses while the calling thread sleeps for `windowMs`.
std::chrono::milliseconds CpuTimeWhileSleeping(int windowMs) {
  timespec before{};
  timespec after{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
  std::this_thread::sleep_for(std::chrono::milliseconds(windowMs));
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
  return std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::seconds(after.tv_sec - before.tv_sec) +
      std::chrono::nanoseconds(after.tv_nsec - before.tv_nsec));
}

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/modsim-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    link_ = dir_ + "/COM3";
  }

  void TearDown() override {
    CloseLine();
    simulator_.reset();
    rmdir(dir_.c_str());
  }

  void StartModule(const ModuleOptions& options = {}) {
    simulator_.emplace(link_, options);
    std::string error;
    ASSERT_TRUE(simulator_->Start(&error)) << error;
  }

  // Opens the link as the tool does: raw, at `rate`.
  void OpenLine(int rate) {
    CloseLine();
    fd_ = open(link_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd_, 0);
    ASSERT_TRUE(SetRawLine(fd_, rate));
  }

  void CloseLine() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  void Send(const Bytes& frame) {
    ASSERT_EQ(write(fd_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  }

  std::string Transact(const Bytes& frame) {
    Send(frame);
    return Hex(ReadReply(fd_));
  }

  // The frame reaches the simulator and is recorded unanswered, and nothing comes back.
  void ExpectIgnored(const Bytes& frame) {
    const std::size_t before = simulator_->FrameCount();
    Send(frame);
    ASSERT_TRUE(simulator_->WaitForFrames(before + 1, 2000));
    const std::vector<ReceivedFrame> frames = simulator_->Frames();
    EXPECT_EQ(Hex(frames.back().bytes), Hex(frame));
    EXPECT_FALSE(frames.back().answered);
    EXPECT_EQ(Hex(ReadFor(fd_, 50)), "");
  }

  std::string dir_;
  std::string link_;
  std::optional<ModuleSimulator> simulator_;
  int fd_ = -1;
};

TEST(ModsimCrcTest, MatchesTheKnownFrames) {
  for (const Bytes& frame : {kReadProductVersion, kReadAddress, kReadBaudCode, kPrepare, kCommit,
                             Bytes16({0xFE, 0x03, 0x04, 0x00, 0x01, 0x00, 0x0C, 0xA4, 0xF9}),
                             Bytes16({0xFE, 0x83, 0x02, 0xF0, 0xC1}),
                             Bytes16({0xFE, 0x06, 0x00, 0x0D, 0x00, 0x05, 0xCC, 0x05})}) {
    SCOPED_TRACE(Hex(frame));
    EXPECT_EQ(Hex(WithCrc(Bytes(frame.begin(), frame.end() - 2))), Hex(frame));
  }
}

TEST(ModsimBaudCodeTest, CodesAndRates) {
  const int rates[] = {0, 9600, 19200, 38400, 57600, 115000, 0};
  for (int code = 0; code <= 6; ++code) {
    EXPECT_EQ(BaudCodeRate(code), rates[code]) << code;
    if (rates[code] != 0) {
      EXPECT_EQ(RateBaudCode(rates[code]), code);
    }
  }
  EXPECT_EQ(RateBaudCode(115200), 0);
}

TEST_F(SimulatorTest, AnswersReadsOfTheRegisterMap) {
  ModuleOptions options;
  options.product = 1;
  options.version = 12;
  StartModule(options);
  simulator_->SetRegister(1001, 5);
  simulator_->SetRegister(1010, 65535);
  simulator_->SetRegister(2012, 0x1234);
  OpenLine(19200);

  // Inputs 1001 = 5 and 1010 = 65535, output 2012 = 0x1234, the rest 0.
  Bytes inputs = {0xFE, 0x03, 20, 0x00, 0x05};
  inputs.resize(3 + 18);
  inputs.insert(inputs.end(), {0xFF, 0xFF});
  Bytes outputs = {0xFE, 0x03, 24};
  outputs.resize(3 + 22);
  outputs.insert(outputs.end(), {0x12, 0x34});
  struct Case {
    Bytes request;
    std::string reply;
  };
  const Case cases[] = {
      {kReadProductVersion, "FE 03 04 00 01 00 0C A4 F9"},
      {kReadAddress, "FE 03 02 00 FE 2D D0"},
      {kReadBaudCode, Hex(WithCrc({0xFE, 0x03, 0x02, 0x00, 0x02}))},
      {Bytes16({0xFE, 0x03, 0x0B, 0xB8, 0x00, 0x01, 0x12, 0x04}),
       Hex(WithCrc({0xFE, 0x03, 0x02, 0x00, 0x01}))},
      {Bytes16({0xFE, 0x03, 0x03, 0xE8, 0x00, 0x0A, 0x51, 0xB2}), Hex(WithCrc(inputs))},
      {Bytes16({0xFE, 0x03, 0x07, 0xD0, 0x00, 0x0C, 0x51, 0x4D}), Hex(WithCrc(outputs))},
      // Register 1 is outside the map; 3002 + 1 runs off its end; 1011 falls in a gap.
      {WithCrc({0xFE, 0x03, 0x00, 0x00, 0x00, 0x01}), "FE 83 02 F0 C1"},
      {WithCrc({0xFE, 0x03, 0x0B, 0xB9, 0x00, 0x02}), "FE 83 02 F0 C1"},
      {WithCrc({0xFE, 0x03, 0x03, 0xE8, 0x00, 0x0B}), "FE 83 02 F0 C1"},
      {WithCrc({0xFE, 0x03, 0x0B, 0xB8, 0x00, 0x00}), Hex(WithCrc({0xFE, 0x83, 0x03}))},
      {WithCrc({0xFE, 0x04, 0x0B, 0xB8, 0x00, 0x01}), Hex(WithCrc({0xFE, 0x84, 0x01}))},
      {WithCrc({0xFE, 0x10, 0x00, 0x06, 0x00, 0x01, 0x02, 0x00, 0x01}),
       Hex(WithCrc({0xFE, 0x90, 0x01}))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.request));
    EXPECT_EQ(Transact(c.request), c.reply);
  }
}

TEST_F(SimulatorTest, IgnoresOtherSlavesBadCrcAndMalformedFrames) {
  StartModule();
  OpenLine(19200);
  Bytes badCrc = kReadProductVersion;
  badCrc.back() ^= 0x01;
  ExpectIgnored(badCrc);
  ExpectIgnored(WithCrc({0x01, 0x03, 0x0B, 0xB8, 0x00, 0x02}));
  ExpectIgnored(WithCrc({0x00, 0x03, 0x0B, 0xB8, 0x00, 0x02}));
  ExpectIgnored(WithCrc({0xFE, 0x03, 0x0B, 0xB8, 0x00}));
  ExpectIgnored(Bytes16({0xFE, 0x03}));
  EXPECT_EQ(Transact(kReadProductVersion), "FE 03 04 00 01 00 0C A4 F9");
}

TEST_F(SimulatorTest, RecordsEveryFrameInOrder) {
  StartModule();
  OpenLine(19200);
  const Bytes other = WithCrc({0x05, 0x03, 0x00, 0x06, 0x00, 0x01});
  Transact(kReadProductVersion);
  ExpectIgnored(other);
  Transact(kPrepare);
  Transact(kReadAddress);
  ASSERT_TRUE(simulator_->WaitForFrames(4, 1000));
  EXPECT_EQ(simulator_->FramesHex(),
            (std::vector<std::string>{"FE 03 0B B8 00 02 52 05", Hex(other), "FE 46 0E 02 55 B8",
                                      "FE 03 00 06 00 01 70 04"}));
  const std::vector<ReceivedFrame> frames = simulator_->Frames();
  EXPECT_TRUE(frames[0].answered);
  EXPECT_EQ(Hex(frames[0].reply), "FE 03 04 00 01 00 0C A4 F9");
  EXPECT_EQ(frames[0].rate, 19200);
  EXPECT_FALSE(frames[1].answered);
  EXPECT_FALSE(simulator_->WaitForFrames(5, 50));
  simulator_->ClearFrames();
  EXPECT_EQ(simulator_->FrameCount(), 0u);
}

TEST_F(SimulatorTest, IgnoresFramesAtAnotherRate) {
  StartModule();
  OpenLine(9600);
  ExpectIgnored(kReadProductVersion);
  EXPECT_EQ(simulator_->Frames().back().rate, 9600);
  ASSERT_TRUE(SetLineRate(fd_, 19200));
  EXPECT_EQ(Transact(kReadProductVersion), "FE 03 04 00 01 00 0C A4 F9");
  EXPECT_EQ(simulator_->Frames().back().rate, 19200);
}

TEST_F(SimulatorTest, ServesANonStandardRate) {
  ModuleOptions options;
  options.baudCode = 5;
  StartModule(options);
  OpenLine(115200);
  ExpectIgnored(kReadBaudCode);
  EXPECT_EQ(simulator_->Frames().back().rate, 115200);
  ASSERT_TRUE(SetLineRate(fd_, 115000));
  EXPECT_EQ(Transact(kReadBaudCode), Hex(WithCrc({0xFE, 0x03, 0x02, 0x00, 0x05})));
  EXPECT_EQ(simulator_->Frames().back().rate, 115000);
}

TEST_F(SimulatorTest, SurvivesTheToolClosingAndReopening) {
  StartModule();
  for (int round = 0; round < 3; ++round) {
    OpenLine(19200);
    EXPECT_EQ(Transact(kReadAddress), "FE 03 02 00 FE 2D D0") << round;
    CloseLine();
  }
}

// The tool runs in another process and takes a port that any other process has open for one in
// use, so the simulator holds only the master; between the tool's opens the master is hung up.
TEST_F(SimulatorTest, ServesEveryOpenOfTheSlaveAndHoldsNoneItself) {
  StartModule();
  EXPECT_EQ(DescriptorsOn(simulator_->SlavePath()), 0);
  struct Round {
    int rate;
    bool closeAtOnce;  // the line is closed right after the frame is written
  };
  // Closing at once only at a rate the module cannot hear: a reply would wait in the closed
  // slave's input for the next round.
  const Round rounds[] = {{19200, false}, {9600, true}, {115000, true}, {19200, false}};
  for (std::size_t i = 0; i < std::size(rounds); ++i) {
    const Round& round = rounds[i];
    SCOPED_TRACE(std::to_string(round.rate) + (round.closeAtOnce ? ", closed at once" : ""));
    OpenLine(round.rate);
    if (round.closeAtOnce) {
      Send(kReadAddress);
      CloseLine();
      ASSERT_TRUE(simulator_->WaitForFrames(i + 1, 2000)) << "the frame is still read";
    } else {
      EXPECT_EQ(Transact(kReadAddress), "FE 03 02 00 FE 2D D0");
      CloseLine();
    }
    const std::vector<ReceivedFrame> frames = simulator_->Frames();
    ASSERT_EQ(frames.size(), i + 1);
    EXPECT_EQ(Hex(frames.back().bytes), Hex(kReadAddress));
    EXPECT_EQ(frames.back().rate, round.rate);
    EXPECT_EQ(frames.back().answered, !round.closeAtOnce);
    EXPECT_EQ(DescriptorsOn(simulator_->SlavePath()), 0);
    // Hung up with nothing to read, the serve loop pauses rather than spins.
    EXPECT_LT(CpuTimeWhileSleeping(200).count(), 50);
  }
}

TEST_F(SimulatorTest, AcknowledgesPrepareAndCommit) {
  StartModule();
  OpenLine(19200);
  const std::string ack = Hex(WithCrc({0xFE, 0x46, 0x41}));
  EXPECT_EQ(Transact(kPrepare), ack);
  EXPECT_EQ(Transact(kCommit), ack);
  // Only the two exact frames are known; any other function-70 frame is an illegal function.
  EXPECT_EQ(Transact(WithCrc({0xFE, 0x46, 0x0B, 0x01})), Hex(WithCrc({0xFE, 0xC6, 0x01})));
  simulator_->SetFault(FrameKind::kPrepare, Fault::Ack(0x61));
  EXPECT_EQ(Transact(kPrepare), Hex(WithCrc({0xFE, 0x46, 0x61})));
  EXPECT_EQ(Transact(kCommit), ack);
}

TEST_F(SimulatorTest, BaudChangeTakesEffectAfterCommit) {
  StartModule();
  OpenLine(19200);
  EXPECT_EQ(Transact(kPrepare), Hex(WithCrc({0xFE, 0x46, 0x41})));
  const Bytes writeCode3 = {0xFE, 0x06, 0x00, 0x0D, 0x00, 0x03, 0x4C, 0x07};
  EXPECT_EQ(Transact(writeCode3), Hex(writeCode3));
  EXPECT_EQ(Transact(kReadBaudCode), Hex(WithCrc({0xFE, 0x03, 0x02, 0x00, 0x02})));
  EXPECT_EQ(simulator_->Rate(), 19200);
  EXPECT_EQ(Transact(kCommit), Hex(WithCrc({0xFE, 0x46, 0x41})));
  EXPECT_EQ(simulator_->BaudCode(), 3);
  EXPECT_EQ(simulator_->Rate(), 38400);

  ExpectIgnored(kReadBaudCode);
  CloseLine();
  OpenLine(38400);
  EXPECT_EQ(Transact(kReadBaudCode), Hex(WithCrc({0xFE, 0x03, 0x02, 0x00, 0x03})));
  const std::vector<ReceivedFrame> frames = simulator_->Frames();
  EXPECT_EQ(frames.back().rate, 38400);
  EXPECT_TRUE(frames.back().answered);
}

TEST_F(SimulatorTest, AddressChangeTakesEffectAfterCommit) {
  StartModule();
  OpenLine(19200);
  const Bytes readAtNewAddress = WithCrc({0x01, 0x03, 0x00, 0x06, 0x00, 0x01});
  const Bytes writeAddress1 = {0xFE, 0x06, 0x00, 0x06, 0x00, 0x01, 0xBC, 0x04};
  Transact(kPrepare);
  EXPECT_EQ(Transact(writeAddress1), Hex(writeAddress1));
  ExpectIgnored(readAtNewAddress);
  EXPECT_EQ(Transact(kReadAddress), "FE 03 02 00 FE 2D D0");
  Transact(kCommit);
  EXPECT_EQ(simulator_->Address(), 1);
  EXPECT_EQ(Transact(kReadAddress), Hex(WithCrc({0xFE, 0x03, 0x02, 0x00, 0x01})));
  EXPECT_EQ(Transact(readAtNewAddress), Hex(WithCrc({0x01, 0x03, 0x02, 0x00, 0x01})));
  ExpectIgnored(WithCrc({0x02, 0x03, 0x00, 0x06, 0x00, 0x01}));
}

TEST_F(SimulatorTest, FaultsSpoilTheReply) {
  StartModule();
  OpenLine(19200);
  struct Case {
    Fault fault;
    std::string reply;
  };
  const Case cases[] = {
      {Fault::Exception(2), "FE 83 02 F0 C1"},
      {Fault::Exception(4), Hex(WithCrc({0xFE, 0x83, 0x04}))},
      {Fault::BadCrc(), "FE 03 04 00 01 00 0C 5B 06"},
      {Fault::Short(3), "FE 03 04"},
      {Fault::Short(100), "FE 03 04 00 01 00 0C A4 F9"},
      {Fault::WrongAddress(1), Hex(WithCrc({0x01, 0x03, 0x04, 0x00, 0x01, 0x00, 0x0C}))},
      {Fault::WrongFunction(4), Hex(WithCrc({0xFE, 0x04, 0x04, 0x00, 0x01, 0x00, 0x0C}))},
      {Fault::Ack(0x61), "FE 03 04 00 01 00 0C A4 F9"},
      {Fault::Oversized(8), Hex(WithCrc({0xFE, 0x03, 0x03, 0x00, 0x01, 0x02}))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    simulator_->SetFault(FrameKind::kRead, c.fault);
    EXPECT_EQ(Transact(kReadProductVersion), c.reply);
  }
  simulator_->SetFault(FrameKind::kRead, Fault::Silent());
  ExpectIgnored(kReadProductVersion);
  simulator_->ClearFaults();
  EXPECT_EQ(Transact(kReadProductVersion), "FE 03 04 00 01 00 0C A4 F9");
}

TEST_F(SimulatorTest, OversizedReplyFillsTheWholeBuffer) {
  StartModule();
  OpenLine(19200);
  simulator_->SetFault(FrameKind::kRead, Fault::Oversized(511));
  Send(kReadProductVersion);
  const Bytes reply = ReadReply(fd_);
  ASSERT_EQ(reply.size(), 511u);
  EXPECT_EQ(Hex(Bytes(reply.begin(), reply.begin() + 6)), "FE 03 FA 00 01 02");
  for (std::size_t k = 0; k < 506; ++k) ASSERT_EQ(reply[3 + k], k % 256) << k;
  EXPECT_EQ(Hex(WithCrc(Bytes(reply.begin(), reply.end() - 2))), Hex(reply));
}

TEST_F(SimulatorTest, FaultsKeepToTheirKindAndCount) {
  StartModule();
  OpenLine(19200);
  const std::string goodRead = "FE 03 04 00 01 00 0C A4 F9";
  const std::string ack = Hex(WithCrc({0xFE, 0x46, 0x41}));
  simulator_->SetFault(FrameKind::kCommit, Fault::Silent());
  EXPECT_EQ(Transact(kReadProductVersion), goodRead);
  EXPECT_EQ(Transact(kPrepare), ack);
  ExpectIgnored(kCommit);

  // The kind's own fault wins over kAny's.
  simulator_->SetFault(FrameKind::kAny, Fault::Exception(4));
  EXPECT_EQ(Transact(kPrepare), Hex(WithCrc({0xFE, 0xC6, 0x04})));
  ExpectIgnored(kCommit);
  simulator_->ClearFaults();

  simulator_->SetFault(FrameKind::kRead, Fault::Silent().Times(2));
  ExpectIgnored(kReadProductVersion);
  ExpectIgnored(kReadProductVersion);
  EXPECT_EQ(Transact(kReadProductVersion), goodRead);
}

TEST_F(SimulatorTest, ExceptionOrSilenceLeavesAWriteUndone) {
  StartModule();
  OpenLine(19200);
  const Bytes writeInput = WithCrc({0xFE, 0x06, 0x03, 0xE8, 0x00, 0x07});
  simulator_->SetFault(FrameKind::kWrite, Fault::Exception(4).Times(1));
  EXPECT_EQ(Transact(writeInput), Hex(WithCrc({0xFE, 0x86, 0x04})));
  EXPECT_EQ(simulator_->Register(1001), 0);
  simulator_->SetFault(FrameKind::kWrite, Fault::Silent().Times(1));
  ExpectIgnored(writeInput);
  EXPECT_EQ(simulator_->Register(1001), 0);
  simulator_->SetFault(FrameKind::kWrite, Fault::BadCrc().Times(1));
  Transact(writeInput);
  EXPECT_EQ(simulator_->Register(1001), 7);

  // A Commit answered with an exception applies nothing.
  Transact(WithCrc({0xFE, 0x06, 0x00, 0x0D, 0x00, 0x01}));
  simulator_->SetFault(FrameKind::kCommit, Fault::Exception(1).Times(1));
  EXPECT_EQ(Transact(kCommit), Hex(WithCrc({0xFE, 0xC6, 0x01})));
  EXPECT_EQ(simulator_->BaudCode(), 2);
}

TEST_F(SimulatorTest, WritesOutsideTheMapOrOfUnknownCodesFail) {
  StartModule();
  OpenLine(19200);
  EXPECT_EQ(Transact(WithCrc({0xFE, 0x06, 0x00, 0x00, 0x00, 0x01})),
            Hex(WithCrc({0xFE, 0x86, 0x02})));
  EXPECT_EQ(Transact(WithCrc({0xFE, 0x06, 0x00, 0x0D, 0x00, 0x06})),
            Hex(WithCrc({0xFE, 0x86, 0x03})));
  const Bytes writeOutput = WithCrc({0xFE, 0x06, 0x07, 0xDB, 0xAB, 0xCD});
  EXPECT_EQ(Transact(writeOutput), Hex(writeOutput));
  EXPECT_EQ(simulator_->Register(2012), 0xABCD);
  EXPECT_FALSE(simulator_->SetRegister(15, 1));
  EXPECT_EQ(simulator_->Register(15), std::nullopt);
}

TEST_F(SimulatorTest, SplitAndLateRepliesKeepTheirPauses) {
  StartModule();
  OpenLine(19200);
  simulator_->SetFault(FrameKind::kRead, Fault::Split(3, 300));
  Send(kReadProductVersion);
  EXPECT_EQ(Hex(ReadFor(fd_, 200)), "FE 03 04");
  EXPECT_EQ(Hex(ReadFor(fd_, 1000)), "00 01 00 0C A4 F9");

  simulator_->SetFault(FrameKind::kRead, Fault::Late(300));
  Send(kReadProductVersion);
  EXPECT_EQ(Hex(ReadFor(fd_, 200)), "");
  EXPECT_EQ(Hex(ReadFor(fd_, 1000)), "FE 03 04 00 01 00 0C A4 F9");
}

TEST_F(SimulatorTest, StopsAnsweringAfterNFrames) {
  StartModule();
  simulator_->StopAfter(3);
  OpenLine(9600);
  ExpectIgnored(kReadAddress);  // counted although the module could not hear it
  ASSERT_TRUE(SetLineRate(fd_, 19200));
  EXPECT_EQ(Transact(kReadAddress), "FE 03 02 00 FE 2D D0");
  EXPECT_EQ(Transact(kPrepare), Hex(WithCrc({0xFE, 0x46, 0x41})));
  ExpectIgnored(kReadAddress);
  ExpectIgnored(kPrepare);
  simulator_->StopAfter(-1);
  EXPECT_EQ(Transact(kReadAddress), "FE 03 02 00 FE 2D D0");
}

TEST_F(SimulatorTest, LinkLivesAsLongAsTheSimulator) {
  ASSERT_EQ(symlink("/nonexistent", link_.c_str()), 0);
  StartModule();
  char target[256] = {};
  ASSERT_GT(readlink(link_.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), simulator_->SlavePath());
  simulator_->Stop();
  struct stat info {};
  EXPECT_NE(lstat(link_.c_str(), &info), 0);
}

TEST_F(SimulatorTest, StartFailsWhenTheLinkCannotBeMade) {
  simulator_.emplace(dir_ + "/missing/COM3");
  std::string error;
  EXPECT_FALSE(simulator_->Start(&error));
  EXPECT_NE(error.find("symlink"), std::string::npos) << error;
}

}  // namespace
}  // namespace modsim
