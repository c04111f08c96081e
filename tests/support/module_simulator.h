// A stand-in for one I/O module, so that the tool can be driven end to end without hardware.
// ModuleModel is the module itself (registers, pending settings, faults, the request-to-reply
// rule) and knows nothing of a transport; ModuleSimulator serves it on a pseudo-terminal in a
// background thread, answering only at the module's own line rate as a real module would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/frame_log.h"

namespace modsim {

inline constexpr int kDefaultModbusAddress = 254;
inline constexpr int kDefaultBaudCode = 2;
inline constexpr int kRegModbusAddress = 7;
inline constexpr int kRegBaudCode = 14;
inline constexpr int kRegFirstInput = 1001;
inline constexpr int kInputCount = 10;
inline constexpr int kRegFirstOutput = 2001;
inline constexpr int kOutputCount = 12;
inline constexpr int kRegProduct = 3001;
inline constexpr int kRegVersion = 3002;
inline constexpr int kMaxReadCount = 125;
inline constexpr std::uint8_t kSet70Function = 0x46;
inline constexpr std::uint8_t kSet70Ack = 0x41;
// Silence that ends a frame on the line.
inline constexpr int kFrameGapMs = 15;

// 1 = 9600, 2 = 19200, 3 = 38400, 4 = 57600, 5 = 115000; 0 for any other code.
int BaudCodeRate(int code);
// The inverse; 0 for a rate that has no code.
int RateBaudCode(int rate);
// CRC-16/MODBUS of all `length` bytes (to be sent low byte first).
std::uint16_t Crc16(const std::uint8_t* data, std::size_t length);
// Hex(), a frame as text, comes with frame_log.h.

// The frames a fault can be aimed at. kAny covers every frame, including other functions.
// kSetAddress is the network function-70 address change.
enum class FrameKind { kAny, kRead, kWrite, kPrepare, kCommit, kSetAddress };

// One way for the module to misbehave. Silence and an exception reply leave the request undone
// (a write is not stored, a Commit applies nothing); every other fault only spoils the reply.
struct Fault {
  enum class Type {
    kSilent,         // no reply at all
    kException,      // slave, function | 0x80, `value`, CRC
    kBadCrc,         // the proper reply with both CRC bytes inverted
    kShort,          // only the first `value` bytes of the proper reply
    kSplit,          // the first `value` bytes, `pauseMs` of silence, then the rest
    kLate,           // the proper reply, `value` ms late
    kOversized,      // exactly `value` bytes: slave, function, low 8 bits of `value` - 5, data
                     // byte k = k mod 256, valid CRC
    kAck,            // function 70 only: byte 2 of the acknowledgement is `value`
    kWrongAddress,   // the proper reply from slave `value` (CRC recomputed)
    kWrongFunction,  // the proper reply with function byte `value` (CRC recomputed)
    // TCP only; a serial reply is left as it is.
    kWrongTransaction,  // the proper reply with transaction identifier `value`
    kWrongProtocol,     // the proper reply with protocol identifier `value`
    kClose,             // no reply: the module closes the connection
  };

  static Fault Silent();
  static Fault Exception(int code);
  static Fault BadCrc();
  static Fault Short(int bytes);
  static Fault Split(int bytes, int pauseMs);
  static Fault Late(int delayMs);
  static Fault Oversized(int totalBytes);
  static Fault Ack(int ackByte);
  static Fault WrongAddress(int address);
  static Fault WrongFunction(int function);
  static Fault WrongTransaction(int identifier);
  static Fault WrongProtocol(int identifier);
  static Fault Close();
  // The same fault for the next `frames` frames of its kind only, then the module behaves again.
  Fault Times(int frames) const;

  Type type = Type::kSilent;
  int value = 0;
  int pauseMs = 0;
  int remaining = -1;  // frames it still applies to; -1: every frame
};

// Bytes to send after `delayMs` of silence (counted from the previous chunk, or from the frame).
struct ReplyChunk {
  int delayMs = 0;
  std::vector<std::uint8_t> bytes;
};

struct ReplyPlan {
  std::vector<ReplyChunk> chunks;  // empty: the module stays silent
  // A Commit: the transport calls Commit() once the last chunk is on the line, so that a rate
  // change never catches the acknowledgement.
  bool commitAfterSending = false;

  bool Answers() const { return !chunks.empty(); }
  std::vector<std::uint8_t> Bytes() const;
};

struct ModuleOptions {
  int address = kDefaultModbusAddress;
  int baudCode = kDefaultBaudCode;
  std::uint16_t product = 1;
  std::uint16_t version = 12;
};

// The module's state and behaviour. Not thread-safe: a transport serializes access.
class ModuleModel {
 public:
  explicit ModuleModel(const ModuleOptions& options = {});

  // Registers of the map only (7, 14, 1001-1010, 2001-2012, 3001, 3002); false for any other.
  // 7 and 14 are the current address and baud code, set at once (no Commit needed).
  bool SetRegister(int reg, std::uint16_t value);
  std::optional<std::uint16_t> Register(int reg) const;
  int Address() const { return address_; }
  int BaudCode() const { return baudCode_; }
  int Rate() const { return BaudCodeRate(baudCode_); }

  // One fault per kind; a frame takes its own kind's fault first, kAny's otherwise.
  void SetFault(FrameKind kind, const Fault& fault);
  void ClearFaults();
  // Answer only the first `frames` frames received (every frame counts), then stay silent;
  // -1 lifts the limit.
  void StopAfter(int frames);

  // Counts one received frame; false once the StopAfter budget is spent.
  bool AdmitFrame();
  // True for slave 254 and for the module's own address.
  bool Addressed(int slave) const;

  // Modbus application layer, for any transport: an exception code, or 0 when done.
  int ReadRegisters(int wireAddress, int count, std::vector<std::uint16_t>* values) const;
  int WriteRegister(int wireAddress, std::uint16_t value);
  // Applies the staged writes of registers 7 and 14.
  void Commit();
  // The fault that applies to a frame of `kind`, used up by one if it is counted.
  std::optional<Fault> TakeFault(FrameKind kind);

  // The reply to one RTU frame. Ignored (empty plan): a bad CRC, another slave, a malformed
  // function 3 or 6 request (not 8 bytes). Function 70 answers only the exact Prepare and
  // Commit frames; any other function, or any other function-70 frame, gets exception 1.
  ReplyPlan AnswerRtu(const std::vector<std::uint8_t>& request);

 private:
  int WriteError(int wireAddress, int value) const;

  int address_;
  int baudCode_;
  std::optional<int> stagedAddress_;
  std::optional<int> stagedBaudCode_;
  std::map<int, std::uint16_t> registers_;
  std::map<FrameKind, Fault> faults_;
  int stopAfter_ = -1;
  int framesAdmitted_ = 0;
};

struct ReceivedFrame {
  std::vector<std::uint8_t> bytes;
  int rate = -1;  // the line rate when the frame's first byte was read
  bool answered = false;
  std::vector<std::uint8_t> reply;  // every byte sent (or to be sent) in answer
};

// The module on the master side of a pty. The tool opens the slave through a symlink. The
// simulator holds only the master: the tool takes a port that any other process has open for one
// in use, and the far end of a real cable holds nothing on the PC. While no one has the slave
// open the master reports a hang-up, and serving goes on until the slave is opened again.
class ModuleSimulator : public FrameLog<ReceivedFrame> {
 public:
  explicit ModuleSimulator(std::string linkPath, const ModuleOptions& options = {});
  ~ModuleSimulator();
  ModuleSimulator(const ModuleSimulator&) = delete;
  ModuleSimulator& operator=(const ModuleSimulator&) = delete;

  // Opens the pty master, makes the slave's line raw at the module's own rate (through the
  // master, which keeps the settings while no one has the slave open), creates the link
  // (replacing a stale symlink) and starts serving. On failure returns false with the reason in
  // `error`.
  bool Start(std::string* error = nullptr);
  // Stops the thread, closes the pty and removes the link. Called by the destructor.
  void Stop();

  const std::string& LinkPath() const { return linkPath_; }
  const std::string& SlavePath() const { return slavePath_; }

  // Called on the simulator's thread for every frame, after it is recorded. Set before Start.
  void SetFrameObserver(std::function<void(const ReceivedFrame&)> observer);

  bool SetRegister(int reg, std::uint16_t value);
  std::optional<std::uint16_t> Register(int reg) const;
  int Address() const;
  int BaudCode() const;
  int Rate() const;
  void SetFault(FrameKind kind, const Fault& fault);
  void ClearFaults();
  void StopAfter(int frames);

 private:
  struct OutputQueue;

  void Serve();
  void HandleFrame(const std::vector<std::uint8_t>& bytes, int rate, OutputQueue& out);
  bool Fail(std::string* error, const std::string& what);

  std::string linkPath_;
  std::string slavePath_;
  int masterFd_ = -1;
  int wakeFd_ = -1;
  bool linked_ = false;
  std::thread thread_;
  std::function<void(const ReceivedFrame&)> observer_;

  mutable std::mutex mutex_;
  ModuleModel model_;
};

}  // namespace modsim
