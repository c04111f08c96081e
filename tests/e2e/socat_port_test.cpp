// A virtual serial port made by socat, as Linux users make one: socat's pty is the COM port the
// tool opens, and socat carries the bytes to a module simulator's line at the rate socat set there.
// socat keeps its pty's slave open next to the master, which must not make the port look held.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_support.h"
#include "status_report_text.h"
#include "tests/support/holder_process.h"
#include "tests/support/registry_fixture.h"

namespace e2e {
namespace {

// COM12 is socat's pty, COM13 the module behind it, COM14 a module on a plain pty of its own.
constexpr int kSocatPort = kPort;
constexpr int kBridgedPort = 13;
constexpr int kPlainPort = 14;
constexpr int kSocatStartMs = 5000;
constexpr int kSocatStopMs = 2000;

const std::string kRefused = Framed("Error: Failed to initialize COM port\n");

const std::string kSocatLine = "COM12\tFTDI - USB Serial Port (COM12)\n";
const std::string kPlainLine = "COM14\tUSB - USB-SERIAL CH340 (COM14)\n";

std::string ReadLink(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

std::string FileText(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// One socat process, `socat pty,raw,echo=0,link=<link> open:<far>,rawer,b<rate>`, ended and
// reaped with the object.
class SocatBridge {
 public:
  SocatBridge(std::string socat, std::string link, std::string farEnd, int rate)
      : socat_(std::move(socat)), link_(std::move(link)), farEnd_(std::move(farEnd)), rate_(rate) {}
  ~SocatBridge() { Stop(); }
  SocatBridge(const SocatBridge&) = delete;
  SocatBridge& operator=(const SocatBridge&) = delete;

  // True once the link is there and socat has the far end open, so that the first byte the tool
  // writes meets a line at socat's rate; otherwise false with socat's own words in `error`.
  bool Start(std::string* error) {
    std::vector<std::string> words = {socat_, "pty,raw,echo=0,link=" + link_,
                                      "open:" + farEnd_ + ",rawer,b" + std::to_string(rate_)};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string log = logDirectory_.Path() + "/socat.err";
    pid_ = fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls: the simulators' threads run in the parent. No descriptor
      // of the test may reach socat: a simulator's pty master in socat's hands would make socat
      // the far end of that simulator's line too.
      const int null = open("/dev/null", O_RDWR);
      const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (null < 0 || err < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(err, 2) < 0) {
        _exit(126);
      }
      close_range(3, ~0U, 0);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (pid_ < 0) {
      *error = "fork failed";
      return false;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kSocatStartMs);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Ready()) return true;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        *error = "socat ended at once: " + FileText(log);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *error = "socat made no link within " + std::to_string(kSocatStartMs) + " ms: " + FileText(log);
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kSocatStopMs);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
  }

 private:
  bool Ready() const {
    const std::string slave = ReadLink(link_);
    if (slave.rfind("/dev/pts/", 0) != 0) return false;
    const std::string fdDirectory = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* dir = opendir(fdDirectory.c_str());
    if (dir == nullptr) return false;
    bool open = false;
    while (dirent* entry = readdir(dir)) {
      if (ReadLink(fdDirectory + "/" + entry->d_name) == farEnd_) open = true;
    }
    closedir(dir);
    return open;
  }

  std::string socat_;
  std::string link_;
  std::string farEnd_;
  int rate_;
  ScratchDirectory logDirectory_;
  pid_t pid_ = -1;
};

class SocatPort : public ToolTest {
 protected:
  void SetUp() override {
    if (SkipUnderWine("the look at other processes' descriptors is the Linux backend's")) {
      GTEST_SKIP();
    }
    const testsupport::RunResult found =
        testsupport::RunCommand({"sh", "-c", "command -v socat"}, {});
    std::string socat = found.out.substr(0, found.out.find('\n'));
    if (found.exitStatus != 0 || socat.empty()) {
      GTEST_SKIP() << "socat is not installed (`command -v socat` found nothing): the virtual "
                      "port of this test is made by socat itself";
    }
    ASSERT_TRUE(registry_.Ready());
    ASSERT_EQ(setenv("MX40R_REGISTRY_DIR", registry_.Path().c_str(), 1), 0);
    AddPort(kFtdi, "VID_0403+PID_6001+A", "USB Serial Port (COM12)", kSocatPort);
    AddPort(kFtdi, "VID_0403+PID_6001+B", "USB Serial Port (COM13)", kBridgedPort);
    AddPort(kUsb, "VID_1A86&PID_7523", "USB-SERIAL CH340 (COM14)", kPlainPort);

    bridged_ = &StartModule(kBridgedPort);
    FillStatus(*bridged_);
    plain_ = &StartModule(kPlainPort);
    ASSERT_FALSE(bridged_->SlavePath().empty());
    socat_ = std::make_unique<SocatBridge>(socat, comDirectory_.Link(kSocatPort),
                                           bridged_->SlavePath(), 19200);
    std::string error;
    ASSERT_TRUE(socat_->Start(&error)) << error;
  }

  void TearDown() override {
    socat_.reset();
    unsetenv("MX40R_REGISTRY_DIR");
  }

  void AddPort(const char* root, const std::string& device, const std::string& friendlyName,
               int port) {
    ASSERT_TRUE(registry_.AddPort(std::string(root) + "\\" + device + "\\0000", friendlyName,
                                  "COM" + std::to_string(port)));
  }

  std::string SocatSlave() const {
    char resolved[PATH_MAX];
    const std::string link = comDirectory_.Link(kSocatPort);
    return realpath(link.c_str(), resolved) != nullptr ? resolved : "";
  }

  testsupport::RegistryDirectory registry_;
  modsim::ModuleSimulator* bridged_ = nullptr;
  modsim::ModuleSimulator* plain_ = nullptr;
  std::unique_ptr<SocatBridge> socat_;
};

// socat holds COM13's slave for the bridge, so that port is in use; its own pty is not.
TEST_F(SocatPort, IsListedAndPolledThroughSocat) {
  const testsupport::RunResult listed = Run({"NOWARN", "COMPORTS"});
  EXPECT_EQ(listed.out, Framed(kSocatLine + kPlainLine));
  EXPECT_EQ(listed.exitStatus, 0);

  bridged_->StopAfter(3);
  const testsupport::RunResult polled = Run({"NOWARN", "COMGETSTATUS", "12", "19200"});
  EXPECT_EQ(polled.out, SerialPollHeader(kSocatPort, 19200) + kCycle + kSerialPollFailed);
  EXPECT_EQ(polled.exitStatus, 0);
  const std::vector<modsim::ReceivedFrame> frames = bridged_->Frames();
  ASSERT_EQ(frames.size(), 6u) << "three answered reads, then three unanswered attempts";
  for (const modsim::ReceivedFrame& frame : frames) {
    EXPECT_EQ(frame.rate, 19200) << "the module sees the rate socat set on its line";
  }
  EXPECT_EQ(modsim::Hex(frames[0].bytes), "FE 03 0B B8 00 02 52 05");
  EXPECT_EQ(plain_->FrameCount(), 0u);
}

TEST_F(SocatPort, AnotherProgramOnSocatsSlaveHoldsThePortUntilItLetsGo) {
  const std::string slave = SocatSlave();
  ASSERT_FALSE(slave.empty());
  {
    testsupport::HolderProcess holder;
    ASSERT_TRUE(holder.Start(
        [&slave] { return open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0; }));
    const testsupport::RunResult listed = Run({"NOWARN", "COMPORTS"});
    EXPECT_EQ(listed.out, Framed(kPlainLine));
    EXPECT_EQ(listed.exitStatus, 0);
    const std::vector<std::vector<std::string>> opens = {
        {"NOWARN", "COMGETSTATUS", "12", "19200"},
        {"NOWARN", "COMSETMODBUS", "12", "19200", "1"},
        {"NOWARN", "COMSETBAUD", "12", "19200", "38400"},
    };
    for (const std::vector<std::string>& args : opens) {
      SCOPED_TRACE(args[1]);
      const testsupport::RunResult result = Run(args);
      EXPECT_EQ(result.out, kRefused);
      EXPECT_EQ(result.exitStatus, 0);
    }
    EXPECT_EQ(bridged_->FrameCount(), 0u) << "a held port is given up before anything is sent";
    EXPECT_EQ(bridged_->Address(), modsim::kDefaultModbusAddress);
    EXPECT_EQ(bridged_->BaudCode(), modsim::kDefaultBaudCode);
  }
  const testsupport::RunResult listed = Run({"NOWARN", "COMPORTS"});
  EXPECT_EQ(listed.out, Framed(kSocatLine + kPlainLine)) << "listed again once the holder is gone";
  EXPECT_EQ(listed.exitStatus, 0);
}

}  // namespace
}  // namespace e2e
