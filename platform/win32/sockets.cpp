#include "platform/sockets.h"

#include <winsock2.h>

namespace platform {

int SocketsStartup(std::uint16_t version) {
  WSADATA data;
  return WSAStartup(version, &data);
}

int SocketsCleanup() { return WSACleanup() == SOCKET_ERROR ? kSocketError : 0; }

int SocketsLastError() { return WSAGetLastError(); }

std::uint32_t InetAddr(const char* text) { return inet_addr(text); }

}  // namespace platform
