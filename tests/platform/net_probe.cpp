// Runs the echo probe in a process of its own, so that a test can run it with capabilities
// dropped and inside a namespace:
//   net_probe ping HOST ATTEMPTS
// prints whether this process may open raw ICMP sockets ("raw allowed" or "raw refused"), its
// process id (whose low 16 bits are the probe's identifier) and the probe's result.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "devlink/net.h"

int main(int argc, char** argv) {
  if (argc != 4 || std::string(argv[1]) != "ping") {
    std::fprintf(stderr, "usage: net_probe ping HOST ATTEMPTS\n");
    return 2;
  }
  const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  std::printf("raw %s\n", raw >= 0 ? "allowed" : "refused");
  if (raw >= 0) close(raw);
  std::printf("pid %d\n", static_cast<int>(getpid()));
  StartNetworking();
  std::printf("result %d\n", PingHost(argv[2], std::atoi(argv[3])));
  StopNetworking();
  return 0;
}
