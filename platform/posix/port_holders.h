// The look at other processes that tells whether one of them holds a serial port. Linux has no
// share mode, so a port is held when any other process has it open, however it opened it; the
// only place that shows this is every process's /proc/<pid>/fd. The look must never wait on a file
// system, must see a pseudo-terminal's far end for what it is, and must stay cheap where tens of
// thousands of descriptors are open.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform {
namespace port_holders {

// The port as the look matches it.
struct Port {
  std::string path;   // the device node, symbolic links resolved
  dev_t device = 0;   // its st_rdev
  int ptyIndex = -1;  // the pty's number when the node is the slave of a pseudo-terminal
};

// The port at `resolvedPath`, a character device numbered `device`.
Port PortAt(const std::string& resolvedPath, dev_t device);

// One pass over the descriptors of every process in a /proc tree but `self`. A descriptor costs
// the reading of its link text; only a text that names a node under /dev is followed by a stat,
// since /dev answers at once and a file on an sshfs or NFS mount whose server has gone would
// never answer. A node elsewhere is not looked at, except that a text equal to the port's own path
// is that port, without a stat.
class Look {
 public:
  // A look for `port` alone, which ends at the first holder it finds.
  static Look For(const Port& port, const std::string& procRoot, pid_t self);
  // A look that any port under /dev can be matched against later, for the probes of a listing.
  static Look OfAll(const std::string& procRoot, pid_t self);

  // Whether a process seen by the look has `port` open, other than the pty's far end: a process
  // that holds the master of that pty (its fdinfo names the slave's index). Its own open of the
  // slave, as socat's pty address keeps one, does not hold the port.
  bool HeldByAnother(const Port& port) const;

 private:
  struct Opened {
    long pid;
    dev_t device;
  };
  struct Master {
    long pid;
    int ptyIndex;
  };

  static Look Take(const Port* port, const std::string& procRoot, pid_t self);
  // Reads one process's descriptors into the look; true when it holds `port`.
  bool AddProcess(int procFd, const char* pid, const Port* port);
  bool IsFarEnd(long pid, int ptyIndex) const;

  std::vector<Opened> opened_;
  std::vector<Master> masters_;
};

// Whether another process holds `port`. A probe, which never writes to the line, may match a
// look that another probe took less than a second before, so that the probes of one listing share
// one pass; an open that talks on the line always looks afresh.
enum class Freshness { kFresh, kMayShare };
bool HeldByAnotherProcess(const Port& port, Freshness freshness);

// Passes over /proc made by this process so far.
std::uint64_t PassCount();
// Lets the next probe look afresh, for a caller that has just changed who holds what.
void ForgetSharedLook();

}  // namespace port_holders
}  // namespace platform
