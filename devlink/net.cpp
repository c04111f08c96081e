#include "devlink/net.h"

#include "platform/sockets.h"

int StartNetworking() { return platform::SocketsStartup(0x0202); }

int StopNetworking() {
  if (platform::SocketsCleanup() == platform::kSocketError) return platform::SocketsLastError();
  return 0;
}
