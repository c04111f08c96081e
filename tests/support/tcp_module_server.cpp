#include "tests/support/tcp_module_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>

namespace modsim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFunctionRead = 3;
constexpr int kFunctionWrite = 6;
constexpr int kIllegalFunction = 1;
constexpr std::size_t kHeaderSize = 6;  // transaction, protocol, length; the unit follows
constexpr std::size_t kRequestSize = 12;
constexpr std::size_t kSetAddressSize = 10;
// The length field of a request the module would take: unit, function and at most 252 bytes.
constexpr int kLongestLengthField = 254;

int Word(const std::vector<std::uint8_t>& frame, std::size_t offset) {
  return (frame[offset] << 8) | frame[offset + 1];
}

void PutWord(std::vector<std::uint8_t>& frame, std::size_t offset, int value) {
  frame[offset] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
  frame[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

// The request's header with the length of `pdu` (plus the unit), then the unit and the pdu.
std::vector<std::uint8_t> Framed(const std::vector<std::uint8_t>& request,
                                 const std::vector<std::uint8_t>& pdu) {
  std::vector<std::uint8_t> reply(kHeaderSize + 1 + pdu.size());
  std::copy(request.begin(), request.begin() + kHeaderSize + 1, reply.begin());
  PutWord(reply, 4, static_cast<int>(pdu.size() + 1));
  std::copy(pdu.begin(), pdu.end(), reply.begin() + kHeaderSize + 1);
  return reply;
}

std::vector<std::uint8_t> ExceptionPdu(std::uint8_t function, int code) {
  return {static_cast<std::uint8_t>(function | 0x80), static_cast<std::uint8_t>(code)};
}

std::vector<std::uint8_t> Oversized(const std::vector<std::uint8_t>& request, int total) {
  const int size = std::max(static_cast<int>(kHeaderSize + 3), total);
  std::vector<std::uint8_t> reply(request.begin(), request.begin() + kHeaderSize + 2);
  PutWord(reply, 4, size - static_cast<int>(kHeaderSize));
  reply.push_back(static_cast<std::uint8_t>((size - 9) & 0xFF));
  for (int k = 0; k < size - 9; ++k) reply.push_back(static_cast<std::uint8_t>(k));
  return reply;
}

}  // namespace

TcpAnswer AnswerTcp(ModuleModel& model, const std::vector<std::uint8_t>& request) {
  const std::size_t n = request.size();
  if (n < kHeaderSize + 2) return {};
  const std::uint8_t unit = request[6];
  const std::uint8_t function = request[7];
  if (!model.Addressed(unit)) return {};

  FrameKind kind = FrameKind::kAny;
  std::vector<std::uint8_t> pdu;
  bool write = false;
  bool setAddress = false;
  if (function == kFunctionRead) {
    if (n != kRequestSize) return {};
    kind = FrameKind::kRead;
    std::vector<std::uint16_t> values;
    const int code = model.ReadRegisters(Word(request, 8), Word(request, 10), &values);
    if (code != 0) {
      pdu = ExceptionPdu(function, code);
    } else {
      pdu = {function, static_cast<std::uint8_t>(2 * values.size())};
      for (std::uint16_t value : values) {
        pdu.push_back(static_cast<std::uint8_t>(value >> 8));
        pdu.push_back(static_cast<std::uint8_t>(value & 0xFF));
      }
    }
  } else if (function == kFunctionWrite) {
    if (n != kRequestSize) return {};
    kind = FrameKind::kWrite;
    std::vector<std::uint16_t> unused;
    // A write is answered with its own pdu, or the exception a read of the register would give.
    const int code = model.ReadRegisters(Word(request, 8), 1, &unused);
    if (code != 0) {
      pdu = ExceptionPdu(function, code);
    } else {
      pdu.assign(request.begin() + 7, request.end());
      write = true;
    }
  } else if (function == kSet70Function && n == kSetAddressSize &&
             request[8] == kSetAddressSubCode) {
    kind = FrameKind::kSetAddress;
    pdu = {function, kSet70Ack};
    setAddress = true;
  } else {
    pdu = ExceptionPdu(function, kIllegalFunction);
  }
  std::vector<std::uint8_t> reply = Framed(request, pdu);

  TcpAnswer answer;
  int delayMs = 0;
  std::optional<std::size_t> splitAt;
  int pauseMs = 0;
  if (const std::optional<Fault> fault = model.TakeFault(kind)) {
    switch (fault->type) {
      case Fault::Type::kSilent:
        return {};
      case Fault::Type::kClose:
        answer.close = true;
        return answer;
      case Fault::Type::kException:
        reply = Framed(request, ExceptionPdu(function, fault->value));
        write = false;
        setAddress = false;
        break;
      case Fault::Type::kBadCrc:
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
        reply = Oversized(request, fault->value);
        break;
      case Fault::Type::kAck:
        if (setAddress) reply[8] = static_cast<std::uint8_t>(fault->value);
        break;
      case Fault::Type::kWrongAddress:
        reply[6] = static_cast<std::uint8_t>(fault->value);
        break;
      case Fault::Type::kWrongFunction:
        reply[7] = static_cast<std::uint8_t>(fault->value);
        break;
      case Fault::Type::kWrongTransaction:
        PutWord(reply, 0, fault->value);
        break;
      case Fault::Type::kWrongProtocol:
        PutWord(reply, 2, fault->value);
        break;
    }
  }

  if (write) model.WriteRegister(Word(request, 8), static_cast<std::uint16_t>(Word(request, 10)));
  if (setAddress) model.WriteRegister(kRegModbusAddress - 1, request[9]);
  const auto cut = reply.begin() + static_cast<std::ptrdiff_t>(splitAt.value_or(reply.size()));
  if (cut != reply.begin()) {
    answer.plan.chunks.push_back({delayMs, {reply.begin(), cut}});
    delayMs = 0;
  }
  if (cut != reply.end()) answer.plan.chunks.push_back({delayMs + pauseMs, {cut, reply.end()}});
  if (setAddress && !answer.plan.Answers()) {
    model.Commit();
  } else {
    answer.plan.commitAfterSending = setAddress;
  }
  return answer;
}

struct TcpModuleServer::Connection {
  struct Item {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
    bool commitAfter = false;
  };

  int fd = -1;
  int index = 0;
  std::vector<std::uint8_t> input;
  std::deque<Item> output;
  bool blocked = false;
  bool closing = false;
};

TcpModuleServer::TcpModuleServer(const ModuleOptions& options) : model_(options) {}

TcpModuleServer::~TcpModuleServer() { Stop(); }

bool TcpModuleServer::Listen(const std::string& address, std::uint16_t port, std::string* error) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
    if (error != nullptr) *error = "not an IPv4 address: " + address;
    return false;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    if (error != nullptr) *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  // Connections of an earlier test on the same address may still be in TIME_WAIT.
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      listen(fd, 16) != 0) {
    permissionDenied_ = errno == EACCES;
    if (error != nullptr) {
      *error = "listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    }
    close(fd);
    return false;
  }
  listenFd_ = fd;
  address_ = address;
  port_ = port;
  return true;
}

bool TcpModuleServer::Start(std::string* error, int firstHost, std::uint16_t port) {
  for (int host = std::max(1, firstHost); host <= 254; ++host) {
    if (Listen("127.0.0." + std::to_string(host), port, error)) return Serving(error);
    if (permissionDenied_) return false;
  }
  return false;
}

bool TcpModuleServer::StartAt(const std::string& address, std::uint16_t port, std::string* error) {
  return Listen(address, port, error) && Serving(error);
}

bool TcpModuleServer::Serving(std::string* error) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    if (error != nullptr) *error = std::string("eventfd: ") + std::strerror(errno);
    Stop();
    return false;
  }
  thread_ = std::thread(&TcpModuleServer::Serve, this);
  return true;
}

void TcpModuleServer::Stop() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int* fd : {&wakeFd_, &listenFd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void TcpModuleServer::SetFrameObserver(std::function<void(const TcpFrame&)> observer) {
  observer_ = std::move(observer);
}

bool TcpModuleServer::SetRegister(int reg, std::uint16_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.SetRegister(reg, value);
}

std::optional<std::uint16_t> TcpModuleServer::Register(int reg) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.Register(reg);
}

int TcpModuleServer::ModbusAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.Address();
}

void TcpModuleServer::SetFault(FrameKind kind, const Fault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_.SetFault(kind, fault);
}

void TcpModuleServer::ClearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  model_.ClearFaults();
}

void TcpModuleServer::StopAfter(int frames, bool closeAfterwards) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_.StopAfter(frames);
  closeAfterStop_ = closeAfterwards;
}

int TcpModuleServer::ConnectionsAccepted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

bool TcpModuleServer::WaitForConnections(int count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return accepted_ >= count; });
}

int TcpModuleServer::ConnectionsClosedByPeer() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closedByPeer_;
}

bool TcpModuleServer::WaitForClosedByPeer(int count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return closedByPeer_ >= count; });
}

void TcpModuleServer::HandleFrame(Connection& connection, const std::vector<std::uint8_t>& bytes) {
  TcpFrame record{bytes, connection.index, Clock::now(), false, {}};
  TcpAnswer answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (model_.AdmitFrame()) {
      answer = AnswerTcp(model_, bytes);
    } else {
      answer.close = closeAfterStop_;
    }
    record.answered = answer.plan.Answers();
    record.reply = answer.plan.Bytes();
    RecordFrame(record);
  }
  if (observer_) observer_(record);
  if (answer.close) connection.closing = true;

  Clock::time_point due = Clock::now();
  for (ReplyChunk& chunk : answer.plan.chunks) {
    due += std::chrono::milliseconds(chunk.delayMs);
    connection.output.push_back({due, std::move(chunk.bytes), 0, false});
  }
  if (answer.plan.Answers()) connection.output.back().commitAfter = answer.plan.commitAfterSending;
}

void TcpModuleServer::Serve() {
  std::vector<std::unique_ptr<Connection>> connections;
  for (;;) {
    // Connections to drop: closed by the peer, broken, or closed by a fault.
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const std::unique_ptr<Connection>& c) {
                                       if (!c->closing) return false;
                                       close(c->fd);
                                       return true;
                                     }),
                      connections.end());

    const Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> wakeAt;
    for (const auto& c : connections) {
      if (c->output.empty() || c->blocked) continue;
      wakeAt = wakeAt ? std::min(*wakeAt, c->output.front().due) : c->output.front().due;
    }
    int timeoutMs = -1;
    if (wakeAt) {
      timeoutMs = static_cast<int>(std::max<std::int64_t>(
          0, std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now).count()));
    }
    std::vector<pollfd> fds = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
    for (const auto& c : connections) {
      fds.push_back({c->fd, static_cast<short>(POLLIN | (c->blocked ? POLLOUT : 0)), 0});
    }
    if (poll(fds.data(), fds.size(), timeoutMs) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if ((fds[1].revents & POLLIN) != 0) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        // Each reply chunk leaves as a segment of its own, so a split reply arrives split.
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          connection->index = accepted_++;
        }
        changed_.notify_all();
        connections.push_back(std::move(connection));
      }
    }

    for (std::size_t i = 0; i + 2 < fds.size() && i < connections.size(); ++i) {
      Connection& c = *connections[i];
      const short events = fds[i + 2].revents;
      if ((events & POLLOUT) != 0) c.blocked = false;
      if ((events & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      std::uint8_t buffer[4096];
      ssize_t got = 0;
      while ((got = recv(c.fd, buffer, sizeof buffer, 0)) > 0) {
        c.input.insert(c.input.end(), buffer, buffer + got);
      }
      const bool ended = got == 0 || (errno != EAGAIN && errno != EINTR);
      while (!c.closing && c.input.size() >= kHeaderSize) {
        const int length = Word(c.input, 4);
        if (length < 2 || length > kLongestLengthField) {
          // A stream that cannot be framed: a Modbus TCP server drops the connection.
          c.closing = true;
          break;
        }
        const std::size_t size = kHeaderSize + static_cast<std::size_t>(length);
        if (c.input.size() < size) break;
        const std::vector<std::uint8_t> frame(c.input.begin(),
                                              c.input.begin() + static_cast<std::ptrdiff_t>(size));
        c.input.erase(c.input.begin(), c.input.begin() + static_cast<std::ptrdiff_t>(size));
        HandleFrame(c, frame);
      }
      if (ended) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          ++closedByPeer_;
        }
        changed_.notify_all();
        c.closing = true;
      }
    }

    const Clock::time_point sendTime = Clock::now();
    for (const auto& connection : connections) {
      Connection& c = *connection;
      while (!c.closing && !c.blocked && !c.output.empty() && c.output.front().due <= sendTime) {
        Connection::Item& item = c.output.front();
        const ssize_t put =
            send(c.fd, item.bytes.data() + item.sent, item.bytes.size() - item.sent, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno == EAGAIN) {
          c.blocked = true;
          break;
        }
        if (put < 0) {
          c.closing = true;
          break;
        }
        item.sent += static_cast<std::size_t>(put);
        if (item.sent == item.bytes.size()) {
          if (item.commitAfter) {
            std::lock_guard<std::mutex> lock(mutex_);
            model_.Commit();
          }
          c.output.pop_front();
        }
      }
    }
  }
  for (const auto& c : connections) close(c->fd);
}

}  // namespace modsim
