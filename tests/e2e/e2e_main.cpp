#include <gtest/gtest.h>

#include "tests/support/process_runner.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testsupport::SetDefaultToolPath(MX40R_TOOL_PATH);
  return RUN_ALL_TESTS();
}
