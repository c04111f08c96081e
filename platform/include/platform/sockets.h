// The socket library: its start and stop, TCP streams, the raw ICMP socket and name lookup, each
// call doing what Windows Sockets does, with errors in Windows Sockets numbering on every target.
#pragma once

#include <cstdint>

namespace platform {

inline constexpr int kSocketError = -1;

// Starts the socket library at the requested version (0x0202 is 2.2); 0 or an error number.
int SocketsStartup(std::uint16_t version);
// 0, or kSocketError with the reason in SocketsLastError().
int SocketsCleanup();
// The error number of the calling thread's last failed socket call.
int SocketsLastError();
// Sets what SocketsLastError() reports, for a failure the code above the platform finds itself.
void SocketsSetLastError(int error);

// The error numbers the code above the platform compares results with.
inline constexpr int kWsaAccessDenied = 10013;
inline constexpr int kWsaNotSocket = 10038;
// A datagram longer than the receive buffer: its start is in the buffer, the rest is lost.
inline constexpr int kWsaMessageSize = 10040;
inline constexpr int kWsaTimedOut = 10060;
inline constexpr int kWsaConnectionRefused = 10061;
inline constexpr int kWsaHostNotFound = 11001;
// The name is valid but has no address.
inline constexpr int kWsaNoData = 11004;

inline constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;
// IPv4 text (a, a.b, a.b.c or a.b.c.d; each part decimal, 0-octal or 0x-hex) to an address in
// network byte order, or kInaddrNone.
std::uint32_t InetAddr(const char* text);
std::uint16_t HostToNetwork16(std::uint16_t value);

// What a host lookup found: the family and length of its addresses, how many it lists and the
// first of them, bytes in network order. An entry may list none.
struct HostEntry {
  int addressType = 0;
  int addressLength = 0;
  int addressCount = 0;
  std::uint8_t firstAddress[16] = {};
};
// False when the name does not resolve, with the reason in SocketsLastError(); an entry is passed
// on as the system gave it, even one without an address.
bool GetHostByName(const char* name, HostEntry& entry);

inline constexpr std::uint16_t kAddressFamilyInet = 2;

// An IPv4 socket address laid out as sockaddr_in holds it: port and address in network byte
// order, so that port 502 is the bytes 01 F6.
struct InetSocketAddress {
  std::uint16_t family = kAddressFamilyInet;
  std::uint16_t port = 0;
  std::uint32_t address = 0;
};

// A socket, or kInvalidSocket. Opaque above this layer.
using Socket = std::uintptr_t;
inline constexpr Socket kInvalidSocket = ~Socket{0};

// A TCP socket over IPv4, or kInvalidSocket.
Socket SocketOpenStream();
// A raw IPv4 socket for ICMP, used only with blocking calls: each receive gives one whole IPv4
// datagram, header first, and the system puts the header in front of what is sent. Where the
// process may not open raw sockets, a socket that behaves the same to its user: its echo replies
// carry the identifier that its echo requests carried.
Socket SocketOpenIcmp();

// 0, or kSocketError. A send or receive that has waited this long fails with kWsaTimedOut.
int SocketSetReceiveTimeout(Socket socket, std::uint32_t milliseconds);
int SocketSetSendTimeout(Socket socket, std::uint32_t milliseconds);

// Blocks until the connection stands (0) or has failed (kSocketError).
int SocketConnect(Socket socket, const InetSocketAddress& address);

enum class SocketReadiness { kWritable, kReadable };
// Waits for the one socket to become ready: 1 when ready, 0 when the time ran out, kSocketError.
int SocketSelect(Socket socket, SocketReadiness readiness, std::int32_t seconds,
                 std::int32_t microseconds);

// The number of bytes accepted, or kSocketError. Never raises a signal.
int SocketSend(Socket socket, const std::uint8_t* data, int length);
// The number of bytes received, 0 when the peer has closed the connection, or kSocketError.
int SocketReceive(Socket socket, std::uint8_t* buffer, int capacity);
int SocketSendTo(Socket socket, const std::uint8_t* data, int length,
                 const InetSocketAddress& destination);
// `source` may be null. A datagram longer than `capacity` fails with kWsaMessageSize and is gone.
int SocketReceiveFrom(Socket socket, std::uint8_t* buffer, int capacity, InetSocketAddress* source);

inline constexpr int kShutdownSend = 1;
int SocketShutdown(Socket socket, int how);
// 0, or kSocketError; kInvalidSocket closes nothing and fails.
int SocketClose(Socket socket);

}  // namespace platform
