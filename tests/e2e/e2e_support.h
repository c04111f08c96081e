// Shared pieces of the end-to-end tests: the usage text, a scratch COM directory, and runs of the
// tool with it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/module_simulator.h"
#include "tests/support/process_runner.h"

namespace e2e {

// Ports from 10 up: under Wine the lower ones are the machine's own.
inline constexpr int kPort = 12;

std::string UsageText();

// A fresh directory that MX40R_COM_DIR points at, so that no run reaches a real port.
class ComDirectory {
 public:
  ComDirectory();
  ~ComDirectory();
  const std::string& Path() const { return path_; }
  std::string Link(int port) const { return path_ + "/COM" + std::to_string(port); }

 private:
  std::string path_;
};

class ToolTest : public testing::Test {
 protected:
  testsupport::RunResult Run(const std::vector<std::string>& args, int timeoutMs = 60000);
  // A module on COM`port` of this test's directory, started.
  modsim::ModuleSimulator& StartModule(int port = kPort, const modsim::ModuleOptions& options = {});

  ComDirectory comDirectory_;
  std::vector<std::unique_ptr<modsim::ModuleSimulator>> modules_;
};

}  // namespace e2e
