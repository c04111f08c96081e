// Windows Sockets 2.2, passed through as the calls are.
#include "platform/sockets.h"

#include "platform/shared/host_entry_copy.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace platform {
namespace {

static_assert(sizeof(Socket) == sizeof(SOCKET), "Socket must hold a SOCKET");
static_assert(kInvalidSocket == INVALID_SOCKET, "kInvalidSocket must be INVALID_SOCKET");

SOCKET ToNative(Socket socket) { return static_cast<SOCKET>(socket); }

sockaddr_in ToSockaddr(const InetSocketAddress& address) {
  sockaddr_in native;
  std::memset(&native, 0, sizeof native);
  native.sin_family = address.family;
  native.sin_port = address.port;
  native.sin_addr.s_addr = address.address;
  return native;
}

int SetTimeout(Socket socket, int option, std::uint32_t milliseconds) {
  const DWORD value = milliseconds;
  return setsockopt(ToNative(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&value),
                    sizeof value) == SOCKET_ERROR
             ? kSocketError
             : 0;
}

int Result(int result) { return result == SOCKET_ERROR ? kSocketError : result; }

}  // namespace

int SocketsStartup(std::uint16_t version) {
  WSADATA data;
  return WSAStartup(version, &data);
}

int SocketsCleanup() { return WSACleanup() == SOCKET_ERROR ? kSocketError : 0; }

int SocketsLastError() { return WSAGetLastError(); }

void SocketsSetLastError(int error) { WSASetLastError(error); }

std::uint32_t InetAddr(const char* text) { return inet_addr(text); }

std::uint16_t HostToNetwork16(std::uint16_t value) { return htons(value); }

bool GetHostByName(const char* name, HostEntry& entry) {
  const hostent* found = gethostbyname(name);
  if (found == nullptr) return false;
  CopyHostEntry(*found, entry);
  return true;
}

Socket SocketOpenStream() { return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

Socket SocketOpenIcmp() {
  return WSASocketA(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, WSA_FLAG_OVERLAPPED);
}

int SocketSetReceiveTimeout(Socket socket, std::uint32_t milliseconds) {
  return SetTimeout(socket, SO_RCVTIMEO, milliseconds);
}

int SocketSetSendTimeout(Socket socket, std::uint32_t milliseconds) {
  return SetTimeout(socket, SO_SNDTIMEO, milliseconds);
}

int SocketConnect(Socket socket, const InetSocketAddress& address) {
  const sockaddr_in native = ToSockaddr(address);
  return Result(
      connect(ToNative(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native));
}

int SocketSelect(Socket socket, SocketReadiness readiness, std::int32_t seconds,
                 std::int32_t microseconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(ToNative(socket), &set);
  timeval timeout{seconds, microseconds};
  fd_set* readSet = readiness == SocketReadiness::kReadable ? &set : nullptr;
  fd_set* writeSet = readiness == SocketReadiness::kWritable ? &set : nullptr;
  // The first argument is ignored by Windows Sockets.
  return Result(select(0, readSet, writeSet, nullptr, &timeout));
}

int SocketSend(Socket socket, const std::uint8_t* data, int length) {
  return Result(send(ToNative(socket), reinterpret_cast<const char*>(data), length, 0));
}

int SocketReceive(Socket socket, std::uint8_t* buffer, int capacity) {
  return Result(recv(ToNative(socket), reinterpret_cast<char*>(buffer), capacity, 0));
}

int SocketSendTo(Socket socket, const std::uint8_t* data, int length,
                 const InetSocketAddress& destination) {
  const sockaddr_in native = ToSockaddr(destination);
  return Result(sendto(ToNative(socket), reinterpret_cast<const char*>(data), length, 0,
                       reinterpret_cast<const sockaddr*>(&native), sizeof native));
}

int SocketReceiveFrom(Socket socket, std::uint8_t* buffer, int capacity,
                      InetSocketAddress* source) {
  sockaddr_in from;
  std::memset(&from, 0, sizeof from);
  int fromLength = sizeof from;
  const int received = recvfrom(ToNative(socket), reinterpret_cast<char*>(buffer), capacity, 0,
                                reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (received == SOCKET_ERROR) return kSocketError;
  if (source != nullptr) {
    source->family = from.sin_family;
    source->port = from.sin_port;
    source->address = from.sin_addr.s_addr;
  }
  return received;
}

int SocketShutdown(Socket socket, int how) { return Result(shutdown(ToNative(socket), how)); }

int SocketClose(Socket socket) { return Result(closesocket(ToNative(socket))); }

}  // namespace platform
