#include "scripted_sockets.h"

#include <cstring>

#include "hex_text.h"
#include "platform/clock.h"

ScriptedSockets g_net;

namespace {

constexpr platform::Socket kIcmpSocket = 7;
constexpr platform::Socket kStreamSocket = 8;

void Record(const std::string& call) { g_net.calls.push_back(call); }

std::string AddressText(std::uint32_t address) {
  std::uint8_t bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

std::vector<std::uint8_t> ReplyTo(const std::vector<std::uint8_t>& request) {
  std::vector<std::uint8_t> datagram(20, 0);
  datagram[0] = 0x45;
  datagram[9] = 1;
  datagram.insert(datagram.end(), request.begin(), request.end());
  datagram[20] = 0;
  return datagram;
}

}  // namespace

namespace platform {

int SocketsStartup(std::uint16_t) { return 0; }
int SocketsCleanup() { return 0; }
int SocketsLastError() { return g_net.lastError; }
void SocketsSetLastError(int error) { g_net.lastError = error; }

std::uint32_t InetAddr(const char* text) {
  Record(std::string("inet_addr ") + text);
  return g_net.inetAddress;
}

std::uint16_t HostToNetwork16(std::uint16_t value) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value & 0xFF)};
  std::uint16_t inNetworkOrder = 0;
  std::memcpy(&inNetworkOrder, bytes, sizeof bytes);
  return inNetworkOrder;
}

bool GetHostByName(const char* name, HostEntry& entry) {
  Record(std::string("lookup ") + name);
  if (!g_net.lookupResolves) {
    g_net.lastError = g_net.lookupError;
    return false;
  }
  entry = g_net.lookupEntry;
  return true;
}

Socket SocketOpenStream() {
  Record("open stream");
  return kStreamSocket;
}

Socket SocketOpenIcmp() {
  Record("open icmp");
  return kIcmpSocket;
}

int SocketSetReceiveTimeout(Socket, std::uint32_t milliseconds) {
  Record("rcvtimeo " + std::to_string(milliseconds));
  return 0;
}

int SocketSetSendTimeout(Socket, std::uint32_t milliseconds) {
  Record("sndtimeo " + std::to_string(milliseconds));
  return 0;
}

int SocketConnect(Socket, const InetSocketAddress& address) {
  Record("connect " + AddressText(address.address));
  return 0;
}

int SocketSendTo(Socket, const std::uint8_t* data, int length,
                 const InetSocketAddress& destination) {
  const std::string head =
      length >= 8 ? " id " + Hex(data + 4, 2) + " seq " + Hex(data + 6, 2) : "";
  Record("sendto " + AddressText(destination.address) + head);
  g_net.lastRequest.assign(data, data + length);
  if (g_net.sendCount++ == g_net.answerOnSend) {
    ReceiveStep reply;
    reply.replyToLastRequest = true;
    g_net.receives.push_back(reply);
  }
  return length;
}

int SocketReceiveFrom(Socket, std::uint8_t* buffer, int capacity, InetSocketAddress* source) {
  Record("recvfrom " + std::to_string(capacity));
  if (g_net.receives.empty()) {
    g_net.lastError = kWsaTimedOut;
    return kSocketError;
  }
  const ReceiveStep step = g_net.receives.front();
  g_net.receives.pop_front();
  g_net.now += step.secondsPassing;
  if (step.error != 0) {
    g_net.lastError = step.error;
    return kSocketError;
  }
  const std::vector<std::uint8_t> datagram =
      step.replyToLastRequest ? ReplyTo(g_net.lastRequest) : step.datagram;
  const int size = static_cast<int>(datagram.size());
  std::memcpy(buffer, datagram.data(), static_cast<std::size_t>(size < capacity ? size : capacity));
  if (source != nullptr) *source = InetSocketAddress{};
  if (size > capacity) {
    g_net.lastError = kWsaMessageSize;
    return kSocketError;
  }
  return size;
}

int SocketShutdown(Socket, int how) {
  Record("shutdown " + std::to_string(how));
  return 0;
}

int SocketClose(Socket) {
  Record("close");
  return 0;
}

void SleepMs(std::uint32_t milliseconds) { Record("sleep " + std::to_string(milliseconds)); }
std::uint32_t TickCountMs() { return 0x01020304u; }
std::uint32_t CurrentProcessId() { return g_net.processId; }
std::int64_t CalendarTimeSeconds() { return g_net.now; }

}  // namespace platform
