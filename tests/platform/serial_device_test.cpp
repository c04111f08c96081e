// The serial device backend against real pseudo-terminals: the exclusive open, the binary line at
// its exact rate, and the read and write time-outs that the RTU master's transfers rely on.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devlink/serial_port.h"
#include "platform/comm.h"
#include "platform/posix/port_holders.h"
#include "tests/platform/pty_pair.h"
#include "tests/support/holder_process.h"

namespace {

using testsupport::HolderProcess;

using Bytes = std::vector<std::uint8_t>;

constexpr char kInitFailure[] = "Error: Failed to initialize COM port\n";

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Processor time of the whole process, user and system, in microseconds.
std::int64_t CpuMicros() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto micros = [](const timeval& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
  };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string ResolvedName(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string name = BaseName(resolved);
  std::free(resolved);
  return name;
}

// A directory of COM<n> entries named in MX40R_COM_DIR, so that no open reaches a real port.
class ComDir {
 public:
  ComDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/serial_device_test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return;
    path = pattern;
    ready = setenv("MX40R_COM_DIR", path.c_str(), 1) == 0;
  }
  ~ComDir() {
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      if (it->second) {
        rmdir(it->first.c_str());
      } else {
        unlink(it->first.c_str());
      }
    }
    if (!path.empty()) rmdir(path.c_str());
  }
  ComDir(const ComDir&) = delete;
  ComDir& operator=(const ComDir&) = delete;

  bool Ready() const { return ready; }
  std::string Entry(const std::string& name) const { return path + "/" + name; }
  static std::string PortName(int comPort) { return "COM" + std::to_string(comPort); }

  bool Link(int comPort, const std::string& target) {
    return Remember(PortName(comPort), false,
                    symlink(target.c_str(), Entry(PortName(comPort)).c_str()) == 0);
  }
  bool AddFile(const std::string& name, const std::string& content) {
    const int fd = open(Entry(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    Remember(name, false, true);
    const bool written =
        write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(fd);
    return written;
  }
  bool AddFifo(int comPort) {
    return Remember(PortName(comPort), false, mkfifo(Entry(PortName(comPort)).c_str(), 0600) == 0);
  }
  bool AddDirectory(int comPort) {
    return Remember(PortName(comPort), true, mkdir(Entry(PortName(comPort)).c_str(), 0700) == 0);
  }

 private:
  bool Remember(const std::string& name, bool isDirectory, bool made) {
    if (made) entries.emplace_back(Entry(name), isDirectory);
    return made;
  }

  std::string path;
  bool ready = false;
  std::vector<std::pair<std::string, bool>> entries;
};

// Reads through the API until `count` bytes came or `timeoutMs` passed.
Bytes ReadFromPort(platform::CommHandle handle, std::size_t count, int timeoutMs) {
  Bytes received;
  const std::int64_t deadline = NowMs() + timeoutMs;
  while (received.size() < count && NowMs() < deadline) {
    std::uint8_t buffer[512];
    std::uint32_t got = 0;
    const auto wanted =
        static_cast<std::uint32_t>(std::min(sizeof(buffer), count - received.size()));
    if (!platform::CommRead(handle, buffer, wanted, &got)) break;
    received.insert(received.end(), buffer, buffer + got);
  }
  return received;
}

struct TimedTransfer {
  bool ok = false;
  std::uint32_t count = 0;
  std::int64_t elapsedMs = 0;
  std::int64_t cpuMicros = 0;
};

TimedTransfer TimedRead(platform::CommHandle handle, std::uint8_t* buffer, std::uint32_t size) {
  TimedTransfer result;
  const std::int64_t cpuStart = CpuMicros();
  const std::int64_t start = NowMs();
  result.ok = platform::CommRead(handle, buffer, size, &result.count);
  result.elapsedMs = NowMs() - start;
  result.cpuMicros = CpuMicros() - cpuStart;
  return result;
}

TimedTransfer TimedWrite(platform::CommHandle handle, const Bytes& data) {
  TimedTransfer result;
  const std::int64_t cpuStart = CpuMicros();
  const std::int64_t start = NowMs();
  result.ok = platform::CommWrite(handle, data.data(), static_cast<std::uint32_t>(data.size()),
                                  &result.count);
  result.elapsedMs = NowMs() - start;
  result.cpuMicros = CpuMicros() - cpuStart;
  return result;
}

class SerialDevice : public testing::Test {
 protected:
  static constexpr int kPort = 3;

  void SetUp() override {
    ASSERT_TRUE(comDir.Ready());
    ASSERT_TRUE(pty.Open(PtyPair::Mode::kLinuxDefault));
    ASSERT_TRUE(comDir.Link(kPort, pty.SlavePath()));
  }
  void TearDown() override { port.Close(); }

  void OpenPort(int baud = 19200) {
    ASSERT_TRUE(port.Open(kPort, baud, 0, true));
    ASSERT_NE(port.handle, nullptr);
  }

  ComDir comDir;
  PtyPair pty;
  SerialPort port;
};

TEST_F(SerialDevice, OnlyTheComPathFormNamesAPort) {
  ASSERT_TRUE(comDir.Link(150, pty.SlavePath()));
  // Each of these would reach COM3 or COM150 under a lax reading of the number.
  const char* const refused[] = {
      "",
      "COM3",
      "\\\\.\\COM",
      "\\\\.\\COM0",
      "\\\\.\\COM03",
      "\\\\.\\COM+3",
      "\\\\.\\COM-3",
      "\\\\.\\COM 3",
      "\\\\.\\COM3 ",
      "\\\\.\\COM3x",
      "\\\\.\\COM4294967299",
      "\\\\.\\COM00150",
      "\\\\?\\COM3",
      "//./COM3",
      "\\\\.\\LPT3",
      "\\\\.\\COM3\\",
  };
  for (const char* path : refused) {
    SCOPED_TRACE(path);
    const platform::CommHandle handle = platform::CommOpen(path);
    EXPECT_EQ(handle, platform::kInvalidCommHandle);
    if (handle != platform::kInvalidCommHandle) platform::CommClose(handle);
  }
  EXPECT_EQ(platform::CommOpen(nullptr), platform::kInvalidCommHandle);
  for (const char* path : {"\\\\.\\COM3", "\\\\.\\COM150"}) {
    SCOPED_TRACE(path);
    const platform::CommHandle handle = platform::CommOpen(path);
    ASSERT_NE(handle, platform::kInvalidCommHandle);
    EXPECT_TRUE(platform::CommClose(handle));
  }
}

TEST_F(SerialDevice, OpenFailsWithoutAUsableSerialDevice) {
  struct Case {
    const char* what;
    int comPort;
    std::function<bool(ComDir&)> make;
  };
  const Case cases[] = {
      {"no entry", 20, [](ComDir&) { return true; }},
      {"link to nothing", 21, [](ComDir& dir) { return dir.Link(21, dir.Entry("missing")); }},
      {"regular file behind the link", 23,
       [](ComDir& dir) {
         return dir.AddFile(ComDir::PortName(22), "not a tty") &&
                dir.Link(23, dir.Entry(ComDir::PortName(22)));
       }},
      {"directory", 24, [](ComDir& dir) { return dir.AddDirectory(24); }},
      {"fifo", 25, [](ComDir& dir) { return dir.AddFifo(25); }},
      {"character device that is no tty", 26,
       [](ComDir& dir) { return dir.Link(26, "/dev/null"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(c.make(comDir));
    for (const bool report : {true, false}) {
      SCOPED_TRACE(report ? "report" : "quiet");
      SerialPort failing;
      testing::internal::CaptureStdout();
      const bool opened = failing.Open(c.comPort, 19200, 0, report);
      EXPECT_EQ(testing::internal::GetCapturedStdout(), report ? kInitFailure : "");
      EXPECT_FALSE(opened);
      EXPECT_EQ(failing.handle, nullptr);
      EXPECT_EQ(failing.devicePath, "\\\\.\\COM" + std::to_string(c.comPort));
      testing::internal::CaptureStdout();
      EXPECT_FALSE(failing.Close());
      EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
  }
  // Opened and then found not to be a tty: the undo released the file again, lock included.
  const int fd = open(comDir.Entry(ComDir::PortName(22)).c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);
}

int OpenPlainly(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// The tty's exclusive flag, read through a descriptor of our own (root passes the flag), or -1.
int ExclusiveFlag(const std::string& path) {
  const int fd = OpenPlainly(path);
  if (fd < 0) return -1;
  int exclusive = -1;
  if (ioctl(fd, TIOCGEXCL, &exclusive) != 0) exclusive = -1;
  close(fd);
  return exclusive;
}

TEST_F(SerialDevice, APortThatIsHeldRefusesEveryOtherOpen) {
  enum class Holder {
    kSerialPortHere,
    kSerialPortInAnotherProcess,
    kFlockOfAnotherProgram,
    kPlainOpenOfAnotherProgram,
    kExclusiveFlagOfAnotherProgram,
    kExclusiveFlagLeftOnTheLine,
  };
  const std::pair<Holder, const char*> holders[] = {
      {Holder::kSerialPortHere, "a serial port of this process"},
      {Holder::kSerialPortInAnotherProcess, "a serial port of another process"},
      {Holder::kFlockOfAnotherProgram, "another program's flock"},
      {Holder::kPlainOpenOfAnotherProgram, "another program's plain open, as cat or screen do"},
      {Holder::kExclusiveFlagOfAnotherProgram, "another program's TIOCEXCL"},
      // Set by a program that has gone, on a line that outlived it: no process to be seen, only
      // the flag, which refuses everyone but root.
      {Holder::kExclusiveFlagLeftOnTheLine, "a TIOCEXCL left on the line"},
  };
  const std::string slave = pty.SlavePath();
  for (const auto& [holder, what] : holders) {
    SCOPED_TRACE(what);
    SerialPort first;
    HolderProcess other;
    SerialPort* otherPort = nullptr;
    int lockFd = -1;
    bool flagIsTheHolders = false;
    switch (holder) {
      case Holder::kSerialPortHere:
        ASSERT_TRUE(first.Open(kPort, 19200, 0, false));
        break;
      case Holder::kSerialPortInAnotherProcess:
        ASSERT_TRUE(other.Start(
            [&otherPort] {
              otherPort = new SerialPort;
              return otherPort->Open(kPort, 19200, 0, false);
            },
            [&otherPort] { otherPort->Close(); }));
        break;
      case Holder::kFlockOfAnotherProgram:
        lockFd = OpenPlainly(slave);
        ASSERT_GE(lockFd, 0);
        ASSERT_EQ(flock(lockFd, LOCK_EX | LOCK_NB), 0);
        break;
      case Holder::kPlainOpenOfAnotherProgram:
        ASSERT_TRUE(other.Start([&slave] { return OpenPlainly(slave) >= 0; }));
        break;
      case Holder::kExclusiveFlagOfAnotherProgram:
        ASSERT_TRUE(other.Start(
            [&slave, &lockFd] {
              lockFd = OpenPlainly(slave);
              return lockFd >= 0 && ioctl(lockFd, TIOCEXCL) == 0;
            },
            [&lockFd] { ioctl(lockFd, TIOCNXCL); }));
        lockFd = -1;
        flagIsTheHolders = true;
        break;
      case Holder::kExclusiveFlagLeftOnTheLine:
        if (geteuid() != 0) {
          GTEST_SKIP() << "a flag left on the line can only be cleared again by root";
        }
        lockFd = OpenPlainly(slave);
        ASSERT_GE(lockFd, 0);
        ASSERT_EQ(ioctl(lockFd, TIOCEXCL), 0);
        close(lockFd);
        lockFd = -1;
        flagIsTheHolders = true;
        break;
    }
    LineSettings before;
    ASSERT_TRUE(pty.ReadSettings(before));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(port.Open(kPort, 115000, 0, true));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kInitFailure);
    EXPECT_EQ(port.handle, nullptr);
    EXPECT_EQ(platform::CommOpen("\\\\.\\COM3"), platform::kInvalidCommHandle);
    // The holder is new since the last row's probe, well within the time a probe's look is shared.
    platform::port_holders::ForgetSharedLook();
    EXPECT_EQ(platform::CommOpenForProbe("\\\\.\\COM3"), platform::kInvalidCommHandle);
    // Given up before anything on the line changed.
    LineSettings after;
    ASSERT_TRUE(pty.ReadSettings(after));
    EXPECT_EQ(after.outputRate, before.outputRate);
    EXPECT_EQ(after.exactRate, before.exactRate);
    if (flagIsTheHolders && geteuid() == 0) {
      EXPECT_EQ(ExclusiveFlag(slave), 1) << "the refused open took the holder's flag away";
    }

    if (holder == Holder::kSerialPortHere) {
      // The refused open left the holder's line alone.
      const Bytes frame = {0x01, 0x03, 0x00};
      std::uint32_t written = 0;
      EXPECT_TRUE(platform::CommWrite(first.handle, frame.data(), 3, &written));
      EXPECT_EQ(pty.Read(frame.size(), 1000), frame);
    }
    first.Close();
    other.Release();
    if (lockFd >= 0) close(lockFd);
    if (holder == Holder::kExclusiveFlagLeftOnTheLine) {
      lockFd = OpenPlainly(slave);
      ASSERT_GE(lockFd, 0);
      ioctl(lockFd, TIOCNXCL);
      close(lockFd);
    }
    EXPECT_TRUE(port.Open(kPort, 19200, 0, false));
    EXPECT_TRUE(port.Close());
  }
}

TEST_F(SerialDevice, ThePortsOwnExclusiveFlagIsClearedAtItsClose) {
  OpenPort();
  if (geteuid() == 0) {
    EXPECT_EQ(ExclusiveFlag(pty.SlavePath()), 1);
  }
  EXPECT_TRUE(port.Close());
  EXPECT_EQ(ExclusiveFlag(pty.SlavePath()), 0);
}

// Ctrl-C or a kill ends the tool without a close; on a pty whose far end stays, the flag would
// outlive the process and refuse the port to the next run.
TEST_F(SerialDevice, AnInterruptedRunLeavesNoExclusiveFlagBehind) {
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    SCOPED_TRACE(strsignal(signalNumber));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
      SerialPort* held = new SerialPort;
      const char state = held->Open(kPort, 19200, 0, false) ? '1' : '0';
      if (write(ready[1], &state, 1) != 1) _exit(2);
      for (;;) pause();
    }
    ASSERT_GT(child, 0);
    close(ready[1]);
    char state = '0';
    EXPECT_EQ(read(ready[0], &state, 1), 1);
    close(ready[0]);
    EXPECT_EQ(state, '1');
    if (geteuid() == 0) {
      EXPECT_EQ(ExclusiveFlag(pty.SlavePath()), 1);
    }
    kill(child, signalNumber);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << "status " << status;
    EXPECT_EQ(ExclusiveFlag(pty.SlavePath()), 0);
    EXPECT_TRUE(port.Open(kPort, 19200, 0, false));
    EXPECT_TRUE(port.Close());
  }
}

TEST_F(SerialDevice, APortOpensAgainAfterItsClose) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(port.Open(kPort, 19200, 0, false));
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(port.handle, nullptr);
  }
}

TEST_F(SerialDevice, ASecondCloseDoesNothing) {
  OpenPort();
  EXPECT_TRUE(port.Close());
  LineSettings before;
  ASSERT_TRUE(pty.ReadSettings(before));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(port.Close());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(port.handle, nullptr);
  LineSettings after;
  ASSERT_TRUE(pty.ReadSettings(after));
  EXPECT_EQ(after.outputRate, before.outputRate);
  // The closed port is free for anyone.
  EXPECT_TRUE(port.Open(kPort, 19200, 0, false));
}

TEST(SerialDeviceHandle, EveryCallFailsOnAHandleThatIsNotOpen) {
  for (const platform::CommHandle handle :
       {platform::CommHandle{nullptr}, platform::kInvalidCommHandle}) {
    SCOPED_TRACE(handle == nullptr ? "null" : "invalid");
    platform::CommState state;
    std::uint8_t buffer[8] = {};
    std::uint32_t count = 77;
    EXPECT_FALSE(platform::CommGetState(handle, state));
    EXPECT_FALSE(platform::CommSetState(handle, state));
    EXPECT_FALSE(platform::CommSetTimeouts(handle, platform::CommTimeouts{}));
    EXPECT_FALSE(platform::CommPurge(handle, platform::kPurgeTxClear | platform::kPurgeRxClear));
    EXPECT_FALSE(platform::CommEscapeFunction(handle, platform::CommEscape::kSetRts));
    EXPECT_FALSE(platform::CommEscapeFunction(handle, platform::CommEscape::kClearRts));
    EXPECT_FALSE(platform::CommRead(handle, buffer, sizeof(buffer), &count));
    EXPECT_FALSE(platform::CommWrite(handle, buffer, sizeof(buffer), &count));
    EXPECT_FALSE(platform::CommClose(handle));
  }
}

TEST_F(SerialDevice, EveryByteValuePassesUnchangedBothWays) {
  // Line feed, carriage return, XON, XOFF, interrupt, NUL, 0xFF and the other characters a
  // cooked tty acts on.
  Bytes special = {0x0A, 0x0D, 0x11, 0x13, 0x03, 0x00, 0xFF, 0x04, 0x1A,
                   0x1C, 0x7F, 0x08, 0x15, 0x17, 0x12, 0x16, 0x0F, 0x0A};
  Bytes everyValue;
  for (int value = 0; value < 256; ++value) everyValue.push_back(static_cast<std::uint8_t>(value));
  const std::pair<PtyPair::Mode, const char*> modes[] = {
      {PtyPair::Mode::kLinuxDefault, "line as Linux sets it up"},
      {PtyPair::Mode::kRaw, "line already raw"},
  };
  int comPort = 30;
  for (const auto& [mode, what] : modes) {
    SCOPED_TRACE(what);
    PtyPair line;
    ASSERT_TRUE(line.Open(mode));
    ASSERT_TRUE(comDir.Link(comPort, line.SlavePath()));
    SerialPort tool;
    ASSERT_TRUE(tool.Open(comPort++, 19200, 0, false));
    for (const Bytes* bytes : {&special, &everyValue}) {
      std::uint32_t written = 0;
      ASSERT_TRUE(platform::CommWrite(tool.handle, bytes->data(),
                                      static_cast<std::uint32_t>(bytes->size()), &written));
      EXPECT_EQ(written, bytes->size());
      EXPECT_EQ(line.Read(bytes->size(), 1000), *bytes) << "tool to far end";
      EXPECT_TRUE(line.Read(1, 50).empty()) << "nothing added on the way out";

      ASSERT_TRUE(line.Write(*bytes));
      EXPECT_EQ(ReadFromPort(tool.handle, bytes->size(), 1000), *bytes) << "far end to tool";
      EXPECT_TRUE(line.Read(1, 50).empty()) << "nothing echoed back";
    }
    // The XOFF that came in did not stop the tool's output.
    const Bytes after = {0x55, 0xAA};
    std::uint32_t written = 0;
    ASSERT_TRUE(platform::CommWrite(tool.handle, after.data(), 2, &written));
    EXPECT_EQ(line.Read(after.size(), 1000), after);
    EXPECT_TRUE(tool.Close());
  }
}

TEST_F(SerialDevice, TheLineRunsAtExactlyTheRequestedRateWithEightNoneOne) {
  for (const int baud : {9600, 19200, 38400, 57600, 115000, 115200, 31250}) {
    SCOPED_TRACE(baud);
    ASSERT_TRUE(port.Open(kPort, baud, 0, false));
    LineSettings line;
    ASSERT_TRUE(pty.ReadSettings(line));
    EXPECT_EQ(line.outputRate, static_cast<std::uint32_t>(baud));
    EXPECT_EQ(line.inputRate, static_cast<std::uint32_t>(baud));
    EXPECT_TRUE(line.exactRate);
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_FALSE(line.parityEnable);
    EXPECT_FALSE(line.twoStopBits);
    EXPECT_FALSE(line.rtsCts);
    EXPECT_TRUE(line.clocal);
    EXPECT_TRUE(line.cread);
    EXPECT_FALSE(line.ixon);
    EXPECT_FALSE(line.ixoff);
    EXPECT_FALSE(line.ixany);
    EXPECT_FALSE(line.icrnl || line.inlcr || line.igncr || line.istrip || line.parmrk);
    EXPECT_FALSE(line.brkint);
    EXPECT_FALSE(line.opost);
    EXPECT_FALSE(line.icanon || line.echo || line.isig || line.iexten);
    EXPECT_EQ(line.vmin, 0);
    EXPECT_EQ(line.vtime, 0);

    platform::CommState reported;
    ASSERT_TRUE(platform::CommGetState(port.handle, reported));
    EXPECT_EQ(reported.baudRate, static_cast<std::uint32_t>(baud));
    EXPECT_EQ(reported.byteSize, 8);
    EXPECT_EQ(reported.parity, 0);
    EXPECT_EQ(reported.stopBits, 0);
    EXPECT_EQ(reported.rtsControl, platform::kRtsControlDisable);
    EXPECT_TRUE(port.Close());
  }
}

TEST_F(SerialDevice, AFormatTheDriverCannotCarryFailsTheOpen) {
  // A pty carries stop bits but always runs 8 bits without parity: the kernel drops the rest
  // without an error, and only the read-back shows it.
  struct Case {
    const char* why;
    int baud;
    int parity;
    int byteSize;
    int stopBits;
    bool opens;
    int reportedStopBits;
  };
  const Case cases[] = {
      {"8N1", 9600, 0, 8, 0, true, 0},
      {"two stop bits", 9600, 0, 8, 2, true, 2},
      {"one and a half stop bits", 9600, 0, 8, 1, true, 2},
      {"odd parity, which a pty drops", 9600, 1, 8, 0, false, 0},
      {"even parity, which a pty drops", 9600, 2, 8, 0, false, 0},
      {"mark parity, which a pty drops", 9600, 3, 8, 0, false, 0},
      {"space parity, which a pty drops", 9600, 4, 8, 0, false, 0},
      {"7 data bits, which a pty drops", 9600, 0, 7, 0, false, 0},
      {"5 data bits, which a pty drops", 9600, 0, 5, 0, false, 0},
      {"no such parity", 9600, 5, 8, 0, false, 0},
      {"no such parity either", 9600, 255, 8, 0, false, 0},
      {"4 data bits", 9600, 0, 4, 0, false, 0},
      {"9 data bits", 9600, 0, 9, 0, false, 0},
      {"no such stop bits", 9600, 0, 8, 3, false, 0},
      {"rate 0, which would hang the line up", 0, 0, 8, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    testing::internal::CaptureStdout();
    const bool opened = port.OpenWithFormat(kPort, c.baud, c.parity, c.byteSize, c.stopBits, true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.opens ? "" : kInitFailure);
    ASSERT_EQ(opened, c.opens);
    if (!opened) {
      EXPECT_EQ(port.handle, nullptr);
      continue;
    }
    LineSettings line;
    ASSERT_TRUE(pty.ReadSettings(line));
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_FALSE(line.parityEnable);
    EXPECT_EQ(line.twoStopBits, c.stopBits != 0);
    platform::CommState reported;
    ASSERT_TRUE(platform::CommGetState(port.handle, reported));
    EXPECT_EQ(reported.byteSize, 8);
    EXPECT_EQ(reported.parity, 0);
    EXPECT_EQ(reported.stopBits, c.reportedStopBits);
    EXPECT_TRUE(port.Close());
  }
  // Each failed open released the port.
  EXPECT_TRUE(port.Open(kPort, 9600, 0, false));
}

TEST_F(SerialDevice, SettingsOutsideTheFormatStayAsTheDriverHadThem) {
  const std::pair<bool, const char*> cases[] = {{false, "as Linux sets them up"},
                                                {true, "changed beforehand"}};
  for (const auto& [mark, what] : cases) {
    SCOPED_TRACE(what);
    if (mark) {
      ASSERT_TRUE(pty.MarkSettingsOutsideTheFormat());
    }
    LineSettings before;
    ASSERT_TRUE(pty.ReadSettings(before));
    ASSERT_TRUE(port.Open(kPort, 19200, 0, false));
    LineSettings after;
    ASSERT_TRUE(pty.ReadSettings(after));
    EXPECT_EQ(after.inpck, before.inpck);
    EXPECT_EQ(after.hupcl, before.hupcl);
    EXPECT_EQ(after.vintr, before.vintr);
    EXPECT_EQ(after.vstart, before.vstart);
    EXPECT_EQ(after.vstop, before.vstop);
    EXPECT_TRUE(port.Close());
  }
}

TEST_F(SerialDevice, AReadWithNothingArrivingReturnsNoBytesAfterThreeHundredMs) {
  OpenPort();
  std::uint8_t buffer[511];
  const TimedTransfer read = TimedRead(port.handle, buffer, sizeof(buffer));
  std::cout << "measured read time-out: " << read.elapsedMs << " ms, processor time "
            << read.cpuMicros << " us" << std::endl;
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 0u);
  EXPECT_GE(read.elapsedMs, 290);
  EXPECT_LE(read.elapsedMs, 450);
  // The wait sleeps in the kernel.
  EXPECT_LT(read.cpuMicros, 20000);
}

TEST_F(SerialDevice, AReadReturnsAtOnceWithTheBytesAlreadyReceived) {
  OpenPort();
  const Bytes reply = {0xFE, 0x03, 0x02, 0x00, 0x05, 0x6D, 0x87};
  ASSERT_TRUE(pty.Write(reply));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::uint8_t buffer[511];
  const TimedTransfer read = TimedRead(port.handle, buffer, sizeof(buffer));
  EXPECT_TRUE(read.ok);
  EXPECT_LT(read.elapsedMs, 50);
  EXPECT_EQ(Bytes(buffer, buffer + read.count), reply);

  // A read takes no more than it asks for; the rest is the start of the next read.
  ASSERT_TRUE(pty.Write(reply));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const TimedTransfer head = TimedRead(port.handle, buffer, 3);
  EXPECT_TRUE(head.ok);
  EXPECT_EQ(Bytes(buffer, buffer + head.count), Bytes(reply.begin(), reply.begin() + 3));
  const TimedTransfer rest = TimedRead(port.handle, buffer, sizeof(buffer));
  EXPECT_TRUE(rest.ok);
  EXPECT_LT(rest.elapsedMs, 50);
  EXPECT_EQ(Bytes(buffer, buffer + rest.count), Bytes(reply.begin() + 3, reply.end()));
}

TEST_F(SerialDevice, AWaitingReadReturnsSoonAfterTheFirstBytesArrive) {
  OpenPort();
  const Bytes reply = {0x01, 0x06, 0x00, 0x01};
  std::thread farEnd([this, &reply] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty.Write(reply);
  });
  std::uint8_t buffer[511];
  const TimedTransfer read = TimedRead(port.handle, buffer, sizeof(buffer));
  farEnd.join();
  std::cout << "read returned " << read.elapsedMs << " ms after its start" << std::endl;
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(Bytes(buffer, buffer + read.count), reply);
  EXPECT_GE(read.elapsedMs, 90);
  EXPECT_LE(read.elapsedMs, 250);
}

TEST_F(SerialDevice, PurgeDiscardsTheInputNotYetRead) {
  OpenPort();
  const std::pair<unsigned, bool> cases[] = {
      {platform::kPurgeRxClear, true},
      {platform::kPurgeTxClear | platform::kPurgeRxClear, true},
      {platform::kPurgeTxClear, false},
  };
  const Bytes stale = {0x11, 0x22, 0x33};
  for (const auto& [flags, discards] : cases) {
    SCOPED_TRACE(flags);
    ASSERT_TRUE(pty.Write(stale));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(platform::CommPurge(port.handle, flags));
    EXPECT_EQ(ReadFromPort(port.handle, stale.size(), 350), discards ? Bytes{} : stale);
  }
}

TEST_F(SerialDevice, AnOpenStartsWithAnEmptyInputBuffer) {
  ASSERT_TRUE(pty.Write({0x01, 0x02, 0x03}));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  OpenPort();
  std::uint8_t buffer[16];
  const TimedTransfer read = TimedRead(port.handle, buffer, sizeof(buffer));
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 0u);
}

TEST_F(SerialDevice, AFrameIsWrittenAtOnce) {
  OpenPort();
  const Bytes frame = {0xFE, 0x03, 0x00, 0x00, 0x00, 0x01, 0x91, 0xC5};
  const TimedTransfer write = TimedWrite(port.handle, frame);
  EXPECT_TRUE(write.ok);
  EXPECT_EQ(write.count, frame.size());
  EXPECT_LT(write.elapsedMs, 50);
  EXPECT_EQ(pty.Read(frame.size(), 1000), frame);
}

TEST_F(SerialDevice, AWriteToALineThatTakesNothingEndsWithinItsBound) {
  OpenPort();
  ASSERT_GT(pty.FillSlaveOutput(), 0u);
  for (const std::size_t size : {8, 64}) {
    SCOPED_TRACE(size);
    const Bytes frame(size, 0xA5);
    const std::int64_t boundMs = 20 * static_cast<std::int64_t>(size) + 200;
    const TimedTransfer write = TimedWrite(port.handle, frame);
    std::cout << "write of " << size << " bytes to a full line: " << write.count << " bytes in "
              << write.elapsedMs << " ms (bound " << boundMs << " ms), processor time "
              << write.cpuMicros << " us" << std::endl;
    EXPECT_TRUE(write.ok);
    EXPECT_LT(write.count, size);
    EXPECT_GE(write.elapsedMs, boundMs - 10);
    EXPECT_LE(write.elapsedMs, boundMs + 150);
    EXPECT_LT(write.cpuMicros, 20000);
  }
}

TEST_F(SerialDevice, TransfersFailOnceTheFarEndHasGone) {
  OpenPort();
  pty.CloseMaster();
  std::uint8_t buffer[16];
  const TimedTransfer read = TimedRead(port.handle, buffer, sizeof(buffer));
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.count, 0u);
  EXPECT_LT(read.elapsedMs, 100);
  const TimedTransfer write = TimedWrite(port.handle, {0x01, 0x02});
  EXPECT_FALSE(write.ok);
  EXPECT_LT(write.elapsedMs, 100);
  EXPECT_TRUE(port.Close());
}

TEST_F(SerialDevice, APseudoTerminalRefusesRtsAndTheOpenGoesOnWithout) {
  OpenPort();
  EXPECT_FALSE(platform::CommEscapeFunction(port.handle, platform::CommEscape::kSetRts));
  EXPECT_FALSE(platform::CommEscapeFunction(port.handle, platform::CommEscape::kClearRts));
}

TEST_F(SerialDevice, ALiveUucpLockKeepsThePortClosed) {
  const std::string name = ResolvedName(pty.SlavePath());
  ASSERT_FALSE(name.empty());
  const std::string lockPath = "/var/lock/LCK.." + name;

  const pid_t exited = fork();
  if (exited == 0) _exit(0);
  ASSERT_GT(exited, 0);
  ASSERT_EQ(waitpid(exited, nullptr, 0), exited);

  const auto hdb = [](long pid) {
    char text[16];
    std::snprintf(text, sizeof(text), "%10ld\n", pid);
    return std::string(text);
  };
  struct Case {
    const char* what;
    std::string content;
    bool opens;
  };
  const Case cases[] = {
      {"held by this process", hdb(getpid()), false},
      {"held by init", hdb(1), false},
      {"left by a process that has ended", hdb(exited), true},
      {"without a process id", "uucp\n", true},
      {"empty", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int fd = open(lockPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      GTEST_SKIP() << "cannot create " << lockPath << ": " << std::strerror(errno);
    }
    const bool written =
        write(fd, c.content.data(), c.content.size()) == static_cast<ssize_t>(c.content.size());
    close(fd);
    SerialPort tool;
    const bool opened = written && tool.Open(kPort, 19200, 0, false);
    tool.Close();
    unlink(lockPath.c_str());
    ASSERT_TRUE(written);
    EXPECT_EQ(opened, c.opens);
  }
}

// Runs `body` in a child process whose own mount namespace shows `consoles` as the system's active
// consoles. The child's verdict; -1 when such a namespace cannot be made here.
int WithActiveConsoles(ComDir& comDir, const std::string& consoles,
                       const std::function<bool()>& body) {
  static int made = 0;
  const std::string name = "active" + std::to_string(made++);
  if (!comDir.AddFile(name, consoles + "\n")) return 2;
  const std::string source = comDir.Entry(name);
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(source.c_str(), "/sys/class/tty/console/active", nullptr, MS_BIND, nullptr) != 0) {
      _exit(77);
    }
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 2;
  return WEXITSTATUS(status) == 77 ? -1 : WEXITSTATUS(status);
}

TEST_F(SerialDevice, TheSystemConsoleIsNeverOpened) {
  const std::string name = ResolvedName(pty.SlavePath());
  ASSERT_FALSE(name.empty());
  const auto opens = [] {
    const platform::CommHandle handle = platform::CommOpen("\\\\.\\COM3");
    if (handle == platform::kInvalidCommHandle) return false;
    platform::CommClose(handle);
    return true;
  };
  const auto refused = [&opens] { return !opens(); };
  struct Case {
    std::string consoles;
    std::function<bool()> check;
  };
  const Case cases[] = {
      {"tty0 " + name, refused},
      {name, refused},
      {"tty0 ttyS0", opens},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.consoles);
    const int verdict = WithActiveConsoles(comDir, c.consoles, c.check);
    if (verdict < 0) {
      GTEST_SKIP() << "no private mount namespace here (needs CAP_SYS_ADMIN)";
    }
    EXPECT_EQ(verdict, 0);
  }
}

// Runs `body` in a child process that has dropped root for the user and group nobody, as a
// technician who is not in the device's group. The child's verdict; -1 when not run as root.
int AsAnotherUser(const std::function<bool()>& body) {
  if (geteuid() != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      _exit(2);
    }
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 2;
  return WEXITSTATUS(status);
}

TEST_F(SerialDevice, APortTheUserMayNotReadAndWriteIsNeitherProbedNorOpened) {
  ASSERT_EQ(chmod(comDir.Entry("").c_str(), 0755), 0);
  const std::string slave = pty.SlavePath();
  struct Case {
    mode_t mode;
    bool opens;
  };
  // A pty's slave belongs to root; the other bits are the ones that apply to the user.
  const Case cases[] = {{0600, false}, {0620, false}, {0644, false}, {0666, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::oct << c.mode);
    ASSERT_EQ(chmod(slave.c_str(), c.mode), 0);
    const auto outcomeIs = [&c] {
      const platform::CommHandle probe = platform::CommOpenForProbe("\\\\.\\COM3");
      const bool probed = probe != platform::kInvalidCommHandle;
      if (probed) platform::CommClose(probe);
      const platform::CommHandle handle = platform::CommOpen("\\\\.\\COM3");
      const bool opened = handle != platform::kInvalidCommHandle;
      if (opened) platform::CommClose(handle);
      return probed == c.opens && opened == c.opens;
    };
    const int verdict = AsAnotherUser(outcomeIs);
    if (verdict < 0) GTEST_SKIP() << "needs root, to run a part of the test as another user";
    EXPECT_EQ(verdict, 0);
  }
}

}  // namespace
