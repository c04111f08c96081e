// The ICMP echo probe for real: on loopback, and between two network namespaces that the test
// makes, where the kernel's own echo replies are switched off and a responder of the test answers
// (or does not) as each case needs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devlink/net.h"
#include "tests/support/net_namespace.h"
#include "tests/support/process_runner.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::NetNamespace;

constexpr char kProbeAddress[] = "10.201.0.1";
constexpr char kTarget[] = "10.201.0.2";
constexpr std::size_t kLongMessageSize = 1400;

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The receiver's check of RFC 1071, written apart from the probe's own: 0 when the sum is right.
unsigned Check(const std::uint8_t* message, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) sum += (message[i] << 8) | message[i + 1];
  if (length % 2 != 0) sum += message[length - 1] << 8;
  while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return ~sum & 0xFFFF;
}

void Seal(std::vector<std::uint8_t>& message) {
  message[2] = 0;
  message[3] = 0;
  const unsigned sum = Check(message.data(), message.size());
  message[2] = static_cast<std::uint8_t>(sum >> 8);
  message[3] = static_cast<std::uint8_t>(sum & 0xFF);
}

struct SeenRequest {
  std::vector<std::uint8_t> message;  // the ICMP message, without the IPv4 header
  Clock::time_point at;
  int LowFirst(std::size_t offset) const { return message[offset] | (message[offset + 1] << 8); }
  int Identifier() const { return LowFirst(4); }
  int Sequence() const { return LowFirst(6); }
  std::uint32_t Stamp() const {
    return static_cast<std::uint32_t>(LowFirst(8)) | static_cast<std::uint32_t>(LowFirst(10)) << 16;
  }
};

// Plays the host at the target address with a raw ICMP socket inside its namespace.
class EchoResponder {
 public:
  enum class Mode {
    kSilent,
    kAnswer,
    kOtherIdentifierFirst,  // the reply to sequence 0 carries another identifier
    kLateFirst,             // only sequence 0 is answered, 1300 ms late
    kWithOptions,           // answers in datagrams whose IPv4 header carries options
    // Before each reply, an echo reply of 1400 bytes with the request's identifier and sequence:
    // longer than the probe's receive buffer, and what a cut-short copy would take for the reply.
    kLongFirst,
  };

  ~EchoResponder() { Stop(); }

  bool Start(const NetNamespace& ns, Mode mode, std::string* error) {
    mode_ = mode;
    std::future<std::string> outcome = opened_.get_future();
    thread_ = std::thread([this, &ns] {
      std::promise<std::string>& opened = opened_;
      if (!ns.EnterOnThisThread()) return opened.set_value("setns failed");
      fd_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
      if (fd_ < 0) return opened.set_value(std::string("raw socket: ") + std::strerror(errno));
      if (mode_ == Mode::kWithOptions) {
        const std::uint8_t options[] = {IPOPT_NOP, IPOPT_NOP, IPOPT_NOP, IPOPT_END};
        if (setsockopt(fd_, IPPROTO_IP, IP_OPTIONS, options, sizeof options) != 0) {
          return opened.set_value(std::string("IP_OPTIONS: ") + std::strerror(errno));
        }
      }
      opened.set_value("");
      Serve();
    });
    *error = outcome.get();
    return error->empty();
  }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  std::vector<SeenRequest> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  struct Pending {
    Clock::time_point due;
    std::vector<std::uint8_t> reply;
    sockaddr_in to;
  };

  void Serve() {
    std::vector<Pending> pending;
    while (!stop_) {
      pollfd entry{fd_, POLLIN, 0};
      if (poll(&entry, 1, 10) > 0) Receive(&pending);
      for (auto it = pending.begin(); it != pending.end();) {
        if (it->due > Clock::now()) {
          ++it;
          continue;
        }
        sendto(fd_, it->reply.data(), it->reply.size(), 0, reinterpret_cast<sockaddr*>(&it->to),
               sizeof it->to);
        it = pending.erase(it);
      }
    }
  }

  void Receive(std::vector<Pending>* pending) {
    std::uint8_t datagram[2048];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(fd_, datagram, sizeof datagram, 0,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 20) return;
    const std::size_t header = static_cast<std::size_t>(datagram[0] & 0x0F) * 4;
    if (static_cast<std::size_t>(n) < header + 8 || datagram[header] != 8) return;
    SeenRequest seen{{datagram + header, datagram + n}, Clock::now()};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(seen);
    }
    std::vector<std::uint8_t> reply = seen.message;
    reply[0] = 0;
    Clock::time_point due = Clock::now();
    switch (mode_) {
      case Mode::kSilent:
        return;
      case Mode::kOtherIdentifierFirst:
        if (seen.Sequence() == 0) reply[4] ^= 0xFF;
        break;
      case Mode::kLateFirst:
        if (seen.Sequence() != 0) return;
        due += std::chrono::milliseconds(1300);
        break;
      case Mode::kLongFirst: {
        std::vector<std::uint8_t> longer = reply;
        longer.resize(kLongMessageSize, 0x4C);
        Seal(longer);
        pending->push_back({due, longer, from});
        break;
      }
      case Mode::kAnswer:
      case Mode::kWithOptions:
        break;
    }
    Seal(reply);
    pending->push_back({due, reply, from});
  }

  Mode mode_ = Mode::kSilent;
  std::promise<std::string> opened_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<SeenRequest> requests_;
};

TEST(EchoProbe, LoopbackAnswersAtOnce) {
  const Clock::time_point start = Clock::now();
  const int result = PingHost("127.0.0.1", 3);
  if (result == platform::kWsaAccessDenied) {
    GTEST_SKIP() << "neither a raw ICMP socket nor a ping socket is allowed to this process";
  }
  EXPECT_EQ(result, 0);
  EXPECT_LT(MsSince(start), 500);
}

// A probe namespace and a target namespace joined by a veth pair; the target's kernel does not
// answer echo requests.
class EchoProbeBetweenNamespaces : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!NetNamespace::Available(&why)) GTEST_SKIP() << why;
    ASSERT_TRUE(probeNs_.Create(&why)) << why;
    ASSERT_TRUE(targetNs_.Create(&why)) << why;
    ASSERT_TRUE(testsupport::AddVethPair(probeNs_, "mxp0", targetNs_, "mxt0", &why)) << why;
    ASSERT_TRUE(
        probeNs_.Ip({"addr", "add", std::string(kProbeAddress) + "/24", "dev", "mxp0"}, &why))
        << why;
    ASSERT_TRUE(targetNs_.Ip({"addr", "add", std::string(kTarget) + "/24", "dev", "mxt0"}, &why))
        << why;
    ASSERT_TRUE(targetNs_.Sysctl("net.ipv4.icmp_echo_ignore_all", "1", &why)) << why;
  }

  void StartResponder(EchoResponder::Mode mode) {
    std::string error;
    ASSERT_TRUE(responder_.Start(targetNs_, mode, &error)) << error;
  }

  int Ping(int attempts) {
    return testsupport::RunInNamespace<int>(probeNs_,
                                            [attempts] { return PingHost(kTarget, attempts); });
  }

  static int OwnIdentifier() { return getpid() & 0xFFFF; }

  // net_probe in the probe namespace, with CAP_NET_RAW dropped or kept.
  testsupport::RunResult RunNetProbe(const std::vector<std::string>& args, bool withoutRaw) {
    std::vector<std::string> argv;
    if (withoutRaw) {
      argv = {"setpriv", "--inh-caps=-net_raw", "--bounding-set=-net_raw", "--"};
    }
    argv.push_back(MX40R_NET_PROBE_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return probeNs_.Run(argv);
  }

  void AdmitEveryGroupToPingSockets() {
    std::string why;
    ASSERT_TRUE(probeNs_.Sysctl("net.ipv4.ping_group_range", "0 2147483647", &why)) << why;
  }

  NetNamespace probeNs_{"probe"};
  NetNamespace targetNs_{"target"};
  EchoResponder responder_;
};

TEST_F(EchoProbeBetweenNamespaces, NoAnswerAfterAttemptsPlusOneRequests) {
  StartResponder(EchoResponder::Mode::kSilent);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Ping(3), platform::kWsaTimedOut);
  const long elapsed = MsSince(start);
  EXPECT_GE(elapsed, 4000);
  EXPECT_LT(elapsed, 5000);
  const std::vector<SeenRequest> seen = responder_.Requests();
  ASSERT_EQ(seen.size(), 4u);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const SeenRequest& r = seen[i];
    EXPECT_EQ(r.Sequence(), static_cast<int>(i));
    EXPECT_EQ(r.Identifier(), OwnIdentifier());
    ASSERT_EQ(r.message.size(), 44u);
    EXPECT_EQ(r.message[1], 0) << "code";
    EXPECT_EQ(Check(r.message.data(), r.message.size()), 0u) << "checksum of attempt " << i;
    for (std::size_t k = 12; k < 44; ++k) ASSERT_EQ(r.message[k], 0x45) << k;
    if (i > 0) {
      // A fresh time stamp per attempt, one receive time-out and the 1 ms pause apart.
      const std::uint32_t step = r.Stamp() - seen[i - 1].Stamp();
      EXPECT_GE(step, 995u);
      EXPECT_LT(step, 1200u);
    }
  }
}

TEST_F(EchoProbeBetweenNamespaces, AttemptsZeroSendsOneRequest) {
  StartResponder(EchoResponder::Mode::kSilent);
  EXPECT_EQ(Ping(0), platform::kWsaTimedOut);
  const std::vector<SeenRequest> seen = responder_.Requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].Sequence(), 0);
}

TEST_F(EchoProbeBetweenNamespaces, NegativeAttemptsSendNothing) {
  StartResponder(EchoResponder::Mode::kAnswer);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Ping(-1), platform::kWsaTimedOut);
  EXPECT_LT(MsSince(start), 300);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(responder_.Requests().empty());
}

TEST_F(EchoProbeBetweenNamespaces, AnswerEndsTheProbeAtOnce) {
  StartResponder(EchoResponder::Mode::kAnswer);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Ping(3), 0);
  EXPECT_LT(MsSince(start), 500);
  EXPECT_EQ(responder_.Requests().size(), 1u);
}

TEST_F(EchoProbeBetweenNamespaces, ReplyWithAnotherIdentifierIsSkipped) {
  StartResponder(EchoResponder::Mode::kOtherIdentifierFirst);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Ping(3), 0);
  EXPECT_GE(MsSince(start), 1000) << "the first attempt waited out its receive time-out";
  const std::vector<SeenRequest> seen = responder_.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].Sequence(), 1);
}

TEST_F(EchoProbeBetweenNamespaces, LateReplyToTheFirstAttemptCountsInTheSecond) {
  StartResponder(EchoResponder::Mode::kLateFirst);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(Ping(3), 0);
  const long elapsed = MsSince(start);
  EXPECT_GE(elapsed, 1250);
  EXPECT_LT(elapsed, 2000);
  const std::vector<SeenRequest> seen = responder_.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].Sequence(), 0);
  EXPECT_EQ(seen[1].Sequence(), 1);
}

TEST_F(EchoProbeBetweenNamespaces, ReplyBehindIpOptionsIsReadAfterThem) {
  StartResponder(EchoResponder::Mode::kWithOptions);
  struct Outcome {
    int result = -1;
    int firstByte = -1;  // of the reply as a raw socket beside the probe saw it
  };
  const Outcome outcome = testsupport::RunInNamespace<Outcome>(probeNs_, [] {
    Outcome o;
    const int watcher = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    o.result = PingHost(kTarget, 3);
    std::uint8_t datagram[1024];
    if (watcher >= 0 && recv(watcher, datagram, sizeof datagram, MSG_DONTWAIT) > 0) {
      o.firstByte = datagram[0];
    }
    if (watcher >= 0) close(watcher);
    return o;
  });
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.firstByte, 0x46) << "the reply's header is 24 bytes long";
  EXPECT_EQ(responder_.Requests().size(), 1u);
}

// What `net_probe exchange` printed.
struct Exchange {
  struct Receive {
    int error = 0;
    std::vector<std::uint8_t> datagram;
  };
  bool rawAllowed = false;
  std::vector<std::uint8_t> request;
  int identifier = -1;  // the socket's port after the send
  std::vector<Receive> receives;
};

std::vector<std::uint8_t> BytesOf(std::istringstream& words) {
  std::vector<std::uint8_t> bytes;
  std::string word;
  while (words >> word) bytes.push_back(static_cast<std::uint8_t>(std::stoi(word, nullptr, 16)));
  return bytes;
}

Exchange ParseExchange(const std::string& out) {
  Exchange exchange;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string label;
    words >> label;
    if (line == "raw allowed") exchange.rawAllowed = true;
    if (label == "request") exchange.request = BytesOf(words);
    if (label == "identifier") words >> exchange.identifier;
    if (label == "error") {
      exchange.receives.emplace_back();
      words >> exchange.receives.back().error;
    }
    if (label == "datagram") exchange.receives.push_back({0, BytesOf(words)});
  }
  return exchange;
}

// The echo reply to `request` as a raw socket delivers it: a 20-byte IPv4 header from `source`,
// then the request's bytes as type 0 with a checksum a receiver accepts.
void ExpectReplyTo(const std::vector<std::uint8_t>& request, const std::vector<std::uint8_t>& d,
                   const std::uint8_t (&source)[4]) {
  ASSERT_EQ(request.size(), 44u);
  ASSERT_EQ(d.size(), 64u);
  EXPECT_EQ(d[0], 0x45);
  EXPECT_EQ((d[2] << 8) | d[3], 64) << "total length";
  EXPECT_EQ(d[9], IPPROTO_ICMP);
  EXPECT_EQ(std::vector<std::uint8_t>(d.begin() + 12, d.begin() + 16),
            std::vector<std::uint8_t>(source, source + 4));
  const std::vector<std::uint8_t> message(d.begin() + 20, d.end());
  EXPECT_EQ(message[0], 0) << "type";
  EXPECT_EQ(message[1], 0) << "code";
  EXPECT_EQ(Check(message.data(), message.size()), 0u) << "checksum";
  for (std::size_t k = 4; k < 44; ++k) ASSERT_EQ(message[k], request[k]) << "byte " << k;
}

constexpr std::uint8_t kLoopbackSource[4] = {127, 0, 0, 1};
constexpr std::uint8_t kTargetSource[4] = {10, 201, 0, 2};

// A long datagram ahead of the reply, seen by the socket layer and by the probe, on a raw socket
// and on a ping socket.
TEST_F(EchoProbeBetweenNamespaces, LongDatagramBeforeTheReplyIsPassedOver) {
  AdmitEveryGroupToPingSockets();
  StartResponder(EchoResponder::Mode::kLongFirst);
  for (const bool withoutRaw : {false, true}) {
    SCOPED_TRACE(withoutRaw ? "ping socket" : "raw socket");
    const testsupport::RunResult exchangeRun =
        RunNetProbe({"exchange", kTarget, "0x1234", "-"}, withoutRaw);
    ASSERT_EQ(exchangeRun.exitStatus, 0) << exchangeRun.out << exchangeRun.err;
    const Exchange exchange = ParseExchange(exchangeRun.out);
    EXPECT_EQ(exchange.rawAllowed, !withoutRaw);
    ASSERT_EQ(exchange.receives.size(), 2u) << exchangeRun.out;
    EXPECT_EQ(exchange.receives[0].error, platform::kWsaMessageSize);
    ExpectReplyTo(exchange.request, exchange.receives[1].datagram, kTargetSource);

    const std::size_t requestsBefore = responder_.Requests().size();
    const Clock::time_point start = Clock::now();
    const testsupport::RunResult ping = RunNetProbe({"ping", kTarget, "3"}, withoutRaw);
    EXPECT_NE(ping.out.find("result 0\n"), std::string::npos) << ping.out << ping.err;
    EXPECT_LT(MsSince(start), 900) << "answered in the first attempt";
    EXPECT_EQ(responder_.Requests().size(), requestsBefore + 1);
  }
}

// The probe in a process of its own without CAP_NET_RAW: the ping-socket path.
class EchoProbeWithoutRawSockets : public EchoProbeBetweenNamespaces {
 protected:
  testsupport::RunResult RunUnprivileged(int attempts) {
    return RunNetProbe({"ping", kTarget, std::to_string(attempts)}, true);
  }
};

// The kernel puts the ping socket's own identifier in every request; the probe still takes the
// reply for its own.
TEST_F(EchoProbeWithoutRawSockets, PingSocketKeepsTheIdentifier) {
  AdmitEveryGroupToPingSockets();
  StartResponder(EchoResponder::Mode::kOtherIdentifierFirst);
  const testsupport::RunResult run = RunUnprivileged(3);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const std::string pidLine = run.out.substr(run.out.find("pid ") + 4);
  const int pid = std::stoi(pidLine);
  EXPECT_EQ(run.out, "raw refused\npid " + std::to_string(pid) + "\nresult 0\n");
  const std::vector<SeenRequest> seen = responder_.Requests();
  ASSERT_EQ(seen.size(), 2u) << "the reply with another identifier never reached the probe";
  for (const SeenRequest& r : seen) {
    EXPECT_EQ(r.Identifier(), seen[0].Identifier()) << "one socket, one identifier";
    EXPECT_EQ(Check(r.message.data(), r.message.size()), 0u);
  }
  EXPECT_EQ(seen[1].Sequence(), 1);
}

// Whatever identifier the socket has, the reply is handed back with the request's, its checksum
// made right; identifier 0 is what a process whose id is a multiple of 65536 sends.
TEST_F(EchoProbeWithoutRawSockets, ReplyCarriesTheRequestsIdentifier) {
  AdmitEveryGroupToPingSockets();
  struct Case {
    const char* identifier;
    const char* bind;  // the socket's identifier, bound before the first send; "-": the kernel's
  };
  const Case cases[] = {
      {"0x0000", "-"},
      {"0x0000", "0x4D58"},
      {"0x1234", "0x4D58"},
      {"0xFFFF", "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.identifier) + ", bound to " + c.bind);
    const testsupport::RunResult run =
        RunNetProbe({"exchange", "127.0.0.1", c.identifier, c.bind}, true);
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    const Exchange exchange = ParseExchange(run.out);
    EXPECT_FALSE(exchange.rawAllowed);
    ASSERT_EQ(exchange.request.size(), 44u) << run.out;
    // The identifier as the kernel reads the request's bytes, in network order.
    const int asSent = (exchange.request[4] << 8) | exchange.request[5];
    if (std::string(c.bind) != "-") {
      EXPECT_EQ(exchange.identifier, std::stoi(c.bind, nullptr, 16));
      EXPECT_NE(exchange.identifier, asSent);
    }
    ASSERT_EQ(exchange.receives.size(), 1u) << run.out;
    ExpectReplyTo(exchange.request, exchange.receives[0].datagram, kLoopbackSource);
  }
}

TEST_F(EchoProbeWithoutRawSockets, NoAnswerTimesOutTheSameWay) {
  std::string why;
  ASSERT_TRUE(probeNs_.Sysctl("net.ipv4.ping_group_range", "0 2147483647", &why)) << why;
  StartResponder(EchoResponder::Mode::kSilent);
  const testsupport::RunResult run = RunUnprivileged(1);
  EXPECT_NE(run.out.find("result 10060\n"), std::string::npos) << run.out << run.err;
  EXPECT_EQ(responder_.Requests().size(), 2u);
}

TEST_F(EchoProbeWithoutRawSockets, GroupNotAdmittedIsRefusedBeforeAnySend) {
  std::string why;
  ASSERT_TRUE(probeNs_.Sysctl("net.ipv4.ping_group_range", "1 0", &why)) << why;
  StartResponder(EchoResponder::Mode::kAnswer);
  const testsupport::RunResult run = RunUnprivileged(3);
  EXPECT_NE(run.out.find("result 10013\n"), std::string::npos) << run.out << run.err;
  EXPECT_TRUE(responder_.Requests().empty());
}

TEST(EchoProbeLookup, UnresolvableNameReturnsTheLookupError) {
  std::string why;
  if (!NetNamespace::Available(&why)) GTEST_SKIP() << why;
  NetNamespace ns("lookup");
  ASSERT_TRUE(ns.Create(&why)) << why;
  const int result =
      testsupport::RunInNamespace<int>(ns, [] { return PingHost("no-such-module.invalid", 3); });
  EXPECT_NE(result, 0);
  EXPECT_NE(result, platform::kWsaTimedOut);
}

TEST(EchoProbeLookup, HostNameIsLookedUp) {
  const int result = PingHost("localhost", 0);
  if (result == platform::kWsaAccessDenied) GTEST_SKIP() << "no ICMP socket for this process";
  EXPECT_EQ(result, 0);
}

}  // namespace
