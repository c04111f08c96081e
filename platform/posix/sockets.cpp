#include "platform/sockets.h"

#include <arpa/inet.h>

namespace platform {

// BSD sockets need no start-up; the calls exist so that the code above runs the same everywhere.
int SocketsStartup(std::uint16_t) { return 0; }
int SocketsCleanup() { return 0; }
int SocketsLastError() { return 0; }

std::uint32_t InetAddr(const char* text) { return ::inet_addr(text); }

}  // namespace platform
