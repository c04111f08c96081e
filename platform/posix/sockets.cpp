// BSD sockets behind the Windows Sockets calls: errno becomes a Windows Sockets number, sends
// never raise SIGPIPE, interrupted calls are resumed, and without CAP_NET_RAW the ICMP socket is a
// Linux ping socket made to look like a raw one.
#include "platform/sockets.h"

#include "platform/shared/host_entry_copy.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

thread_local int t_lastError = 0;

struct ErrnoName {
  int errnoValue;
  int wsaError;
};

// A send or receive time-out shows as EAGAIN on a blocking socket: Windows calls it a time-out.
constexpr ErrnoName kErrnoNames[] = {
    {EINTR, 10004},
    {EBADF, 10009},
    {EPERM, 10013},
    {EACCES, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EAGAIN, kWsaTimedOut},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {ENOTSOCK, kWsaNotSocket},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    {ENOBUFS, 10055},
    {ENOMEM, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {EPIPE, 10058},
    {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, kWsaTimedOut},
    {ECONNREFUSED, kWsaConnectionRefused},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
};
// WSASYSCALLFAILURE: what Windows reports when nothing more precise applies.
constexpr int kUnmappedError = 10107;

int WsaErrorOf(int errnoValue) {
  for (const ErrnoName& name : kErrnoNames) {
    if (name.errnoValue == errnoValue) return name.wsaError;
  }
  return kUnmappedError;
}

int FailWith(int wsaError) {
  t_lastError = wsaError;
  return kSocketError;
}

int FailFromErrno() { return FailWith(WsaErrorOf(errno)); }

int ToFd(Socket socket) {
  return socket > static_cast<Socket>(INT_MAX) ? -1 : static_cast<int>(socket);
}

Socket FromFd(int fd) { return fd < 0 ? kInvalidSocket : static_cast<Socket>(fd); }

// Checked before every call on a descriptor: Windows fails a call on INVALID_SOCKET at once, and
// poll would only skip a negative descriptor.
bool UsableFd(Socket socket, int* fd) {
  *fd = ToFd(socket);
  if (*fd >= 0) return true;
  FailWith(kWsaNotSocket);
  return false;
}

sockaddr_in ToSockaddr(const InetSocketAddress& address) {
  sockaddr_in native{};
  native.sin_family = address.family;
  native.sin_port = address.port;
  native.sin_addr.s_addr = address.address;
  return native;
}

void FromSockaddr(const sockaddr_in& native, InetSocketAddress* address) {
  if (address == nullptr) return;
  address->family = native.sin_family;
  address->port = native.sin_port;
  address->address = native.sin_addr.s_addr;
}

int SetTimeout(Socket socket, int option, std::uint32_t milliseconds) {
  int fd = -1;
  if (!UsableFd(socket, &fd)) return kSocketError;
  timeval value{static_cast<time_t>(milliseconds / 1000),
                static_cast<suseconds_t>(milliseconds % 1000) * 1000};
  if (setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) != 0) return FailFromErrno();
  return 0;
}

bool IsPingSocket(int fd) {
  int type = 0;
  int protocol = 0;
  socklen_t length = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM) {
    return false;
  }
  length = sizeof protocol;
  return getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) == 0 &&
         protocol == IPPROTO_ICMP;
}

// A ping socket carries the kernel's identifier in its echo requests: the kernel writes the port it
// bound the socket to (on the first send, when nothing bound it before) over the one the sender
// put there. Binding to the sender's identifier instead would fail for identifier 0, which asks the
// kernel to choose, and could collide with another socket. So the sender's identifier is kept here,
// per descriptor, and written back into the replies. The table is small because a process has
// few ping sockets open at a time; a slot is freed when its socket is closed through this layer,
// and cleared when a new ICMP socket gets a descriptor a forgotten slot still names.
struct EchoIdentity {
  int fd = -1;
  bool known = false;  // false until a request on the socket has been sent
  std::uint8_t identifier[2] = {};
};
constexpr int kEchoIdentitySlots = 64;
std::mutex g_echoIdentitiesMutex;
EchoIdentity g_echoIdentities[kEchoIdentitySlots];

// The slot of `fd`, or a free one taken for it; null when all are taken. Called with the lock held.
EchoIdentity* EchoIdentitySlot(int fd) {
  EchoIdentity* free = nullptr;
  for (EchoIdentity& slot : g_echoIdentities) {
    if (slot.fd == fd) return &slot;
    if (slot.fd < 0 && free == nullptr) free = &slot;
  }
  if (free != nullptr) *free = EchoIdentity{fd, false, {}};
  return free;
}

bool ReserveEchoIdentity(int fd) {
  const std::lock_guard<std::mutex> lock(g_echoIdentitiesMutex);
  return EchoIdentitySlot(fd) != nullptr;
}

void RememberEchoIdentifier(int fd, const std::uint8_t* message) {
  const std::lock_guard<std::mutex> lock(g_echoIdentitiesMutex);
  EchoIdentity* slot = EchoIdentitySlot(fd);
  if (slot == nullptr) return;
  slot->known = true;
  std::memcpy(slot->identifier, message + 4, sizeof slot->identifier);
}

bool RecallEchoIdentifier(int fd, std::uint8_t (&identifier)[2]) {
  const std::lock_guard<std::mutex> lock(g_echoIdentitiesMutex);
  for (const EchoIdentity& slot : g_echoIdentities) {
    if (slot.fd != fd) continue;
    if (slot.known) std::memcpy(identifier, slot.identifier, sizeof identifier);
    return slot.known;
  }
  return false;
}

void ForgetEchoIdentity(int fd) {
  const std::lock_guard<std::mutex> lock(g_echoIdentitiesMutex);
  for (EchoIdentity& slot : g_echoIdentities) {
    if (slot.fd == fd) slot = EchoIdentity{};
  }
}

constexpr int kIcmpHeaderSize = 8;
constexpr std::uint8_t kIcmpEchoReply = 0;

// An echo reply as it reached the wire, with the kernel's identifier in it, becomes the reply to
// the sender's own identifier: RFC 1071 over the message again, its words in memory order so that
// the sum goes back the same way.
void RestoreEchoIdentifier(std::uint8_t* message, int length, const std::uint8_t (&identifier)[2]) {
  if (length < kIcmpHeaderSize || message[0] != kIcmpEchoReply) return;
  std::memcpy(message + 4, identifier, sizeof identifier);
  message[2] = 0;
  message[3] = 0;
  std::uint32_t sum = 0;
  int i = 0;
  for (; i + 1 < length; i += 2) {
    sum += static_cast<std::uint32_t>(message[i] | (message[i + 1] << 8));
  }
  if (i < length) sum += message[i];
  while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  const auto checksum = static_cast<std::uint16_t>(~sum & 0xFFFF);
  message[2] = static_cast<std::uint8_t>(checksum & 0xFF);
  message[3] = static_cast<std::uint8_t>(checksum >> 8);
}

constexpr int kIpv4HeaderSize = 20;

// The IPv4 header that a raw socket would have delivered in front of a ping socket's message:
// version 4, 20 bytes, protocol ICMP, the source it came from.
void PutIpv4Header(std::uint8_t* at, int totalLength, const sockaddr_in& source) {
  std::memset(at, 0, kIpv4HeaderSize);
  at[0] = 0x45;
  at[2] = static_cast<std::uint8_t>(totalLength >> 8);
  at[3] = static_cast<std::uint8_t>(totalLength & 0xFF);
  at[8] = 64;
  at[9] = IPPROTO_ICMP;
  std::memcpy(at + 12, &source.sin_addr.s_addr, 4);
}

int WaitMs(std::int32_t seconds, std::int32_t microseconds) {
  const std::int64_t total = static_cast<std::int64_t>(seconds) * 1000 +
                             (static_cast<std::int64_t>(microseconds) + 999) / 1000;
  return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

}  // namespace

// BSD sockets need no start-up; the calls exist so that the code above runs the same everywhere.
int SocketsStartup(std::uint16_t) { return 0; }
int SocketsCleanup() { return 0; }
int SocketsLastError() { return t_lastError; }
void SocketsSetLastError(int error) { t_lastError = error; }

std::uint32_t InetAddr(const char* text) { return ::inet_addr(text); }

std::uint16_t HostToNetwork16(std::uint16_t value) { return htons(value); }

bool GetHostByName(const char* name, HostEntry& entry) {
  const hostent* found = ::gethostbyname(name);
  if (found == nullptr) {
    // The resolver's own numbers, as Windows Sockets numbers them.
    switch (h_errno) {
      case TRY_AGAIN:
        FailWith(11002);
        break;
      case NO_RECOVERY:
        FailWith(11003);
        break;
      case NO_DATA:
        FailWith(kWsaNoData);
        break;
      default:
        FailWith(kWsaHostNotFound);
        break;
    }
    return false;
  }
  CopyHostEntry(*found, entry);
  return true;
}

Socket SocketOpenStream() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) FailFromErrno();
  return FromFd(fd);
}

Socket SocketOpenIcmp() {
  int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0 && (errno == EPERM || errno == EACCES)) {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  }
  if (fd < 0) {
    FailFromErrno();
    return kInvalidSocket;
  }
  ForgetEchoIdentity(fd);
  return FromFd(fd);
}

int SocketSetReceiveTimeout(Socket socket, std::uint32_t milliseconds) {
  return SetTimeout(socket, SO_RCVTIMEO, milliseconds);
}

int SocketSetSendTimeout(Socket socket, std::uint32_t milliseconds) {
  return SetTimeout(socket, SO_SNDTIMEO, milliseconds);
}

int SocketConnect(Socket socket, const InetSocketAddress& address) {
  int fd = -1;
  if (!UsableFd(socket, &fd)) return kSocketError;
  const sockaddr_in native = ToSockaddr(address);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0) return 0;
  if (errno != EINTR) return FailFromErrno();
  // An interrupted connect goes on by itself; wait for its outcome as a blocking call would.
  pollfd entry{fd, POLLOUT, 0};
  while (::poll(&entry, 1, -1) < 0) {
    if (errno != EINTR) return FailFromErrno();
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return FailFromErrno();
  return error == 0 ? 0 : FailWith(WsaErrorOf(error));
}

int SocketSelect(Socket socket, SocketReadiness readiness, std::int32_t seconds,
                 std::int32_t microseconds) {
  int fd = -1;
  if (!UsableFd(socket, &fd)) return kSocketError;
  if (seconds < 0 || microseconds < 0) return FailWith(WsaErrorOf(EINVAL));
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end =
      Clock::now() + std::chrono::milliseconds(WaitMs(seconds, microseconds));
  const short wanted = readiness == SocketReadiness::kWritable ? POLLOUT : POLLIN;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    pollfd entry{fd, wanted, 0};
    const int result = ::poll(&entry, 1, left < 0 ? 0 : static_cast<int>(left));
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) return FailFromErrno();
    if (result == 0) return 0;
    if ((entry.revents & POLLNVAL) != 0) return FailWith(kWsaNotSocket);
    // As select does, a closed or failed connection counts as ready, so that the send or
    // receive that follows reports it.
    return 1;
  }
}

int SocketSend(Socket socket, const std::uint8_t* data, int length) {
  int fd = -1;
  if (!UsableFd(socket, &fd)) return kSocketError;
  if (length < 0) return FailWith(WsaErrorOf(EINVAL));
  for (;;) {
    const ssize_t sent = ::send(fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno != EINTR) return FailFromErrno();
  }
}

int SocketReceive(Socket socket, std::uint8_t* buffer, int capacity) {
  int fd = -1;
  if (!UsableFd(socket, &fd)) return kSocketError;
  if (capacity < 0) return FailWith(WsaErrorOf(EINVAL));
  for (;;) {
    const ssize_t received = ::recv(fd, buffer, static_cast<std::size_t>(capacity), 0);
    if (received >= 0) return static_cast<int>(received);
    if (errno != EINTR) return FailFromErrno();
  }
}

int SocketSendTo(Socket socket, const std::uint8_t* data, int length,
                 const InetSocketAddress& destination) {
  int fd = -1;
  if (!UsableFd(socket, &fd)) return kSocketError;
  if (length < 0) return FailWith(WsaErrorOf(EINVAL));
  // Shorter than an ICMP header, the kernel refuses the request and no reply will need it.
  const bool keepIdentifier = length >= kIcmpHeaderSize && IsPingSocket(fd);
  if (keepIdentifier && !ReserveEchoIdentity(fd)) return FailWith(WsaErrorOf(ENOBUFS));
  const sockaddr_in native = ToSockaddr(destination);
  for (;;) {
    const ssize_t sent = ::sendto(fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&native), sizeof native);
    if (sent >= 0) {
      if (keepIdentifier) RememberEchoIdentifier(fd, data);
      return static_cast<int>(sent);
    }
    if (errno != EINTR) return FailFromErrno();
  }
}

int SocketReceiveFrom(Socket socket, std::uint8_t* buffer, int capacity,
                      InetSocketAddress* source) {
  int fd = -1;
  if (!UsableFd(socket, &fd)) return kSocketError;
  if (capacity < 0) return FailWith(WsaErrorOf(EINVAL));
  const bool ping = IsPingSocket(fd);
  // A ping socket hands over the ICMP message alone; room is left for the header put in front.
  const int skip = ping ? kIpv4HeaderSize : 0;
  if (capacity <= skip) return FailWith(kWsaMessageSize);
  for (;;) {
    sockaddr_in from{};
    iovec part{buffer + skip, static_cast<std::size_t>(capacity - skip)};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t received = ::recvmsg(fd, &message, 0);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0) return FailFromErrno();
    // A datagram that did not fit fails the receive, as on Windows: what is left of it could pass
    // for something it is not.
    if ((message.msg_flags & MSG_TRUNC) != 0) return FailWith(kWsaMessageSize);
    if (ping) {
      std::uint8_t identifier[2];
      if (RecallEchoIdentifier(fd, identifier)) {
        RestoreEchoIdentifier(buffer + skip, static_cast<int>(received), identifier);
      }
      PutIpv4Header(buffer, skip + static_cast<int>(received), from);
    }
    FromSockaddr(from, source);
    return skip + static_cast<int>(received);
  }
}

int SocketShutdown(Socket socket, int how) {
  int fd = -1;
  if (!UsableFd(socket, &fd)) return kSocketError;
  const int native = how == kShutdownSend ? SHUT_WR : how == 0 ? SHUT_RD : SHUT_RDWR;
  return ::shutdown(fd, native) == 0 ? 0 : FailFromErrno();
}

int SocketClose(Socket socket) {
  int fd = -1;
  if (!UsableFd(socket, &fd)) return kSocketError;
  ForgetEchoIdentity(fd);
  // The descriptor is gone even when close reports EINTR: never close it a second time.
  if (::close(fd) != 0 && errno != EINTR) return FailFromErrno();
  return 0;
}

}  // namespace platform
