#include "tests/support/module_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>

#include "tests/support/pty_line.h"

namespace modsim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBaudRates[] = {9600, 19200, 38400, 57600, 115000};
const std::vector<std::uint8_t> kPrepareFrame = {0xFE, 0x46, 0x0E, 0x02, 0x55, 0xB8};
const std::vector<std::uint8_t> kCommitFrame = {0xFE, 0x46, 0x08, 0x23, 0x96};

constexpr int kFunctionRead = 3;
constexpr int kFunctionWrite = 6;
constexpr int kIllegalFunction = 1;
constexpr int kIllegalDataAddress = 2;
constexpr int kIllegalDataValue = 3;
// While no one has the slave open, poll reports a hang-up on the master at once, again and again,
// and nothing marks the slave's next open; so the loop looks again after this pause, short beside
// the frame gap and the tool's wait for a reply.
constexpr int kHangUpPauseMs = 5;

void AppendCrc(std::vector<std::uint8_t>& frame) {
  const std::uint16_t crc = Crc16(frame.data(), frame.size());
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
}

void RedoCrc(std::vector<std::uint8_t>& frame) {
  frame.resize(frame.size() - 2);
  AppendCrc(frame);
}

std::vector<std::uint8_t> ExceptionReply(std::uint8_t slave, std::uint8_t function, int code) {
  std::vector<std::uint8_t> reply = {slave, static_cast<std::uint8_t>(function | 0x80),
                                     static_cast<std::uint8_t>(code)};
  AppendCrc(reply);
  return reply;
}

std::vector<std::uint8_t> OversizedReply(std::uint8_t slave, std::uint8_t function, int total) {
  const int dataLength = std::max(0, total - 5);
  std::vector<std::uint8_t> reply = {slave, function, static_cast<std::uint8_t>(dataLength)};
  for (int k = 0; k < dataLength; ++k) reply.push_back(static_cast<std::uint8_t>(k));
  AppendCrc(reply);
  return reply;
}

int Word(const std::vector<std::uint8_t>& frame, std::size_t offset) {
  return (frame[offset] << 8) | frame[offset + 1];
}

}  // namespace

int BaudCodeRate(int code) {
  if (code < 1 || code > static_cast<int>(std::size(kBaudRates))) return 0;
  return kBaudRates[code - 1];
}

int RateBaudCode(int rate) {
  for (int code = 1; code <= static_cast<int>(std::size(kBaudRates)); ++code) {
    if (kBaudRates[code - 1] == rate) return code;
  }
  return 0;
}

std::uint16_t Crc16(const std::uint8_t* data, std::size_t length) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                           : static_cast<std::uint16_t>(crc >> 1);
    }
  }
  return crc;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t byte : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

Fault Fault::Silent() { return Fault{Type::kSilent, 0, 0, -1}; }
Fault Fault::Exception(int code) { return Fault{Type::kException, code, 0, -1}; }
Fault Fault::BadCrc() { return Fault{Type::kBadCrc, 0, 0, -1}; }
Fault Fault::Short(int bytes) { return Fault{Type::kShort, bytes, 0, -1}; }
Fault Fault::Split(int bytes, int pauseMs) { return Fault{Type::kSplit, bytes, pauseMs, -1}; }
Fault Fault::Late(int delayMs) { return Fault{Type::kLate, delayMs, 0, -1}; }
Fault Fault::Oversized(int totalBytes) { return Fault{Type::kOversized, totalBytes, 0, -1}; }
Fault Fault::Ack(int ackByte) { return Fault{Type::kAck, ackByte, 0, -1}; }
Fault Fault::WrongAddress(int address) { return Fault{Type::kWrongAddress, address, 0, -1}; }
Fault Fault::WrongFunction(int function) { return Fault{Type::kWrongFunction, function, 0, -1}; }
Fault Fault::WrongTransaction(int identifier) {
  return Fault{Type::kWrongTransaction, identifier, 0, -1};
}
Fault Fault::WrongProtocol(int identifier) {
  return Fault{Type::kWrongProtocol, identifier, 0, -1};
}
Fault Fault::Close() { return Fault{Type::kClose, 0, 0, -1}; }

Fault Fault::Times(int frames) const {
  Fault limited = *this;
  limited.remaining = frames;
  return limited;
}

std::vector<std::uint8_t> ReplyPlan::Bytes() const {
  std::vector<std::uint8_t> all;
  for (const ReplyChunk& chunk : chunks) {
    all.insert(all.end(), chunk.bytes.begin(), chunk.bytes.end());
  }
  return all;
}

ModuleModel::ModuleModel(const ModuleOptions& options)
    : address_(options.address), baudCode_(options.baudCode) {
  for (int i = 0; i < kInputCount; ++i) registers_[kRegFirstInput + i] = 0;
  for (int i = 0; i < kOutputCount; ++i) registers_[kRegFirstOutput + i] = 0;
  registers_[kRegProduct] = options.product;
  registers_[kRegVersion] = options.version;
}

bool ModuleModel::SetRegister(int reg, std::uint16_t value) {
  if (reg == kRegModbusAddress) {
    address_ = value;
  } else if (reg == kRegBaudCode) {
    baudCode_ = value;
  } else {
    auto it = registers_.find(reg);
    if (it == registers_.end()) return false;
    it->second = value;
  }
  return true;
}

std::optional<std::uint16_t> ModuleModel::Register(int reg) const {
  if (reg == kRegModbusAddress) return static_cast<std::uint16_t>(address_);
  if (reg == kRegBaudCode) return static_cast<std::uint16_t>(baudCode_);
  auto it = registers_.find(reg);
  if (it == registers_.end()) return std::nullopt;
  return it->second;
}

void ModuleModel::SetFault(FrameKind kind, const Fault& fault) { faults_[kind] = fault; }

void ModuleModel::ClearFaults() { faults_.clear(); }

void ModuleModel::StopAfter(int frames) {
  stopAfter_ = frames;
  framesAdmitted_ = 0;
}

bool ModuleModel::AdmitFrame() {
  if (stopAfter_ >= 0 && framesAdmitted_ >= stopAfter_) return false;
  ++framesAdmitted_;
  return true;
}

bool ModuleModel::Addressed(int slave) const {
  return slave == kDefaultModbusAddress || slave == address_;
}

int ModuleModel::ReadRegisters(int wireAddress, int count,
                               std::vector<std::uint16_t>* values) const {
  if (count < 1 || count > kMaxReadCount) return kIllegalDataValue;
  values->clear();
  for (int reg = wireAddress + 1; reg <= wireAddress + count; ++reg) {
    const std::optional<std::uint16_t> value = Register(reg);
    if (!value) return kIllegalDataAddress;
    values->push_back(*value);
  }
  return 0;
}

int ModuleModel::WriteError(int wireAddress, int value) const {
  const int reg = wireAddress + 1;
  if (!Register(reg)) return kIllegalDataAddress;
  if (reg == kRegBaudCode && BaudCodeRate(value) == 0) return kIllegalDataValue;
  return 0;
}

int ModuleModel::WriteRegister(int wireAddress, std::uint16_t value) {
  const int code = WriteError(wireAddress, value);
  if (code != 0) return code;
  const int reg = wireAddress + 1;
  if (reg == kRegModbusAddress) {
    stagedAddress_ = value;
  } else if (reg == kRegBaudCode) {
    stagedBaudCode_ = value;
  } else {
    registers_[reg] = value;
  }
  return 0;
}

void ModuleModel::Commit() {
  if (stagedAddress_) address_ = *stagedAddress_;
  if (stagedBaudCode_) baudCode_ = *stagedBaudCode_;
  stagedAddress_.reset();
  stagedBaudCode_.reset();
}

std::optional<Fault> ModuleModel::TakeFault(FrameKind kind) {
  auto it = faults_.find(kind);
  if (it == faults_.end()) it = faults_.find(FrameKind::kAny);
  if (it == faults_.end()) return std::nullopt;
  const Fault fault = it->second;
  if (it->second.remaining > 0 && --it->second.remaining == 0) faults_.erase(it);
  return fault;
}

ReplyPlan ModuleModel::AnswerRtu(const std::vector<std::uint8_t>& request) {
  const std::size_t n = request.size();
  if (n < 4) return {};
  const std::uint16_t crc = Crc16(request.data(), n - 2);
  if (request[n - 2] != (crc & 0xFF) || request[n - 1] != (crc >> 8)) return {};
  const std::uint8_t slave = request[0];
  const std::uint8_t function = request[1];
  if (!Addressed(slave)) return {};

  FrameKind kind = FrameKind::kAny;
  std::vector<std::uint8_t> reply;
  bool write = false;
  bool commit = false;
  if (function == kFunctionRead) {
    if (n != 8) return {};
    kind = FrameKind::kRead;
    std::vector<std::uint16_t> values;
    const int code = ReadRegisters(Word(request, 2), Word(request, 4), &values);
    if (code != 0) {
      reply = ExceptionReply(slave, function, code);
    } else {
      reply = {slave, function, static_cast<std::uint8_t>(2 * values.size())};
      for (std::uint16_t value : values) {
        reply.push_back(static_cast<std::uint8_t>(value >> 8));
        reply.push_back(static_cast<std::uint8_t>(value & 0xFF));
      }
      AppendCrc(reply);
    }
  } else if (function == kFunctionWrite) {
    if (n != 8) return {};
    kind = FrameKind::kWrite;
    const int code = WriteError(Word(request, 2), Word(request, 4));
    if (code != 0) {
      reply = ExceptionReply(slave, function, code);
    } else {
      reply = request;
      write = true;
    }
  } else if (function == kSet70Function && (request == kPrepareFrame || request == kCommitFrame)) {
    kind = request == kPrepareFrame ? FrameKind::kPrepare : FrameKind::kCommit;
    commit = kind == FrameKind::kCommit;
    reply = {slave, function, kSet70Ack};
    AppendCrc(reply);
  } else {
    reply = ExceptionReply(slave, function, kIllegalFunction);
  }

  ReplyPlan plan;
  int delayMs = 0;
  std::optional<std::size_t> splitAt;
  int pauseMs = 0;
  if (const std::optional<Fault> fault = TakeFault(kind)) {
    switch (fault->type) {
      case Fault::Type::kSilent:
        return {};
      case Fault::Type::kException:
        reply = ExceptionReply(slave, function, fault->value);
        write = false;
        commit = false;
        break;
      case Fault::Type::kBadCrc:
        reply[reply.size() - 2] ^= 0xFF;
        reply[reply.size() - 1] ^= 0xFF;
        break;
      case Fault::Type::kShort:
        reply.resize(std::min(reply.size(), static_cast<std::size_t>(std::max(0, fault->value))));
        break;
      case Fault::Type::kSplit:
        splitAt = std::min(reply.size(), static_cast<std::size_t>(std::max(0, fault->value)));
        pauseMs = fault->pauseMs;
        break;
      case Fault::Type::kLate:
        delayMs = fault->value;
        break;
      case Fault::Type::kOversized:
        reply = OversizedReply(slave, function, fault->value);
        break;
      case Fault::Type::kAck:
        if (function == kSet70Function && (reply[1] & 0x80) == 0) {
          reply[2] = static_cast<std::uint8_t>(fault->value);
          RedoCrc(reply);
        }
        break;
      case Fault::Type::kWrongAddress:
        reply[0] = static_cast<std::uint8_t>(fault->value);
        RedoCrc(reply);
        break;
      case Fault::Type::kWrongFunction:
        reply[1] = static_cast<std::uint8_t>(fault->value);
        RedoCrc(reply);
        break;
      case Fault::Type::kWrongTransaction:
      case Fault::Type::kWrongProtocol:
      case Fault::Type::kClose:
        break;
    }
  }

  if (write) WriteRegister(Word(request, 2), static_cast<std::uint16_t>(Word(request, 4)));
  const auto cut = reply.begin() + static_cast<std::ptrdiff_t>(splitAt.value_or(reply.size()));
  if (cut != reply.begin()) {
    plan.chunks.push_back({delayMs, {reply.begin(), cut}});
    delayMs = 0;
  }
  if (cut != reply.end()) plan.chunks.push_back({delayMs + pauseMs, {cut, reply.end()}});
  if (commit && !plan.Answers()) {
    Commit();
  } else {
    plan.commitAfterSending = commit;
  }
  return plan;
}

struct ModuleSimulator::OutputQueue {
  struct Item {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
    bool commitAfter = false;
  };
  std::deque<Item> items;
  bool blocked = false;
};

ModuleSimulator::ModuleSimulator(std::string linkPath, const ModuleOptions& options)
    : linkPath_(std::move(linkPath)), model_(options) {}

ModuleSimulator::~ModuleSimulator() { Stop(); }

bool ModuleSimulator::Fail(std::string* error, const std::string& what) {
  if (error != nullptr) *error = what + ": " + std::strerror(errno);
  Stop();
  return false;
}

bool ModuleSimulator::Start(std::string* error) {
  masterFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (masterFd_ < 0) return Fail(error, "posix_openpt");
  if (grantpt(masterFd_) != 0 || unlockpt(masterFd_) != 0) return Fail(error, "unlockpt");
  char name[128];
  if (ptsname_r(masterFd_, name, sizeof name) != 0) return Fail(error, "ptsname_r");
  slavePath_ = name;
  // A termios request on the master acts on the slave, so the line is raw at the module's rate
  // before the tool first opens it, without the simulator ever opening the slave.
  if (!SetRawLine(masterFd_, Rate())) return Fail(error, "TCSETS2");
  const int flags = fcntl(masterFd_, F_GETFL);
  if (flags < 0 || fcntl(masterFd_, F_SETFL, flags | O_NONBLOCK) != 0) {
    return Fail(error, "fcntl");
  }
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) return Fail(error, "eventfd");
  struct stat existing {};
  if (lstat(linkPath_.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) {
    unlink(linkPath_.c_str());
  }
  if (symlink(slavePath_.c_str(), linkPath_.c_str()) != 0) {
    return Fail(error, "symlink " + linkPath_);
  }
  linked_ = true;
  thread_ = std::thread(&ModuleSimulator::Serve, this);
  return true;
}

void ModuleSimulator::Stop() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int* fd : {&wakeFd_, &masterFd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (linked_) unlink(linkPath_.c_str());
  linked_ = false;
}

void ModuleSimulator::SetFrameObserver(std::function<void(const ReceivedFrame&)> observer) {
  observer_ = std::move(observer);
}

bool ModuleSimulator::SetRegister(int reg, std::uint16_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.SetRegister(reg, value);
}

std::optional<std::uint16_t> ModuleSimulator::Register(int reg) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.Register(reg);
}

int ModuleSimulator::Address() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.Address();
}

int ModuleSimulator::BaudCode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.BaudCode();
}

int ModuleSimulator::Rate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.Rate();
}

void ModuleSimulator::SetFault(FrameKind kind, const Fault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_.SetFault(kind, fault);
}

void ModuleSimulator::ClearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  model_.ClearFaults();
}

void ModuleSimulator::StopAfter(int frames) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_.StopAfter(frames);
}

void ModuleSimulator::HandleFrame(const std::vector<std::uint8_t>& bytes, int rate,
                                  OutputQueue& out) {
  ReceivedFrame record{bytes, rate, false, {}};
  ReplyPlan plan;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Every frame spends the budget, also one the module cannot hear at a foreign rate.
    if (model_.AdmitFrame() && rate == model_.Rate()) plan = model_.AnswerRtu(bytes);
    record.answered = plan.Answers();
    record.reply = plan.Bytes();
    RecordFrame(record);
  }
  if (observer_) observer_(record);

  Clock::time_point due = Clock::now();
  for (ReplyChunk& chunk : plan.chunks) {
    due += std::chrono::milliseconds(chunk.delayMs);
    out.items.push_back({due, std::move(chunk.bytes), 0, false});
  }
  if (!out.items.empty()) out.items.back().commitAfter = plan.commitAfterSending;
}

void ModuleSimulator::Serve() {
  const auto gap = std::chrono::milliseconds(kFrameGapMs);
  std::vector<std::uint8_t> frame;
  int frameRate = -1;
  Clock::time_point lastByte;
  OutputQueue out;
  bool hungUp = false;
  for (;;) {
    Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> wakeAt;
    if (!frame.empty()) wakeAt = lastByte + gap;
    if (!out.items.empty() && !out.blocked) {
      wakeAt = wakeAt ? std::min(*wakeAt, out.items.front().due) : out.items.front().due;
    }
    if (hungUp) {
      const Clock::time_point lookAgain = now + std::chrono::milliseconds(kHangUpPauseMs);
      wakeAt = wakeAt ? std::min(*wakeAt, lookAgain) : lookAgain;
    }
    int timeoutMs = -1;
    if (wakeAt) {
      timeoutMs = static_cast<int>(std::max<std::int64_t>(
          0, std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now).count()));
    }
    // A hung-up master sits this poll out (a negative descriptor is skipped): it would only
    // report the hang-up again at once.
    pollfd fds[2] = {
        {hungUp ? -1 : masterFd_, static_cast<short>(POLLIN | (out.blocked ? POLLOUT : 0)), 0},
        {wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const short events = fds[0].revents;
    if ((events & POLLNVAL) != 0) return;
    hungUp = false;
    if ((events & POLLIN) != 0) {
      // What the tool wrote before it closed the slave is still read: read fails (EIO) only
      // once nothing is left.
      std::uint8_t buffer[4096];
      ssize_t got;
      while ((got = read(masterFd_, buffer, sizeof buffer)) > 0) {
        // The slave keeps the tool's settings after it closes, so the rate is still the one the
        // frame was sent at.
        if (frame.empty()) frameRate = LineRate(masterFd_);
        frame.insert(frame.end(), buffer, buffer + got);
        lastByte = Clock::now();
      }
    } else if ((events & (POLLHUP | POLLERR)) != 0) {
      hungUp = true;
    }
    if ((events & POLLOUT) != 0) out.blocked = false;

    now = Clock::now();
    if (!frame.empty() && now - lastByte >= gap) {
      HandleFrame(frame, frameRate, out);
      frame.clear();
    }
    while (!out.blocked && !out.items.empty() && out.items.front().due <= now) {
      OutputQueue::Item& item = out.items.front();
      const ssize_t put =
          write(masterFd_, item.bytes.data() + item.sent, item.bytes.size() - item.sent);
      if (put < 0 && (errno == EAGAIN || errno == EINTR)) {
        out.blocked = errno == EAGAIN;
        continue;
      }
      if (put >= 0) item.sent += static_cast<std::size_t>(put);
      if (put < 0 || item.sent == item.bytes.size()) {
        if (item.commitAfter) {
          std::lock_guard<std::mutex> lock(mutex_);
          model_.Commit();
        }
        out.items.pop_front();
      }
    }
  }
}

}  // namespace modsim
