// Runs the echo probe, or one echo exchange through the socket layer, in a process of its own, so
// that a test can run it with capabilities dropped and inside a namespace:
//   net_probe ping HOST ATTEMPTS
// prints whether this process may open raw ICMP sockets ("raw allowed" or "raw refused"), its
// process id (whose low 16 bits are the probe's identifier) and the probe's result.
//   net_probe exchange HOST IDENTIFIER BIND
// opens the ICMP socket of the socket layer, binds it natively to the identifier BIND first
// (unless BIND is "-"), sends one echo request (sequence 0) carrying IDENTIFIER and receives until
// a complete echo reply or a time-out. It prints the raw line, "request" and the request's bytes,
// "identifier" and the port the socket is bound to after the send (a ping socket's identifier on
// the wire), then one line per receive: "error" and the error number, or "datagram" and its bytes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "devlink/net.h"
#include "platform/clock.h"
#include "platform/sockets.h"

namespace {

void PrintBytes(const char* label, const std::uint8_t* data, int length) {
  std::printf("%s", label);
  for (int i = 0; i < length; ++i) std::printf(" %02X", data[i]);
  std::printf("\n");
}

int Exchange(const char* host, std::uint16_t identifier, const std::string& bind) {
  const platform::Socket socket = platform::SocketOpenIcmp();
  if (socket == platform::kInvalidSocket) {
    std::printf("open error %d\n", platform::SocketsLastError());
    return 1;
  }
  const int fd = static_cast<int>(socket);
  platform::SocketSetReceiveTimeout(socket, 1000);
  if (bind != "-") {
    sockaddr_in wanted{};
    wanted.sin_family = AF_INET;
    wanted.sin_port = htons(static_cast<std::uint16_t>(std::stoi(bind, nullptr, 0)));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&wanted), sizeof wanted) != 0) {
      std::perror("bind");
      return 1;
    }
  }
  std::uint8_t request[kEchoRequestSize];
  BuildEchoRequest(identifier, 0, platform::TickCountMs(), request);
  PrintBytes("request", request, kEchoRequestSize);
  platform::InetSocketAddress destination;
  destination.address = platform::InetAddr(host);
  if (platform::SocketSendTo(socket, request, kEchoRequestSize, destination) ==
      platform::kSocketError) {
    std::printf("send error %d\n", platform::SocketsLastError());
    return 1;
  }
  sockaddr_in bound{};
  socklen_t size = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
  std::printf("identifier %u\n", static_cast<unsigned>(ntohs(bound.sin_port)));
  std::uint8_t datagram[kEchoReceiveBufferSize];
  for (int i = 0; i < 8; ++i) {
    const int received =
        platform::SocketReceiveFrom(socket, datagram, kEchoReceiveBufferSize, nullptr);
    if (received == platform::kSocketError) {
      const int error = platform::SocketsLastError();
      std::printf("error %d\n", error);
      if (error != platform::kWsaMessageSize) break;
      continue;
    }
    PrintBytes("datagram", datagram, received);
    const int header = (datagram[0] & 0x0F) * 4;
    if (received >= header + 8 && datagram[header] == 0) break;
  }
  platform::SocketClose(socket);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (!((command == "ping" && argc == 4) || (command == "exchange" && argc == 5))) {
    std::fprintf(stderr,
                 "usage: net_probe ping HOST ATTEMPTS\n"
                 "       net_probe exchange HOST IDENTIFIER BIND\n");
    return 2;
  }
  const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  std::printf("raw %s\n", raw >= 0 ? "allowed" : "refused");
  if (raw >= 0) close(raw);
  if (command == "exchange") {
    return Exchange(argv[2], static_cast<std::uint16_t>(std::stoi(argv[3], nullptr, 0)), argv[4]);
  }
  std::printf("pid %d\n", static_cast<int>(getpid()));
  StartNetworking();
  std::printf("result %d\n", PingHost(argv[2], std::atoi(argv[3])));
  StopNetworking();
  return 0;
}
