// Shared pieces of the end-to-end tests: the usage text, a scratch COM directory, runs of the
// tool with it, and what changes when the tool under test is the Windows exe under Wine.
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

// The registry roots under which port discovery finds the ports of the three bus drivers.
inline constexpr char kFtdi[] = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
inline constexpr char kAcpi[] = "SYSTEM\\CurrentControlSet\\Enum\\ACPI";
inline constexpr char kUsb[] = "SYSTEM\\CurrentControlSet\\Enum\\USB";

// A command's output between the two empty lines that frame every command.
inline std::string Framed(const std::string& output) { return "\n" + output + "\n"; }

// True when the tool under test is the Windows exe under Wine: the environment variable
// MX40R_WINE_PREFIX then names the Wine prefix that the tool runs in (the same one as WINEPREFIX).
bool UnderWine();
// Under Wine, says on standard output which case is left out and why, and returns true; the
// caller then leaves out exactly that case: `if (SkipUnderWine("...")) GTEST_SKIP();` for a whole
// test, `continue` for one row of a table. Returns false, and says nothing, on Linux.
bool SkipUnderWine(const std::string& reason);

// A fresh directory under /tmp, removed with the files and links in it when the object ends.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Where a test's COM ports live. On Linux a fresh directory that MX40R_COM_DIR points at, so that
// no run reaches a real port; under Wine the prefix's dosdevices folder, whose lower-case links
// "com<n>" are the exe's COM ports (the fresh directory is still made and passed; the exe ignores
// it).
class ComDirectory {
 public:
  ComDirectory() = default;
  ~ComDirectory();
  ComDirectory(const ComDirectory&) = delete;
  ComDirectory& operator=(const ComDirectory&) = delete;
  // The directory for MX40R_COM_DIR.
  const std::string& Path() const { return directory_.Path(); }
  // The link that the tool opens as COM`port`. Under Wine, a link still there when this object
  // ends is removed, so that the next test starts without it.
  std::string Link(int port) const;

 private:
  ScratchDirectory directory_;
  mutable std::vector<std::string> wineLinks_;
};

class ToolTest : public testing::Test {
 protected:
  // Runs the tool with this test's COM directory and, unless the test's own environment names a
  // registry, an empty one: no run reads the machine's ports.
  testsupport::RunResult Run(const std::vector<std::string>& args, int timeoutMs = 60000);
  // A module on COM`port` of this test's directory, started.
  modsim::ModuleSimulator& StartModule(int port = kPort, const modsim::ModuleOptions& options = {});

  ComDirectory comDirectory_;
  ScratchDirectory emptyRegistry_;
  std::vector<std::unique_ptr<modsim::ModuleSimulator>> modules_;
};

}  // namespace e2e
