#include "devlink/net.h"

#include <cstring>
#include <iostream>

#include "platform/adapters.h"
#include "platform/clock.h"

namespace {

constexpr std::uint16_t kAddressFamilyInet = platform::kAddressFamilyInet;
constexpr std::uint32_t kEchoTimeoutMs = 1000;
constexpr std::uint8_t kEchoRequestType = 8;
constexpr std::uint8_t kEchoReplyType = 0;
constexpr std::uint8_t kEchoFill = 0x45;

void PutLowFirst16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value & 0xFF);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

void ReportConnectFailure(bool report) {
  if (report) std::cout << "Error: Failed to connect to host." << std::endl;
}

// The identifier of this process's echo requests.
std::uint16_t EchoIdentifier() {
  return static_cast<std::uint16_t>(platform::CurrentProcessId() & 0xFFFF);
}

int CloseAndReturn(platform::Socket socket, int result) {
  platform::SocketClose(socket);
  return result;
}

// inet_addr first, the host lookup only for text that is no address. An entry without an address
// is a failed lookup: there is nothing to send to.
bool ResolveDestination(const std::string& host, platform::InetSocketAddress* destination) {
  destination->family = kAddressFamilyInet;
  destination->address = platform::InetAddr(host.c_str());
  if (destination->address != platform::kInaddrNone) return true;
  platform::HostEntry entry;
  if (!platform::GetHostByName(host.c_str(), entry)) return false;
  if (entry.addressCount <= 0) {
    platform::SocketsSetLastError(platform::kWsaNoData);
    return false;
  }
  const int length = entry.addressLength < 4 ? entry.addressLength : 4;
  std::memcpy(&destination->address, entry.firstAddress, static_cast<std::size_t>(length));
  destination->family = static_cast<std::uint16_t>(entry.addressType);
  return true;
}

}  // namespace

int StartNetworking() { return platform::SocketsStartup(0x0202); }

int StopNetworking() {
  if (platform::SocketsCleanup() == platform::kSocketError) return platform::SocketsLastError();
  return 0;
}

int ConnectTcp(platform::Socket& socket, const std::string& host, std::uint16_t port, bool report) {
  platform::InetSocketAddress address;
  address.port = platform::HostToNetwork16(port);
  if (!ResolveDestination(host, &address)) {
    const int error = platform::SocketsLastError();
    ReportConnectFailure(report);
    return error;
  }
  socket = platform::SocketOpenStream();
  if (socket == platform::kInvalidSocket) {
    const int error = platform::SocketsLastError();
    ReportConnectFailure(report);
    return error;
  }
  if (platform::SocketConnect(socket, address) == platform::kSocketError) {
    const int error = platform::SocketsLastError();
    ReportConnectFailure(report);
    return error;
  }
  return 0;
}

int CloseSocket(platform::Socket& socket) {
  platform::SocketShutdown(socket, platform::kShutdownSend);
  if (platform::SocketClose(socket) == platform::kSocketError) {
    return platform::SocketsLastError();
  }
  socket = platform::kInvalidSocket;
  return 0;
}

int ListIpAddresses(std::vector<std::string>& addresses) {
  std::uint32_t size = 0;
  const std::uint32_t query = platform::QueryAdapterTable(nullptr, &size);
  if (query != 0 && query != platform::kErrorBufferOverflow) return 1;
  void* block = platform::AllocateZeroedBlock(size);
  if (block == nullptr) return 2;
  auto* table = static_cast<platform::AdapterRecord*>(block);
  const std::uint32_t result = platform::QueryAdapterTable(table, &size);
  if (result != 0) {
    platform::FreeBlock(block);
    return static_cast<int>(result);
  }
  for (const platform::AdapterRecord* adapter = table; adapter != nullptr;
       adapter = platform::NextAdapter(adapter)) {
    if (platform::AdapterType(adapter) != platform::kAdapterTypeEthernet) continue;
    for (const platform::AdapterAddressEntry* entry = platform::FirstAdapterAddress(adapter);
         entry != nullptr; entry = platform::NextAdapterAddress(entry)) {
      const char* text = platform::AdapterAddressText(entry);
      if (std::strcmp(text, "0.0.0.0") != 0) addresses.emplace_back(text);
    }
  }
  platform::FreeBlock(block);
  return 0;
}

std::uint16_t InternetChecksum(const std::uint8_t* data, int length) {
  std::uint32_t sum = 0;
  int i = 0;
  // Words are taken in memory order, so the result goes back into memory the same way.
  for (; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(data[i] | (data[i + 1] << 8));
  if (i < length) sum += data[i];
  while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

void BuildEchoRequest(std::uint16_t identifier, std::uint16_t sequence, std::uint32_t timeStamp,
                      std::uint8_t (&request)[kEchoRequestSize]) {
  request[0] = kEchoRequestType;
  request[1] = 0;
  PutLowFirst16(request + 2, 0);
  PutLowFirst16(request + 4, identifier);
  PutLowFirst16(request + 6, sequence);
  PutLowFirst16(request + 8, static_cast<std::uint16_t>(timeStamp & 0xFFFF));
  PutLowFirst16(request + 10, static_cast<std::uint16_t>(timeStamp >> 16));
  std::memset(request + 12, kEchoFill, kEchoRequestSize - 12);
  PutLowFirst16(request + 2, InternetChecksum(request, kEchoRequestSize));
}

bool IsEchoReplyFor(const std::uint8_t* datagram, int length, std::uint16_t identifier) {
  if (length < 1) return false;
  const int headerLength = (datagram[0] & 0x0F) * 4;
  if (length < headerLength + 6) return false;
  const std::uint8_t* message = datagram + headerLength;
  return message[0] == kEchoReplyType && message[4] == (identifier & 0xFF) &&
         message[5] == (identifier >> 8);
}

int PingHost(const std::string& host, int attempts) {
  const platform::Socket socket = platform::SocketOpenIcmp();
  if (socket == platform::kInvalidSocket) return platform::SocketsLastError();
  if (platform::SocketSetReceiveTimeout(socket, kEchoTimeoutMs) == platform::kSocketError ||
      platform::SocketSetSendTimeout(socket, kEchoTimeoutMs) == platform::kSocketError) {
    return CloseAndReturn(socket, platform::SocketsLastError());
  }
  platform::InetSocketAddress destination;
  if (!ResolveDestination(host, &destination)) {
    return CloseAndReturn(socket, platform::SocketsLastError());
  }
  const std::uint16_t identifier = EchoIdentifier();
  if (attempts < 0) return CloseAndReturn(socket, platform::kWsaTimedOut);

  std::uint8_t datagram[kEchoReceiveBufferSize] = {};
  // Filled by every receive and never read: any sender's reply with the identifier counts.
  platform::InetSocketAddress source;
  // Wider than `attempts`, so that the last of INT_MAX + 1 attempts ends the loop.
  for (std::int64_t attempt = 0; attempt <= attempts; ++attempt) {
    std::uint8_t request[kEchoRequestSize];
    BuildEchoRequest(identifier, static_cast<std::uint16_t>(attempt), platform::TickCountMs(),
                     request);
    if (platform::SocketSendTo(socket, request, kEchoRequestSize, destination) ==
        platform::kSocketError) {
      const int error = platform::SocketsLastError();
      if (error == platform::kWsaTimedOut) continue;
      return CloseAndReturn(socket, error);
    }
    const std::int64_t t0 = platform::CalendarTimeSeconds();
    for (;;) {
      const int received =
          platform::SocketReceiveFrom(socket, datagram, kEchoReceiveBufferSize, &source);
      if (received == platform::kSocketError) {
        const int error = platform::SocketsLastError();
        if (error == platform::kWsaTimedOut) break;
        // A datagram too long for the buffer is no reply to a 44-byte request; any host may send
        // one, and ending the probe on it would call a live module silent.
        if (error != platform::kWsaMessageSize) return CloseAndReturn(socket, error);
      } else if (IsEchoReplyFor(datagram, received, identifier)) {
        return CloseAndReturn(socket, 0);
      }
      // Whole seconds: a difference of exactly 1 does not end the wait.
      if (platform::CalendarTimeSeconds() - t0 > 1) break;
    }
    platform::SleepMs(1);
  }
  return CloseAndReturn(socket, platform::kWsaTimedOut);
}
