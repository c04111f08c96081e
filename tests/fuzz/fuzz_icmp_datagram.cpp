// Any bytes as a received IPv4 datagram: the echo-reply judge, with the identifier taken from the
// first two input bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "devlink/net.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > kEchoReceiveBufferSize + 2) return 0;
  const auto identifier = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
  const std::vector<std::uint8_t> datagram(data + 2, data + size);
  IsEchoReplyFor(datagram.data(), static_cast<int>(datagram.size()), identifier);
  return 0;
}
