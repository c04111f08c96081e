// A pseudo-terminal standing in for a serial line: the code under test opens the slave, the test
// plays the far end on the master and reads the slave's line settings through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The slave's settings, decoded here so that tests need no tty header of their own.
struct LineSettings {
  std::uint32_t inputRate = 0;
  std::uint32_t outputRate = 0;
  bool exactRate = false;  // the rate is given as a number (BOTHER), not as a standard code
  int dataBits = 0;
  bool parityEnable = false;
  bool parityOdd = false;
  bool stickParity = false;
  bool twoStopBits = false;
  bool rtsCts = false;
  bool clocal = false;
  bool cread = false;
  bool hupcl = false;
  bool inpck = false;
  bool ixon = false;
  bool ixoff = false;
  bool ixany = false;
  bool icrnl = false;
  bool inlcr = false;
  bool igncr = false;
  bool istrip = false;
  bool parmrk = false;
  bool brkint = false;
  bool opost = false;
  bool icanon = false;
  bool echo = false;
  bool isig = false;
  bool iexten = false;
  std::uint8_t vmin = 0;
  std::uint8_t vtime = 0;
  std::uint8_t vintr = 0;
  std::uint8_t vstart = 0;
  std::uint8_t vstop = 0;
};

class PtyPair {
 public:
  enum class Mode { kLinuxDefault, kRaw };

  PtyPair() = default;
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // Makes the pair and keeps only the master, as any far end of a line must: a process that kept
  // a slave descriptor would hold the port for every other process.
  bool Open(Mode mode);
  const std::string& SlavePath() const { return slavePath; }

  bool ReadSettings(LineSettings& settings) const;
  // Parity checking on, no hang-up on close, other interrupt/start/stop characters: settings a
  // serial open must leave as it found them.
  bool MarkSettingsOutsideTheFormat();

  bool Write(const std::vector<std::uint8_t>& bytes);
  // What arrives at the master within `timeoutMs`, up to `count` bytes.
  std::vector<std::uint8_t> Read(std::size_t count, int timeoutMs);
  // Writes through a slave descriptor of its own until the line takes no more, as a far end that
  // never reads leaves it; returns the bytes queued. Call it while the code under test has the
  // port open, or the queue goes when the slave's last descriptor closes.
  std::size_t FillSlaveOutput();
  // The far end goes away: the slave is hung up.
  void CloseMaster();

 private:
  int OpenSlave() const;

  int masterFd = -1;
  std::string slavePath;
};
