#include "devlink/modbus_request.h"

#include <gtest/gtest.h>

TEST(ModbusRequest, ServesTheFirstRegisterToTheFirstPlus127) {
  ModbusRequest block;
  block.SetRequest(254, 3, 3001, 2);
  EXPECT_EQ(block.startIndex, 3000);
  EXPECT_EQ(block.value, 0);
  block.registers[0] = 1;
  block.registers[1] = 12;
  block.registers[127] = 77;

  EXPECT_TRUE(block.GetRegister(3001));
  EXPECT_EQ(block.value, 1);
  EXPECT_TRUE(block.GetRegister(3002));
  EXPECT_EQ(block.value, 12);
  EXPECT_TRUE(block.GetRegister(3128));
  EXPECT_EQ(block.value, 77);

  // Out of range on either side leaves the last value fetched.
  EXPECT_FALSE(block.GetRegister(3000));
  EXPECT_FALSE(block.GetRegister(3129));
  EXPECT_EQ(block.value, 77);
}

TEST(ModbusRequest, SetRequestWipesTheLastReply) {
  ModbusRequest block;
  block.SetRequest(254, 3, 1001, 10);
  for (int& entry : block.registers) entry = 5;
  block.GetRegister(1001);
  block.SetRequest(1, 6, 1, 1);
  EXPECT_EQ(block.startIndex, 0);
  EXPECT_EQ(block.value, 0);
  for (int r = 1; r <= 128; ++r) {
    ASSERT_TRUE(block.GetRegister(r));
    EXPECT_EQ(block.value, 0) << "register " << r;
  }
}

TEST(ModbusRequest, ExtremeRegisterNumbersAreOutOfRangeNotOverflow) {
  ModbusRequest block;
  block.SetRequest(254, 3, -2147483647 - 1, 1);
  EXPECT_FALSE(block.GetRegister(2147483647));
  block.SetRequest(254, 3, 2147483647, 1);
  EXPECT_TRUE(block.GetRegister(2147483647));
  EXPECT_FALSE(block.GetRegister(-2147483647 - 1));
}
