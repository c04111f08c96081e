// The serial device on Linux: a tty driven through termios2, with the exclusive open and the
// time-out semantics of a Windows COM port rebuilt from /proc, flock, TIOCEXCL and poll.
#include "platform/comm.h"

// The kernel's termios2 and glibc's <termios.h> define the same names differently: this file takes
// every tty definition from the kernel headers and never includes <termios.h>.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <new>
#include <string>

#include "platform/posix/port_holders.h"
#include "platform/posix/serial_line.h"
#include "platform/posix/sysfs_registry.h"

namespace platform {
namespace {

static_assert(sizeof(termios2) <= sizeof(CommState::native), "termios2 must fit CommState::native");
static_assert(alignof(termios2) <= alignof(CommState), "termios2 must fit CommState::native");

struct Device {
  int fd = -1;
  // Only a flag this open set is cleared at the close: another program's stays its own.
  bool setExclusive = false;
  CommTimeouts timeouts;
};

Device* ToDevice(CommHandle handle) {
  if (handle == nullptr || handle == kInvalidCommHandle) return nullptr;
  return static_cast<Device*>(handle);
}

// Port number from "\\.\COM<n>": decimal, no sign, no leading zero, nothing after it.
bool ParsePortNumber(const char* devicePath, unsigned& portNumber) {
  static constexpr char kPrefix[] = "\\\\.\\COM";
  if (devicePath == nullptr || std::strncmp(devicePath, kPrefix, sizeof(kPrefix) - 1) != 0) {
    return false;
  }
  const char* digits = devicePath + sizeof(kPrefix) - 1;
  if (*digits < '1' || *digits > '9') return false;
  unsigned long value = 0;
  for (const char* p = digits; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<unsigned long>(*p - '0');
    if (value > INT_MAX) return false;
  }
  portNumber = static_cast<unsigned>(value);
  return true;
}

std::string DeviceForPort(unsigned portNumber) {
  // Set but empty still counts as set: a test environment must never fall through to real ports.
  if (const char* comDir = std::getenv("MX40R_COM_DIR")) {
    return std::string(comDir) + "/COM" + std::to_string(portNumber);
  }
  return sysfs::DeviceForComNumber(sysfs::kSystemRoot, portNumber);
}

std::string BaseName(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Opening the console would take the kernel's log and login line away from it.
bool IsSystemConsole(const std::string& resolvedPath) {
  if (resolvedPath == "/dev/console") return true;
  const std::string name = BaseName(resolvedPath);
  std::ifstream active("/sys/class/tty/console/active");
  std::string consoleName;
  while (active >> consoleName) {
    if (consoleName == name) return true;
  }
  return false;
}

bool ProcessIsAlive(long pid) {
  if (pid <= 0 || pid > INT_MAX) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// A UUCP lock file ("LCK..<name>" holding the holder's pid in ASCII) whose holder still runs.
bool HeldByUucpLock(const std::string& resolvedPath) {
  std::ifstream lockFile("/var/lock/LCK.." + BaseName(resolvedPath));
  long pid = 0;
  return lockFile >> pid && ProcessIsAlive(pid);
}

// The user may not open a port that the device's owner and group keep to themselves (usually the
// group dialout): such a port is as unavailable as a held one, to the probe too, which only reads.
bool MayReadAndWrite(const std::string& resolvedPath) {
  return faccessat(AT_FDCWD, resolvedPath.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
}

// Root's open passes another program's TIOCEXCL, so the flag is read right after the open.
bool HasExclusiveFlag(int fd) {
  int exclusive = 0;
  return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

std::int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// What poll should wait until `deadlineMs`; at least one millisecond more than the clock's
// truncation could lose, so that a wait never ends before its deadline.
int RemainingMs(std::int64_t deadlineMs) {
  const std::int64_t remaining = deadlineMs - MonotonicMs();
  if (remaining <= 0) return 0;
  return remaining >= INT_MAX ? INT_MAX : static_cast<int>(remaining) + 1;
}

// A wait until `deadlineMs` that resumes after a signal; the poll result, with `revents` filled.
int PollUntil(int fd, short events, std::int64_t deadlineMs, short& revents) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, RemainingMs(deadlineMs));
    if (ready < 0 && errno == EINTR) continue;
    revents = entry.revents;
    return ready;
  }
}

void PauseUntil(std::int64_t deadlineMs) {
  while (poll(nullptr, 0, RemainingMs(deadlineMs)) < 0 && errno == EINTR) {
  }
}

struct RateCode {
  speed_t code;
  std::uint32_t rate;
};

constexpr RateCode kRateCodes[] = {{B0, 0},
                                   {B50, 50},
                                   {B75, 75},
                                   {B110, 110},
                                   {B134, 134},
                                   {B150, 150},
                                   {B200, 200},
                                   {B300, 300},
                                   {B600, 600},
                                   {B1200, 1200},
                                   {B1800, 1800},
                                   {B2400, 2400},
                                   {B4800, 4800},
                                   {B9600, 9600},
                                   {B19200, 19200},
                                   {B38400, 38400},
                                   {B57600, 57600},
                                   {B115200, 115200},
                                   {B230400, 230400},
                                   {B460800, 460800},
                                   {B500000, 500000},
                                   {B576000, 576000},
                                   {B921600, 921600},
                                   {B1000000, 1000000},
                                   {B1152000, 1152000},
                                   {B1500000, 1500000},
                                   {B2000000, 2000000},
                                   {B2500000, 2500000},
                                   {B3000000, 3000000},
                                   {B3500000, 3500000},
                                   {B4000000, 4000000}};

std::uint32_t OutputRate(const termios2& settings) {
  const speed_t code = settings.c_cflag & CBAUD;
  if (code == BOTHER) return settings.c_ospeed;
  for (const RateCode& entry : kRateCodes) {
    if (entry.code == code) return entry.rate;
  }
  return settings.c_ospeed;
}

std::uint8_t ParityOf(tcflag_t cflag) {
  if ((cflag & PARENB) == 0) return 0;
  if ((cflag & CMSPAR) != 0) return (cflag & PARODD) != 0 ? 3 : 4;
  return (cflag & PARODD) != 0 ? 1 : 2;
}

// The format bits a set asks the driver for; a driver that does not keep them refused them.
constexpr tcflag_t kFormatBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

bool EncodeFormat(const CommState& state, tcflag_t& cflag) {
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (state.byteSize < 5 || state.byteSize > 8) return false;
  tcflag_t format = kSizes[state.byteSize - 5];
  switch (state.parity) {
    case 0:
      break;
    case 1:
      format |= PARENB | PARODD;
      break;
    case 2:
      format |= PARENB;
      break;
    case 3:
      format |= PARENB | CMSPAR | PARODD;
      break;
    case 4:
      format |= PARENB | CMSPAR;
      break;
    default:
      return false;
  }
  if (state.stopBits > 2) return false;
  if (state.stopBits != 0) format |= CSTOPB;
  if (state.rtsControl == kRtsControlHandshake) format |= CRTSCTS;
  cflag = (cflag & ~kFormatBits) | format;
  return true;
}

// A Windows serial driver's line is always binary: bytes pass both ways exactly as sent, no
// character is acted on, and a read never waits inside the driver (the waits are our polls).
void MakeBinary(termios2& settings) {
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                             ICRNL | IUCLC | IXON | IXOFF | IXANY | IMAXBEL);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | XCASE | ECHO | ECHOE | ECHOK | ECHONL |
                                             ECHOCTL | ECHOPRT | ECHOKE | IEXTEN | EXTPROC);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
}

// Saturating milliseconds of a total time-out: multiplier per byte plus a constant.
std::int64_t TotalTimeoutMs(std::uint32_t multiplier, std::uint32_t size, std::uint32_t constant) {
  const std::uint64_t total = static_cast<std::uint64_t>(multiplier) * size + constant;
  return total > INT_MAX ? INT_MAX : static_cast<std::int64_t>(total);
}

// Ctrl-C ends the tool at once, without a close. On a line that outlives the process (a
// pseudo-terminal whose far end stays, as socat's does) the exclusive flag set at the open would
// then refuse the port to everyone but root until that far end goes; a real port loses it with
// its last descriptor. So the signals that end a run take back the flags this process set, and
// then end it as they would have. Descriptors are kept plus one, so that zero means a free slot.
constexpr int kFlagSlots = 16;
std::atomic<int> g_flaggedFds[kFlagSlots];

void TakeBackFlagsAndEnd(int signalNumber) {
  for (const std::atomic<int>& slot : g_flaggedFds) {
    const int stored = slot.load();
    if (stored > 0) ioctl(stored - 1, TIOCNXCL);
  }
  // The handler is reset on entry; the signal, blocked until the handler returns, then ends the
  // process with its own status.
  raise(signalNumber);
}

void InstallFlagRelease() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    struct sigaction current {};
    // A signal that the caller ignores or handles is left as it is.
    if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction release {};
    release.sa_handler = TakeBackFlagsAndEnd;
    sigemptyset(&release.sa_mask);
    release.sa_flags = SA_RESETHAND;
    sigaction(signalNumber, &release, nullptr);
  }
}

void NoteFlagSet(int fd) {
  InstallFlagRelease();
  for (std::atomic<int>& slot : g_flaggedFds) {
    int expected = 0;
    if (slot.compare_exchange_strong(expected, fd + 1)) return;
  }
}

void NoteFlagCleared(int fd) {
  for (std::atomic<int>& slot : g_flaggedFds) {
    int expected = fd + 1;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

// Whether anyone else holds the port, as far as that can be told before opening it; each of
// these refusals comes before the open, which on a real UART would already raise DTR and RTS on
// a line that belongs to someone else.
bool HeldBeforeTheOpen(const std::string& resolvedPath, port_holders::Freshness freshness) {
  if (IsSystemConsole(resolvedPath) || HeldByUucpLock(resolvedPath)) return true;
  struct stat device {};
  return stat(resolvedPath.c_str(), &device) == 0 && S_ISCHR(device.st_mode) &&
         port_holders::HeldByAnotherProcess(port_holders::PortAt(resolvedPath, device.st_rdev),
                                            freshness);
}

int OpenNonBlocking(const std::string& resolvedPath, int accessMode) {
  int fd;
  do {
    fd = open(resolvedPath.c_str(), accessMode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool TakeLock(int fd) {
  int locked;
  do {
    locked = flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  return locked == 0;
}

// The open of CommOpen with the access it is given. A port that turns out to be held once open
// is closed again before anything on it has changed.
CommHandle OpenExclusive(const char* devicePath, int accessMode,
                         port_holders::Freshness freshness) {
  unsigned portNumber = 0;
  if (!ParsePortNumber(devicePath, portNumber)) return kInvalidCommHandle;
  const std::string device = DeviceForPort(portNumber);
  if (device.empty()) return kInvalidCommHandle;
  char* resolved = realpath(device.c_str(), nullptr);
  if (resolved == nullptr) return kInvalidCommHandle;
  const std::string resolvedPath(resolved);
  std::free(resolved);
  if (!MayReadAndWrite(resolvedPath) || HeldBeforeTheOpen(resolvedPath, freshness)) {
    return kInvalidCommHandle;
  }

  // Non-blocking so that the open never waits for a modem line, and kept so afterwards: every
  // wait of a transfer is a poll with its own deadline, and a write may take part of a frame.
  const int fd = OpenNonBlocking(resolvedPath, accessMode);
  if (fd < 0) return kInvalidCommHandle;
  if (!TakeLock(fd) || HasExclusiveFlag(fd)) {
    close(fd);
    return kInvalidCommHandle;
  }
  Device* opened = new (std::nothrow) Device;
  if (opened == nullptr) {
    close(fd);
    return kInvalidCommHandle;
  }
  opened->fd = fd;
  // Keeps out programs that open without flock; a non-tty refuses it and fails at the settings.
  opened->setExclusive = ioctl(fd, TIOCEXCL) == 0;
  if (opened->setExclusive) NoteFlagSet(fd);
  return opened;
}

int QueuedOutputBytes(int fd) {
  int queued = 0;
  return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

}  // namespace

CommHandle CommOpen(const char* devicePath) {
  return OpenExclusive(devicePath, O_RDWR, port_holders::Freshness::kFresh);
}

CommHandle CommOpenForProbe(const char* devicePath) {
  return OpenExclusive(devicePath, O_RDONLY, port_holders::Freshness::kMayShare);
}

bool CommGetState(CommHandle handle, CommState& state) {
  Device* device = ToDevice(handle);
  if (device == nullptr) return false;
  termios2 settings{};
  if (ioctl(device->fd, TCGETS2, &settings) != 0) return false;
  std::memcpy(state.native, &settings, sizeof(settings));
  state.baudRate = OutputRate(settings);
  switch (settings.c_cflag & CSIZE) {
    case CS5:
      state.byteSize = 5;
      break;
    case CS6:
      state.byteSize = 6;
      break;
    case CS7:
      state.byteSize = 7;
      break;
    default:
      state.byteSize = 8;
      break;
  }
  state.parity = ParityOf(settings.c_cflag);
  state.stopBits = (settings.c_cflag & CSTOPB) != 0 ? 2 : 0;
  state.rtsControl = (settings.c_cflag & CRTSCTS) != 0 ? kRtsControlHandshake : kRtsControlDisable;
  return true;
}

bool CommSetState(CommHandle handle, const CommState& state) {
  Device* device = ToDevice(handle);
  // Rate 0 would be B0, which hangs the line up instead of setting a speed.
  if (device == nullptr || state.baudRate == 0) return false;
  termios2 settings{};
  std::memcpy(&settings, state.native, sizeof(settings));
  if (!EncodeFormat(state, settings.c_cflag)) return false;
  MakeBinary(settings);
  // BOTHER asks for the rate itself rather than the nearest standard one; a zero input code makes
  // the input follow the output rate.
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD);
  settings.c_cflag |= BOTHER;
  settings.c_ispeed = state.baudRate;
  settings.c_ospeed = state.baudRate;
  const bool accepted = ioctl(device->fd, TCSETS2, &settings) == 0;
  // A driver rounds a rate or drops a format bit it cannot do without failing the call.
  termios2 applied{};
  if (accepted && ioctl(device->fd, TCGETS2, &applied) != 0) return false;
  return serial_line::RateSetStands(accepted, state.baudRate, OutputRate(applied)) &&
         (applied.c_cflag & kFormatBits) == (settings.c_cflag & kFormatBits);
}

bool CommSetTimeouts(CommHandle handle, const CommTimeouts& timeouts) {
  Device* device = ToDevice(handle);
  if (device == nullptr) return false;
  device->timeouts = timeouts;
  return true;
}

bool CommPurge(CommHandle handle, unsigned flags) {
  Device* device = ToDevice(handle);
  if (device == nullptr) return false;
  const bool output = (flags & kPurgeTxClear) != 0;
  const bool input = (flags & kPurgeRxClear) != 0;
  if (!output && !input) return true;
  const int queue = output && input ? TCIOFLUSH : (output ? TCOFLUSH : TCIFLUSH);
  return ioctl(device->fd, TCFLSH, queue) == 0;
}

bool CommEscapeFunction(CommHandle handle, CommEscape function) {
  Device* device = ToDevice(handle);
  if (device == nullptr) return false;
  const int rts = TIOCM_RTS;
  return ioctl(device->fd, function == CommEscape::kSetRts ? TIOCMBIS : TIOCMBIC, &rts) == 0;
}

// Reads wait in poll for the first bytes and then take, in one read, what has arrived: with the
// interval and the multiplier both at kMaxTimeout the wait is the constant alone (the mode the
// serial port uses); otherwise it is multiplier * size + constant, zero meaning no wait at all.
bool CommRead(CommHandle handle, std::uint8_t* buffer, std::uint32_t size,
              std::uint32_t* bytesRead) {
  Device* device = ToDevice(handle);
  if (device == nullptr || bytesRead == nullptr || (buffer == nullptr && size != 0)) return false;
  *bytesRead = 0;
  if (size == 0) return true;
  const CommTimeouts& timeouts = device->timeouts;
  const bool firstBytesMode = timeouts.readInterval == kMaxTimeout &&
                              timeouts.readMultiplier == kMaxTimeout &&
                              timeouts.readConstant != kMaxTimeout;
  const std::int64_t waitMs =
      firstBytesMode ? TotalTimeoutMs(0, 0, timeouts.readConstant)
                     : TotalTimeoutMs(timeouts.readMultiplier, size, timeouts.readConstant);
  short revents = 0;
  const int ready = PollUntil(device->fd, POLLIN, MonotonicMs() + waitMs, revents);
  if (ready < 0 || (revents & POLLNVAL) != 0) return false;
  if (ready == 0) return true;
  ssize_t count;
  do {
    count = read(device->fd, buffer, size);
  } while (count < 0 && errno == EINTR);
  if (count > 0) {
    *bytesRead = static_cast<std::uint32_t>(count);
    return true;
  }
  // Ready with nothing to read is a line that has gone away (a hung-up tty reads as end of file).
  if (count == 0) return (revents & (POLLHUP | POLLERR)) == 0;
  return errno == EAGAIN;
}

// A write keeps going until every byte is taken and has left the port, or multiplier * size +
// constant milliseconds have passed, as WriteFile returns once the frame is on the line: the RTU
// master raises RTS right after a write, which must not fall into the request still being sent.
// The bytes the driver took by the deadline are the count, and only a real error is a failure.
bool CommWrite(CommHandle handle, const std::uint8_t* data, std::uint32_t size,
               std::uint32_t* bytesWritten) {
  Device* device = ToDevice(handle);
  if (device == nullptr || bytesWritten == nullptr || (data == nullptr && size != 0)) return false;
  *bytesWritten = 0;
  const std::int64_t deadline =
      MonotonicMs() +
      TotalTimeoutMs(device->timeouts.writeMultiplier, size, device->timeouts.writeConstant);
  std::uint32_t written = 0;
  bool pollSaidWritable = false;
  while (written < size) {
    const ssize_t count = write(device->fd, data + written, size - written);
    if (count > 0) {
      written += static_cast<std::uint32_t>(count);
      pollSaidWritable = false;
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EAGAIN) {
      *bytesWritten = written;
      return false;
    }
    if (RemainingMs(deadline) == 0) break;
    // Some drivers report room they then do not take; waiting a little keeps that from a spin.
    if (pollSaidWritable) PauseUntil(std::min(deadline, MonotonicMs() + 10));
    short revents = 0;
    const int ready = PollUntil(device->fd, POLLOUT, deadline, revents);
    if (ready < 0 || (revents & POLLNVAL) != 0) {
      *bytesWritten = written;
      return false;
    }
    if (ready == 0) break;
    pollSaidWritable = true;
  }
  if (written > 0) serial_line::WaitUntilSent(device->fd, deadline, QueuedOutputBytes, MonotonicMs);
  *bytesWritten = written;
  return true;
}

bool CommClose(CommHandle handle) {
  Device* device = ToDevice(handle);
  if (device == nullptr) return false;
  // The exclusive flag belongs to the tty, not to this descriptor: left set, it would outlive us.
  if (device->setExclusive) {
    NoteFlagCleared(device->fd);
    ioctl(device->fd, TIOCNXCL);
  }
  // Linux releases the descriptor even when close reports EINTR, so it is not retried.
  const bool closed = close(device->fd) == 0 || errno == EINTR;
  delete device;
  return closed;
}

namespace serial_line {

bool RateSetStands(bool driverAccepted, std::uint32_t askedRate, std::uint32_t reportedRate) {
  if (!driverAccepted) return false;
  const std::uint64_t off =
      askedRate > reportedRate ? askedRate - reportedRate : reportedRate - askedRate;
  return off * 100 <= static_cast<std::uint64_t>(askedRate) * 2;
}

bool WaitUntilSent(int fd, std::int64_t deadlineMs, QueuedBytes queued, MonotonicClockMs now) {
  for (;;) {
    const int left = queued(fd);
    if (left == 0) return true;
    if (left < 0) return false;
    const std::int64_t remaining = deadlineMs - now();
    if (remaining <= 0) return false;
    // A millisecond is about a byte at 9600 baud: short enough not to keep RTS waiting.
    const std::int64_t pause = std::min<std::int64_t>(remaining, 1);
    while (poll(nullptr, 0, static_cast<int>(pause)) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace serial_line
}  // namespace platform
