#include "tests/platform/pty_pair.h"

// termios2 is the only view that shows an exact rate; it clashes with <termios.h>, which this file
// therefore does not include.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace {

bool GetSettings(int fd, termios2& settings) { return ioctl(fd, TCGETS2, &settings) == 0; }
bool PutSettings(int fd, const termios2& settings) { return ioctl(fd, TCSETS2, &settings) == 0; }

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

PtyPair::~PtyPair() {
  if (masterFd >= 0) close(masterFd);
}

int PtyPair::OpenSlave() const {
  return open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

bool PtyPair::Open(Mode mode) {
  masterFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (masterFd < 0 || grantpt(masterFd) != 0 || unlockpt(masterFd) != 0) return false;
  const char* name = ptsname(masterFd);
  if (name == nullptr) return false;
  slavePath = name;
  if (fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK) != 0) return false;
  // Opened once so that the line exists as a tty would before anyone uses it, then left to the
  // code under test: a far end that kept it would hold the port in every other process's eyes.
  const int slaveFd = OpenSlave();
  if (slaveFd < 0) return false;
  close(slaveFd);
  if (mode == Mode::kLinuxDefault) return true;
  // On Linux a termios request on the master acts on the slave.
  termios2 settings{};
  if (!GetSettings(masterFd, settings)) return false;
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                             ICRNL | IXON | IXOFF | IXANY);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  return PutSettings(masterFd, settings);
}

bool PtyPair::ReadSettings(LineSettings& line) const {
  termios2 settings{};
  if (!GetSettings(masterFd, settings)) return false;
  const tcflag_t c = settings.c_cflag;
  const tcflag_t i = settings.c_iflag;
  const tcflag_t l = settings.c_lflag;
  line.inputRate = settings.c_ispeed;
  line.outputRate = settings.c_ospeed;
  line.exactRate = (c & CBAUD) == BOTHER;
  switch (c & CSIZE) {
    case CS5:
      line.dataBits = 5;
      break;
    case CS6:
      line.dataBits = 6;
      break;
    case CS7:
      line.dataBits = 7;
      break;
    default:
      line.dataBits = 8;
      break;
  }
  line.parityEnable = (c & PARENB) != 0;
  line.parityOdd = (c & PARODD) != 0;
  line.stickParity = (c & CMSPAR) != 0;
  line.twoStopBits = (c & CSTOPB) != 0;
  line.rtsCts = (c & CRTSCTS) != 0;
  line.clocal = (c & CLOCAL) != 0;
  line.cread = (c & CREAD) != 0;
  line.hupcl = (c & HUPCL) != 0;
  line.inpck = (i & INPCK) != 0;
  line.ixon = (i & IXON) != 0;
  line.ixoff = (i & IXOFF) != 0;
  line.ixany = (i & IXANY) != 0;
  line.icrnl = (i & ICRNL) != 0;
  line.inlcr = (i & INLCR) != 0;
  line.igncr = (i & IGNCR) != 0;
  line.istrip = (i & ISTRIP) != 0;
  line.parmrk = (i & PARMRK) != 0;
  line.brkint = (i & BRKINT) != 0;
  line.opost = (settings.c_oflag & OPOST) != 0;
  line.icanon = (l & ICANON) != 0;
  line.echo = (l & ECHO) != 0;
  line.isig = (l & ISIG) != 0;
  line.iexten = (l & IEXTEN) != 0;
  line.vmin = settings.c_cc[VMIN];
  line.vtime = settings.c_cc[VTIME];
  line.vintr = settings.c_cc[VINTR];
  line.vstart = settings.c_cc[VSTART];
  line.vstop = settings.c_cc[VSTOP];
  return true;
}

bool PtyPair::MarkSettingsOutsideTheFormat() {
  termios2 settings{};
  if (!GetSettings(masterFd, settings)) return false;
  settings.c_iflag |= INPCK;
  settings.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
  settings.c_cc[VINTR] = 0x07;
  settings.c_cc[VSTART] = 0x05;
  settings.c_cc[VSTOP] = 0x06;
  return PutSettings(masterFd, settings);
}

bool PtyPair::Write(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count = write(masterFd, bytes.data() + done, bytes.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

std::vector<std::uint8_t> PtyPair::Read(std::size_t count, int timeoutMs) {
  std::vector<std::uint8_t> received;
  const std::int64_t deadline = NowMs() + timeoutMs;
  while (received.size() < count) {
    const std::int64_t remaining = deadline - NowMs();
    if (remaining <= 0) break;
    pollfd entry{masterFd, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(remaining));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    std::uint8_t chunk[256];
    const std::size_t wanted = std::min(sizeof(chunk), count - received.size());
    const ssize_t got = read(masterFd, chunk, wanted);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    received.insert(received.end(), chunk, chunk + got);
  }
  return received;
}

std::size_t PtyPair::FillSlaveOutput() {
  // The kernel moves queued output on to the master's side in the background and wakes no writer
  // when that frees room, so the line is full only once a pause has freed nothing, twice in a row.
  constexpr std::size_t kLimit = 64u << 20;  // far more than any pty queues
  const std::vector<std::uint8_t> chunk(4096, 0x55);
  const int slaveFd = OpenSlave();
  if (slaveFd < 0) return 0;
  std::size_t queued = 0;
  int idleRounds = 0;
  while (idleRounds < 2 && queued < kLimit) {
    std::size_t round = 0;
    for (;;) {
      const ssize_t count = write(slaveFd, chunk.data(), chunk.size());
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      round += static_cast<std::size_t>(count);
    }
    queued += round;
    idleRounds = round == 0 ? idleRounds + 1 : 0;
    poll(nullptr, 0, 50);
  }
  // What it queued is on the master's side already and stays there after this close.
  close(slaveFd);
  return queued;
}

void PtyPair::CloseMaster() {
  if (masterFd >= 0) close(masterFd);
  masterFd = -1;
}
