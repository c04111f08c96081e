// Who else holds a port: the look over made-up /proc trees, whose descriptors point at real
// pseudo-terminals, and over the real /proc with processes that hold ptys as socat and terminal
// programs do.
#include "platform/posix/port_holders.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/comm.h"
#include "tests/platform/pty_pair.h"
#include "tests/support/holder_process.h"

namespace {

using platform::port_holders::Look;
using platform::port_holders::Port;
using platform::port_holders::PortAt;
using testsupport::HolderProcess;

// A fresh directory under $TMPDIR or /tmp; empty when none could be made.
std::string MakeScratchDirectory(const std::string& name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + name + ".XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

void RemoveTree(const std::string& path) {
  if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
}

// A made-up /proc: processes by number, each with descriptors whose link texts the test chooses
// and, for a pty master, an fdinfo file.
class FakeProc {
 public:
  FakeProc() : root_(MakeScratchDirectory("port_holders_proc")) {}
  ~FakeProc() { RemoveTree(root_); }
  FakeProc(const FakeProc&) = delete;
  FakeProc& operator=(const FakeProc&) = delete;

  const std::string& Root() const { return root_; }

  // Descriptor `fd` of process `pid` with the link text `text`.
  bool Add(const std::string& pid, int fd, const std::string& text) {
    MakeProcess(pid);
    return symlink(text.c_str(), (root_ + "/" + pid + "/fd/" + std::to_string(fd)).c_str()) == 0;
  }
  // A master of pty `ptyIndex` (as the kernel shows it; -1: an fdinfo without the index).
  bool AddMaster(const std::string& pid, int fd, int ptyIndex) {
    if (!Add(pid, fd, "/dev/ptmx")) return false;
    std::ofstream info(root_ + "/" + pid + "/fdinfo/" + std::to_string(fd));
    info << "pos:\t0\nflags:\t02100002\nmnt_id:\t23\nino:\t101\n";
    if (ptyIndex >= 0) info << "tty-index:\t" << ptyIndex << "\n";
    return static_cast<bool>(info);
  }
  void MakeProcess(const std::string& pid) {
    mkdir((root_ + "/" + pid).c_str(), 0755);
    mkdir((root_ + "/" + pid + "/fd").c_str(), 0755);
    mkdir((root_ + "/" + pid + "/fdinfo").c_str(), 0755);
  }

 private:
  std::string root_;
};

Port PortOf(const std::string& path) {
  struct stat node {};
  if (stat(path.c_str(), &node) != 0) return {};
  char* resolved = realpath(path.c_str(), nullptr);
  const std::string resolvedPath = resolved != nullptr ? resolved : "";
  std::free(resolved);
  return PortAt(resolvedPath, node.st_rdev);
}

constexpr pid_t kSelf = 4000;

TEST(PortHolders, APtySlaveIsKnownByItsIndex) {
  PtyPair pty;
  ASSERT_TRUE(pty.Open(PtyPair::Mode::kRaw));
  const Port port = PortOf(pty.SlavePath());
  EXPECT_EQ(port.path, pty.SlavePath());
  EXPECT_EQ("/dev/pts/" + std::to_string(port.ptyIndex), pty.SlavePath());
  EXPECT_EQ(PortOf("/dev/null").ptyIndex, -1);
}

TEST(PortHolders, WhoHoldsAPseudoTerminalsSlave) {
  PtyPair ours;
  PtyPair other;
  ASSERT_TRUE(ours.Open(PtyPair::Mode::kRaw));
  ASSERT_TRUE(other.Open(PtyPair::Mode::kRaw));
  const Port port = PortOf(ours.SlavePath());
  const int otherIndex = PortOf(other.SlavePath()).ptyIndex;
  ASSERT_GE(port.ptyIndex, 0);
  ASSERT_GE(otherIndex, 0);
  const std::string slave = ours.SlavePath();

  struct Case {
    const char* what;
    std::function<bool(FakeProc&)> make;
    bool held;
  };
  const Case cases[] = {
      {"a plain open of the slave, as cat or screen",
       [&](FakeProc& p) { return p.Add("10", 3, slave); }, true},
      {"the master and the slave in one process, as socat's pty",
       [&](FakeProc& p) { return p.AddMaster("10", 5, port.ptyIndex) && p.Add("10", 6, slave); },
       false},
      {"the master alone, as a module's simulator",
       [&](FakeProc& p) { return p.AddMaster("10", 5, port.ptyIndex); }, false},
      {"the slave next to the master of another pty",
       [&](FakeProc& p) { return p.AddMaster("10", 5, otherIndex) && p.Add("10", 6, slave); },
       true},
      {"the slave next to a master whose fdinfo names no pty",
       [&](FakeProc& p) { return p.AddMaster("10", 5, -1) && p.Add("10", 6, slave); }, true},
      {"socat's pty and a second program that opens its slave",
       [&](FakeProc& p) {
         return p.AddMaster("10", 5, port.ptyIndex) && p.Add("10", 6, slave) &&
                p.Add("11", 3, slave);
       },
       true},
      {"the far end in one process, the slave in another",
       [&](FakeProc& p) { return p.AddMaster("10", 5, port.ptyIndex) && p.Add("11", 3, slave); },
       true},
      {"this process itself", [&](FakeProc& p) { return p.Add(std::to_string(kSelf), 3, slave); },
       false},
      {"descriptors of other kinds",
       [&](FakeProc& p) {
         return p.Add("10", 0, "/dev/null") && p.Add("10", 1, "socket:[4711]") &&
                p.Add("10", 2, "pipe:[4712]") && p.Add("10", 3, "anon_inode:[eventfd]") &&
                p.Add("10", 4, "/memfd:x (deleted)") && p.Add("10", 5, "/dev/pts/99999") &&
                p.Add("10", 6, other.SlavePath());
       },
       false},
      // A stat outside /dev may never return; such a node is not looked at.
      {"a link outside /dev to the slave",
       [&](FakeProc& p) {
         const std::string outside = p.Root() + "/elsewhere";
         return symlink(slave.c_str(), outside.c_str()) == 0 && p.Add("10", 3, outside);
       },
       false},
      {"entries that are no process or no descriptor",
       [&](FakeProc& p) {
         p.MakeProcess("self");
         return symlink(slave.c_str(), (p.Root() + "/self/fd/3").c_str()) == 0 &&
                p.Add("10", 0, "/dev/null") &&
                symlink(slave.c_str(), (p.Root() + "/10/fd/x").c_str()) == 0;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeProc proc;
    ASSERT_FALSE(proc.Root().empty());
    ASSERT_TRUE(c.make(proc));
    EXPECT_EQ(Look::For(port, proc.Root(), kSelf).HeldByAnother(port), c.held) << "look for it";
    EXPECT_EQ(Look::OfAll(proc.Root(), kSelf).HeldByAnother(port), c.held) << "look of all";
  }
}

// A node made outside /dev is seen only through its own path, which needs no stat: here it names
// nothing at all any more, and is still the port.
TEST(PortHolders, ANodeOutsideDevIsMatchedByItsPathAlone) {
  FakeProc proc;
  ASSERT_FALSE(proc.Root().empty());
  Port port = PortOf("/dev/null");
  port.path = proc.Root() + "/gone/ttyX";
  ASSERT_TRUE(proc.Add("10", 3, port.path));
  EXPECT_TRUE(Look::For(port, proc.Root(), kSelf).HeldByAnother(port));
  Port elsewhere = port;
  elsewhere.path += "2";
  EXPECT_FALSE(Look::For(elsewhere, proc.Root(), kSelf).HeldByAnother(elsewhere));
}

TEST(PortHolders, AnUnreadableProcTreeShowsNoHolder) {
  const Port port = PortOf("/dev/null");
  EXPECT_FALSE(Look::For(port, "/nonexistent/proc", kSelf).HeldByAnother(port));
  EXPECT_FALSE(Look::OfAll("/nonexistent/proc", kSelf).HeldByAnother(port));
}

// The same over the real /proc, with processes that really hold the ptys, each linked as a COM
// port the way a user points the tool at a socat pty.
class RealHolders : public testing::Test {
 protected:
  void SetUp() override {
    comDir_ = MakeScratchDirectory("port_holders_com");
    ASSERT_FALSE(comDir_.empty());
    ASSERT_EQ(setenv("MX40R_COM_DIR", comDir_.c_str(), 1), 0);
  }
  void TearDown() override {
    RemoveTree(comDir_);
    unsetenv("MX40R_COM_DIR");
  }

  std::string Link(int port) const { return comDir_ + "/COM" + std::to_string(port); }

  static bool Opens(const char* path, bool probe) {
    platform::port_holders::ForgetSharedLook();
    const platform::CommHandle handle =
        probe ? platform::CommOpenForProbe(path) : platform::CommOpen(path);
    if (handle == platform::kInvalidCommHandle) return false;
    platform::CommClose(handle);
    return true;
  }

  std::string comDir_;
};

// A new pty in this process, its master and slave both kept, linked as `link`: socat's pty.
bool HoldBothEnds(const std::string& link) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
  const char* name = ptsname(master);
  return name != nullptr && open(name, O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0 &&
         symlink(name, link.c_str()) == 0;
}

TEST_F(RealHolders, TheFarEndOfAPtyHoldsItOnlyWithItsOwnMaster) {
  PtyPair ours;
  ASSERT_TRUE(ours.Open(PtyPair::Mode::kRaw));
  ASSERT_EQ(symlink(ours.SlavePath().c_str(), Link(3).c_str()), 0);
  const std::string slave = ours.SlavePath();
  const std::string socatLink = Link(4);

  HolderProcess socat;
  ASSERT_TRUE(socat.Start([&socatLink] { return HoldBothEnds(socatLink); }));
  // The master of another pty does not make this slave's opener its far end.
  HolderProcess farEndOfAnother;
  ASSERT_TRUE(farEndOfAnother.Start([&slave] {
    return posix_openpt(O_RDWR | O_NOCTTY) >= 0 && open(slave.c_str(), O_RDWR | O_NOCTTY) >= 0;
  }));

  for (const bool probe : {false, true}) {
    SCOPED_TRACE(probe ? "probe" : "open");
    EXPECT_TRUE(Opens("\\\\.\\COM4", probe)) << "socat's own pty";
    EXPECT_FALSE(Opens("\\\\.\\COM3", probe)) << "a slave opened beside another pty's master";
  }
  farEndOfAnother.Release();
  EXPECT_TRUE(Opens("\\\\.\\COM3", false));

  // A second program on socat's slave holds it, socat or no socat.
  char* resolved = realpath(socatLink.c_str(), nullptr);
  ASSERT_NE(resolved, nullptr);
  const std::string socatSlave = resolved;
  std::free(resolved);
  HolderProcess second;
  ASSERT_TRUE(second.Start(
      [&socatSlave] { return open(socatSlave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0; }));
  EXPECT_FALSE(Opens("\\\\.\\COM4", false));
  EXPECT_FALSE(Opens("\\\\.\\COM4", true));
  second.Release();
  EXPECT_TRUE(Opens("\\\\.\\COM4", false));
}

}  // namespace
