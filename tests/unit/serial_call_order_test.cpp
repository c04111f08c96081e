#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devlink/modbus_rtu_master.h"
#include "recording_comm.h"

namespace {

using Calls = std::vector<std::string>;

const Calls kOpenCalls = {
    "open \\\\.\\COM3",
    "getstate",
    // Only the five fields change; everything else goes back as the driver reported it.
    "setstate 19200 8 0 0 rts0",
    "timeouts 4294967295 4294967295 300 20 200",
    "purge 12",
    "rts lower",
};
const Calls kReleaseCalls = {"rts raise", "purge 12", "close"};

class SerialCallOrder : public testing::Test {
 protected:
  void SetUp() override { g_comm.Reset(); }

  void OpenMaster(ModbusRtuMaster& master) {
    ASSERT_TRUE(master.Open(3, 19200, 0, true));
    ASSERT_EQ(g_comm.calls, kOpenCalls);
    g_comm.calls.clear();
  }
};

TEST_F(SerialCallOrder, OpenThenClose) {
  ModbusRtuMaster master;
  OpenMaster(master);
  master.Close();
  EXPECT_EQ(g_comm.calls, kReleaseCalls);
  g_comm.calls.clear();
  master.Close();
  EXPECT_TRUE(g_comm.calls.empty());
}

TEST_F(SerialCallOrder, FailedOpenUndoesWhatItReached) {
  struct Case {
    const char* failStep;
    std::size_t callsBeforeUndo;  // calls of the open up to the failing one
  };
  const Case cases[] = {{"getstate", 2}, {"setstate", 3}, {"timeouts", 4}};
  for (const Case& c : cases) {
    g_comm.Reset();
    g_comm.failStep = c.failStep;
    ModbusRtuMaster master;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(master.Open(3, 19200, 0, true));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: Failed to initialize COM port\n");
    Calls expected(kOpenCalls.begin(), kOpenCalls.begin() + c.callsBeforeUndo);
    expected.insert(expected.end(), kReleaseCalls.begin(), kReleaseCalls.end());
    EXPECT_EQ(g_comm.calls, expected) << c.failStep;
  }
}

TEST_F(SerialCallOrder, MissingDeviceNeedsNoUndo) {
  g_comm.failStep = "open";
  {
    ModbusRtuMaster master;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(master.Open(12, 9600, 0, false));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    master.Close();
  }
  EXPECT_EQ(g_comm.calls, Calls{"open \\\\.\\COM12"});
}

TEST_F(SerialCallOrder, RtsRaisedAfterEveryReadRequestOnly) {
  ModbusRtuMaster master;
  OpenMaster(master);
  g_comm.replies = {
      {0xFE, 0x46, 0x41}, {0xFE, 0x06, 0x00, 0x06, 0x00, 0x01, 0xBC, 0x04}, {0xFE, 0x46, 0x41}};
  ASSERT_TRUE(master.Set70(Prepare, 250, true));
  master.SetRequest(254, 6, 7, 1);
  ASSERT_TRUE(master.Set(1, 250, true));
  ASSERT_TRUE(master.Set70(Commit, 250, true));
  master.SetRequest(254, 3, 7, 1);
  EXPECT_FALSE(master.Get(2, 250, false));  // nothing queued: two silent attempts
  EXPECT_EQ(g_comm.calls, (Calls{
                              "write FE 46 0E 02 55 B8",
                              "sleep 250",
                              "read 511",
                              "write FE 06 00 06 00 01 BC 04",
                              "sleep 250",
                              "read 511",
                              "write FE 46 08 23 96",
                              "sleep 250",
                              "read 511",
                              "write FE 03 00 06 00 01 70 04",
                              "rts raise",
                              "sleep 250",
                              "read 511",
                              "write FE 03 00 06 00 01 70 04",
                              "rts raise",
                              "sleep 250",
                              "read 511",
                          }));
}

TEST_F(SerialCallOrder, DestructorClosesAnOpenPortOnce) {
  {
    ModbusRtuMaster master;
    OpenMaster(master);
  }
  EXPECT_EQ(g_comm.calls, kReleaseCalls);
}

TEST_F(SerialCallOrder, TransfersOnAClosedPortFailAtTheirWrite) {
  ModbusRtuMaster master;
  OpenMaster(master);
  master.Close();
  g_comm.calls.clear();
  master.SetRequest(254, 3, 3001, 2);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(master.Get(1, 250, true));
  EXPECT_FALSE(master.Set(1, 250, true));
  EXPECT_FALSE(master.Set70(Commit, 250, true));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Modbus Get failed\nModbus Set failed\nModbus Set70 failed\n");
}

TEST_F(SerialCallOrder, AWriteThatTakesNoByteFailsEveryTransfer) {
  // Each transfer has the reply it would accept queued, so only the count written can fail it.
  struct Case {
    const char* what;
    std::vector<std::uint8_t> reply;
    bool (*transfer)(ModbusRtuMaster&);
    const char* printed;
    Calls calls;
  };
  const Case cases[] = {
      {"a read, before raising RTS",
       {0xFE, 0x03, 0x04, 0x00, 0x01, 0x00, 0x0C, 0xA4, 0xF9},
       [](ModbusRtuMaster& m) {
         m.SetRequest(254, 3, 3001, 2);
         return m.GetOnce(250, true);
       },
       "Modbus Get failed\n",
       {"write FE 03 0B B8 00 02 52 05"}},
      {"a write, after its wait",
       {0xFE, 0x06, 0x00, 0x06, 0x00, 0x01, 0xBC, 0x04},
       [](ModbusRtuMaster& m) {
         m.SetRequest(254, 6, 7, 1);
         return m.Set(1, 250, true);
       },
       "Modbus Set failed\n",
       {"write FE 06 00 06 00 01 BC 04", "sleep 250"}},
      {"a function-70 frame, after its wait",
       {0xFE, 0x46, 0x41},
       [](ModbusRtuMaster& m) { return m.Set70(Prepare, 250, true); },
       "Modbus Set70 failed\n",
       {"write FE 46 0E 02 55 B8", "sleep 250"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_comm.Reset();
    ModbusRtuMaster master;
    OpenMaster(master);
    g_comm.failStep = "nothing-written";
    g_comm.replies = {c.reply};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(c.transfer(master));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(g_comm.calls, c.calls);
  }
}

TEST_F(SerialCallOrder, GetWithNoRetriesSendsNothing) {
  ModbusRtuMaster master;
  OpenMaster(master);
  master.SetRequest(254, 3, 3001, 2);
  EXPECT_FALSE(master.Get(0, 250, true));
  EXPECT_FALSE(master.Get(-1, 250, true));
  EXPECT_TRUE(g_comm.calls.empty());
}

TEST_F(SerialCallOrder, InvalidSet70CommandSendsNothing) {
  ModbusRtuMaster master;
  OpenMaster(master);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(master.Set70(3, 250, true));
  EXPECT_FALSE(master.Set70(0, 250, false));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Modbus Set70 failed invalid command\n");
  EXPECT_TRUE(g_comm.calls.empty());
}

}  // namespace
