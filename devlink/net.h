// The computer's side of the network: the socket library's start and stop around every command,
// the TCP connection to a module and its close, the listing of the computer's own IPv4 addresses,
// and the ICMP echo probe that comes before every connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sockets.h"

int StartNetworking();
int StopNetworking();

// 0 when connected. Otherwise the error number of the failed step: after a failed lookup (a name
// without an address is one, kWsaNoData) `socket` is untouched, after a failed connect it holds
// the open, unconnected socket.
int ConnectTcp(platform::Socket& socket, const std::string& host, std::uint16_t port, bool report);
// 0 and kInvalidSocket in `socket`, or the error number of the failed close.
int CloseSocket(platform::Socket& socket);
// Appends the addresses of the Ethernet adapters; 0, or 1 (size query failed), 2 (no memory) or
// the table query's own error number, with nothing appended.
int ListIpAddresses(std::vector<std::string>& addresses);
// 0 when an echo reply with this process's identifier came back within `attempts` + 1 attempts,
// kWsaTimedOut when none did, else the error number of the failed step. A datagram too long for
// the receive buffer is passed over as any other that is not the reply.
int PingHost(const std::string& host, int attempts);

// The pure halves of the probe, over byte buffers.

inline constexpr int kEchoRequestSize = 44;
inline constexpr int kEchoReceiveBufferSize = 1024;

// RFC 1071 over `length` bytes; stored as computed (the sum's bytes in memory order), so that a
// receiver's check of the whole message gives 0.
std::uint16_t InternetChecksum(const std::uint8_t* data, int length);
// The echo request of one attempt, checksum included.
void BuildEchoRequest(std::uint16_t identifier, std::uint16_t sequence, std::uint32_t timeStamp,
                      std::uint8_t (&request)[kEchoRequestSize]);
// True for an IPv4 datagram holding an echo reply with `identifier`; nothing else is looked at.
bool IsEchoReplyFor(const std::uint8_t* datagram, int length, std::uint16_t identifier);
