// The socket library's start and stop, with errors in Windows Sockets numbering on every target.
#pragma once

#include <cstdint>

namespace platform {

inline constexpr int kSocketError = -1;

// Starts the socket library at the requested version (0x0202 is 2.2); 0 or an error number.
int SocketsStartup(std::uint16_t version);
// 0, or kSocketError with the reason in SocketsLastError().
int SocketsCleanup();
int SocketsLastError();

inline constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;
// IPv4 text (a, a.b, a.b.c or a.b.c.d; each part decimal, 0-octal or 0x-hex) to an address in
// network byte order, or kInaddrNone.
std::uint32_t InetAddr(const char* text);

}  // namespace platform
