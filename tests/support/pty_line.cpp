#include "tests/support/pty_line.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace modsim {
namespace {

struct RateCode {
  int rate;
  unsigned int code;
};

constexpr RateCode kRateCodes[] = {{0, B0},
                                   {50, B50},
                                   {75, B75},
                                   {110, B110},
                                   {134, B134},
                                   {150, B150},
                                   {200, B200},
                                   {300, B300},
                                   {600, B600},
                                   {1200, B1200},
                                   {1800, B1800},
                                   {2400, B2400},
                                   {4800, B4800},
                                   {9600, B9600},
                                   {19200, B19200},
                                   {38400, B38400},
                                   {57600, B57600},
                                   {115200, B115200},
                                   {230400, B230400},
                                   {460800, B460800},
                                   {500000, B500000},
                                   {576000, B576000},
                                   {921600, B921600},
                                   {1000000, B1000000},
                                   {1152000, B1152000},
                                   {1500000, B1500000},
                                   {2000000, B2000000},
                                   {2500000, B2500000},
                                   {3000000, B3000000},
                                   {3500000, B3500000},
                                   {4000000, B4000000}};

// The input rate bits stay 0, which means "same as the output rate".
void PutRate(termios2& line, int rate) {
  line.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  unsigned int code = BOTHER;
  for (const RateCode& entry : kRateCodes) {
    if (entry.rate == rate) code = entry.code;
  }
  line.c_cflag |= code;
  line.c_ospeed = static_cast<speed_t>(rate);
  line.c_ispeed = static_cast<speed_t>(rate);
}

}  // namespace

bool SetRawLine(int fd, int rate) {
  termios2 line{};
  if (ioctl(fd, TCGETS2, &line) != 0) return false;
  line.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                         IXON | IXOFF | IXANY | IUCLC | IMAXBEL);
  line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 0;
  PutRate(line, rate);
  return ioctl(fd, TCSETS2, &line) == 0;
}

bool SetLineRate(int fd, int rate) {
  termios2 line{};
  if (ioctl(fd, TCGETS2, &line) != 0) return false;
  PutRate(line, rate);
  return ioctl(fd, TCSETS2, &line) == 0;
}

int LineRate(int fd) {
  termios2 line{};
  if (ioctl(fd, TCGETS2, &line) != 0) return -1;
  const unsigned int code = line.c_cflag & CBAUD;
  if (code != BOTHER) {
    for (const RateCode& entry : kRateCodes) {
      if (entry.code == code) return entry.rate;
    }
  }
  return static_cast<int>(line.c_ospeed);
}

}  // namespace modsim
