// The RTU master against the module simulator over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "devlink/modbus_rtu_master.h"
#include "platform/clock.h"
#include "tests/support/module_simulator.h"

namespace {

using modsim::Fault;
using modsim::FrameKind;
using Hexes = std::vector<std::string>;

class RtuMasterOnPty : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mx40r-rtu-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("MX40R_COM_DIR", dir_.c_str(), 1);
    module_ = std::make_unique<modsim::ModuleSimulator>(dir_ + "/COM5");
    std::string error;
    ASSERT_TRUE(module_->Start(&error)) << error;
    ASSERT_TRUE(master_.Open(5, 19200, 0, true));
  }

  void TearDown() override {
    master_.Close();
    module_.reset();
    rmdir(dir_.c_str());
  }

  // Runs `transfer` and returns what it printed.
  template <typename F>
  std::string Printed(F transfer) {
    testing::internal::CaptureStdout();
    transfer();
    return testing::internal::GetCapturedStdout();
  }

  std::string dir_;
  std::unique_ptr<modsim::ModuleSimulator> module_;
  ModbusRtuMaster master_;
};

TEST_F(RtuMasterOnPty, ReadFillsTheBlock) {
  for (int i = 0; i < 10; ++i) module_->SetRegister(1001 + i, static_cast<std::uint16_t>(100 + i));
  module_->SetRegister(1010, 65535);
  master_.SetRequest(254, 3, 1001, 10);
  ASSERT_TRUE(master_.Get(kRetries, kReplyDelayMs, true));
  for (int i = 0; i < 9; ++i) {
    ASSERT_TRUE(master_.GetRegister(1001 + i));
    EXPECT_EQ(master_.value, 100 + i);
  }
  master_.GetRegister(1010);
  EXPECT_EQ(master_.value, 65535);
  master_.GetRegister(1011);
  EXPECT_EQ(master_.value, 0);
  EXPECT_EQ(module_->FramesHex(), Hexes{"FE 03 03 E8 00 0A 51 B2"});
}

TEST_F(RtuMasterOnPty, SilentModuleFailsThreeAttempts) {
  module_->SetFault(FrameKind::kAny, Fault::Silent());
  master_.SetRequest(254, 3, 3001, 2);
  const std::uint32_t start = platform::TickCountMs();
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(master_.Get(kRetries, kReplyDelayMs, true)); }),
            "Modbus Get failed\nModbus Get failed\nModbus Get failed\n");
  const std::uint32_t elapsed = platform::TickCountMs() - start;
  // Three attempts of a 250 ms wait and a 300 ms first-byte time-out each.
  EXPECT_GE(elapsed, 1600u);
  EXPECT_LT(elapsed, 2500u);
  EXPECT_EQ(module_->FrameCount(), 3u);

  EXPECT_EQ(Printed([&] { EXPECT_FALSE(master_.Get(kRetries, kReplyDelayMs, false)); }), "");
  EXPECT_EQ(module_->FrameCount(), 6u);
}

TEST_F(RtuMasterOnPty, ExceptionsPrintOnlyTheirCodeEachAttempt) {
  module_->SetRegister(3001, 9);
  master_.SetRequest(254, 3, 3001, 1);
  ASSERT_TRUE(master_.Get(kRetries, kReplyDelayMs, false));
  for (const int code : {2, 255}) {
    module_->SetFault(FrameKind::kRead, Fault::Exception(code));
    const std::string line = "Modbus exception - " + std::to_string(code) + "\n";
    EXPECT_EQ(Printed([&] { EXPECT_FALSE(master_.Get(kRetries, kReplyDelayMs, true)); }),
              line + line + line);
    // A failed read leaves the table as the last accepted one left it.
    ASSERT_TRUE(master_.GetRegister(3001));
    EXPECT_EQ(master_.value, 9);
  }
}

TEST_F(RtuMasterOnPty, BrokenRepliesFailAndARetryRecovers) {
  const Fault faults[] = {Fault::BadCrc(), Fault::Short(2), Fault::Short(1)};
  for (const Fault& fault : faults) {
    module_->ClearFaults();
    module_->SetFault(FrameKind::kRead, fault.Times(1));
    master_.SetRequest(254, 3, 3001, 2);
    EXPECT_EQ(Printed([&] { EXPECT_TRUE(master_.Get(kRetries, kReplyDelayMs, true)); }),
              "Modbus Get failed\n");
  }
}

TEST_F(RtuMasterOnPty, SplitReplyCountsOnlyWhenWhollyInByTheRead) {
  module_->SetRegister(3002, 12);
  module_->SetFault(FrameKind::kRead, Fault::Split(4, 50).Times(1));
  master_.SetRequest(254, 3, 3001, 2);
  EXPECT_TRUE(master_.GetOnce(kReplyDelayMs, true));

  module_->SetFault(FrameKind::kRead, Fault::Split(4, 400).Times(1));
  EXPECT_FALSE(master_.GetOnce(kReplyDelayMs, false));
  platform::SleepMs(500);
  // The tail waited in the buffer and spoils the next reply; the one after is clean.
  EXPECT_FALSE(master_.GetOnce(kReplyDelayMs, false));
  EXPECT_TRUE(master_.GetOnce(kReplyDelayMs, false));
  master_.GetRegister(3002);
  EXPECT_EQ(master_.value, 12);
}

TEST_F(RtuMasterOnPty, LateReplyIsTheStartOfTheNextRead) {
  module_->SetRegister(3001, 3);
  module_->SetRegister(3002, 7);
  module_->SetFault(FrameKind::kRead, Fault::Late(700).Times(1));
  master_.SetRequest(254, 3, 3001, 2);
  EXPECT_FALSE(master_.GetOnce(kReplyDelayMs, false));  // 250 + 300 ms: nothing yet
  platform::SleepMs(400);                               // the late reply arrives meanwhile
  // The next attempt reads the old reply glued to the new one: a CRC mismatch.
  EXPECT_FALSE(master_.GetOnce(kReplyDelayMs, false));
  EXPECT_TRUE(master_.GetOnce(kReplyDelayMs, false));
  master_.GetRegister(3002);
  EXPECT_EQ(master_.value, 7);
}

TEST_F(RtuMasterOnPty, OversizedReplyFillsOnly128Entries) {
  module_->SetFault(FrameKind::kRead, Fault::Oversized(511));
  master_.SetRequest(254, 3, 1, 125);
  ASSERT_TRUE(master_.Get(1, kReplyDelayMs, true));
  for (int r = 1; r <= 128; ++r) {
    ASSERT_TRUE(master_.GetRegister(r));
    const int k = 2 * (r - 1);  // data byte k = k mod 256
    EXPECT_EQ(master_.value, (k % 256) * 256 + (k + 1) % 256) << r;
  }
}

TEST_F(RtuMasterOnPty, SetAndBothSet70Frames) {
  EXPECT_TRUE(master_.Set70(Prepare, kReplyDelayMs, true));
  master_.SetRequest(254, 6, 14, 1);
  EXPECT_TRUE(master_.Set(2, kReplyDelayMs, true));
  EXPECT_TRUE(master_.Set70(Commit, kReplyDelayMs, true));
  EXPECT_EQ(module_->FramesHex(),
            (Hexes{"FE 46 0E 02 55 B8", "FE 06 00 0D 00 02 8D C7", "FE 46 08 23 96"}));

  module_->SetFault(FrameKind::kPrepare, Fault::Ack(0x61));
  module_->SetFault(FrameKind::kCommit, Fault::Silent());
  module_->SetFault(FrameKind::kWrite, Fault::Exception(3));
  EXPECT_EQ(Printed([&] {
              EXPECT_FALSE(master_.Set70(Prepare, kReplyDelayMs, true));
              EXPECT_FALSE(master_.Set70(Commit, kReplyDelayMs, true));
              EXPECT_FALSE(master_.Set(2, kReplyDelayMs, true));
            }),
            "Modbus Set70 failed\nModbus Set70 failed\nModbus exception - 3\n");
  module_->SetFault(FrameKind::kWrite, Fault::Silent());
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(master_.Set(2, kReplyDelayMs, true)); }),
            "Modbus Set failed\n");
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(master_.Set(2, kReplyDelayMs, false)); }), "");
}

TEST_F(RtuMasterOnPty, Set70IgnoresTheAcknowledgementsCrc) {
  module_->SetFault(FrameKind::kPrepare, Fault::BadCrc());
  EXPECT_TRUE(master_.Set70(Prepare, kReplyDelayMs, true));
}

TEST_F(RtuMasterOnPty, ModuleAtAnotherRateHearsNothing) {
  master_.Close();
  ASSERT_TRUE(master_.Open(5, 9600, 0, true));
  EXPECT_EQ(Printed([&] { EXPECT_FALSE(master_.Set70(Prepare, kReplyDelayMs, true)); }),
            "Modbus Set70 failed\n");
  ASSERT_TRUE(module_->WaitForFrames(1, 1000));
  EXPECT_EQ(module_->Frames()[0].rate, 9600);
  EXPECT_FALSE(module_->Frames()[0].answered);
}

}  // namespace
