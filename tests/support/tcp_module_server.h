// The module on Modbus over TCP: a ModuleModel served on 127.0.0.N port 502 in a background
// thread, so that the network commands can be driven end to end without hardware. Each test takes
// an address of its own (the first free one from a starting point), so tests run in parallel.
//
// The module answers unit 254 and its own address: function 3 reads, function 6 writes, and the
// 10-byte function-70 address change (sub-code 11), acknowledged with 'A' at offset 8 and applied
// once the acknowledgement is sent. On TCP the faults of ModuleModel mean: kSilent no reply,
// kException(code), kShort(n) the first n bytes, kSplit(n, ms) two segments, kLate(ms),
// kOversized(n) a read reply of exactly n bytes (byte count n - 9, data byte k = k mod 256),
// kAck(b) byte 8 of the acknowledgement, kWrongAddress(u) the unit identifier, kWrongFunction(f),
// kWrongTransaction(t), kWrongProtocol(p), kClose: the connection closed instead of a reply.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/frame_log.h"
#include "tests/support/module_simulator.h"

namespace modsim {

inline constexpr std::uint16_t kModbusTcpPort = 502;
inline constexpr int kSetAddressSubCode = 11;

// What the module does with one TCP request: the plan of its reply, or closing the connection.
struct TcpAnswer {
  ReplyPlan plan;
  bool close = false;
};

// Ignored (empty plan): another unit, a read or write that is not 12 bytes. Function 70 answers
// only the 10-byte address change; any other function, or other function-70 frame, gets
// exception 1.
TcpAnswer AnswerTcp(ModuleModel& model, const std::vector<std::uint8_t>& request);

struct TcpFrame {
  std::vector<std::uint8_t> bytes;
  int connection = 0;  // 0 for the first connection accepted, 1 for the next, ...
  std::chrono::steady_clock::time_point receivedAt;
  bool answered = false;
  std::vector<std::uint8_t> reply;  // every byte sent (or to be sent) in answer
};

class TcpModuleServer : public FrameLog<TcpFrame> {
 public:
  explicit TcpModuleServer(const ModuleOptions& options = {});
  ~TcpModuleServer();
  TcpModuleServer(const TcpModuleServer&) = delete;
  TcpModuleServer& operator=(const TcpModuleServer&) = delete;

  // Listens on the first of 127.0.0.firstHost to 127.0.0.254 that no one else listens on, and
  // starts serving. On failure returns false with the reason in `error`.
  bool Start(std::string* error = nullptr, int firstHost = 2, std::uint16_t port = kModbusTcpPort);
  // Listens on exactly this IPv4 address.
  bool StartAt(const std::string& address, std::uint16_t port, std::string* error = nullptr);
  // Stops the thread and closes every socket. Called by the destructor.
  void Stop();
  // True when the last Start failed because the port is privileged and the process is not.
  bool PermissionDenied() const { return permissionDenied_; }

  const std::string& Address() const { return address_; }
  std::uint16_t Port() const { return port_; }

  // Called on the server's thread for every frame, after it is recorded. Set before Start.
  void SetFrameObserver(std::function<void(const TcpFrame&)> observer);

  bool SetRegister(int reg, std::uint16_t value);
  std::optional<std::uint16_t> Register(int reg) const;
  int ModbusAddress() const;
  void SetFault(FrameKind kind, const Fault& fault);
  void ClearFaults();
  // Answer only the first `frames` requests; after them the module is silent, or with
  // `closeAfterwards` closes each connection that sends one more.
  void StopAfter(int frames, bool closeAfterwards = false);

  int ConnectionsAccepted() const;
  bool WaitForConnections(int count, int timeoutMs) const;
  // Connections that the client has closed (the server read its end of the stream).
  int ConnectionsClosedByPeer() const;
  bool WaitForClosedByPeer(int count, int timeoutMs) const;

 private:
  struct Connection;

  bool Listen(const std::string& address, std::uint16_t port, std::string* error);
  bool Serving(std::string* error);
  void Serve();
  void HandleFrame(Connection& connection, const std::vector<std::uint8_t>& bytes);

  std::string address_;
  std::uint16_t port_ = 0;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  bool permissionDenied_ = false;
  std::thread thread_;
  std::function<void(const TcpFrame&)> observer_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  ModuleModel model_;
  bool closeAfterStop_ = false;
  int accepted_ = 0;
  int closedByPeer_ = 0;
};

// An address in 127.0.1.0/24 that no test listens on: a connection to its port 502 is refused.
inline constexpr char kNoModuleAddress[] = "127.0.1.1";

}  // namespace modsim
