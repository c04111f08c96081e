// Line settings of a pseudo-terminal through termios2, so that any rate (115000 included) is set
// and read back exactly. Kept in its own unit because <asm/termbits.h> and <termios.h> clash.
#pragma once

namespace modsim {

// A binary line as a serial driver gives it: no echo, no canonical mode, no signals, no CR/LF
// mapping, no XON/XOFF, 8 data bits, no parity, one stop bit, CLOCAL and CREAD, at `rate`.
bool SetRawLine(int fd, int rate);

// Changes only the rate; a standard rate is set with its Bxxx code, any other with BOTHER.
bool SetLineRate(int fd, int rate);

// The output rate the line is set to, or -1. On a pty master the kernel reports the slave's
// settings, which is how the simulator sees the rate that the tool chose.
int LineRate(int fd);

}  // namespace modsim
