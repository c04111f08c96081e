// Any bytes as a Modbus TCP reply: the judge, the unpacking of an accepted reply for a bit read
// and a register read (the first input byte chooses), and the address-change acknowledgement.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "devlink/modbus_tcp_client.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > kTcpSet70ReplyBufferSize + 1) return 0;
  const int function = (data[0] & 1) != 0 ? 2 : 3;
  const std::vector<std::uint8_t> reply(data + 1, data + size);
  const int length = static_cast<int>(reply.size());
  TcpSet70Acknowledged(reply.data(), length);
  // A read takes at most one receive buffer's worth.
  if (length > kTcpReadReplyBufferSize) return 0;
  ModbusRequest block;
  block.SetRequest(254, function, 1001, 10);
  if (JudgeTcpReply(reply.data(), length, function) == TcpReplyKind::kAccepted) {
    UnpackTcpReply(reply.data(), length, block);
  }
  return 0;
}
