// Any bytes as an RTU reply: the judge, then the unpacking of what it accepts, for a bit read and
// a register read (the first input byte chooses), never reading past the reply.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "devlink/modbus_rtu_master.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > kRtuReplyBufferSize + 1) return 0;
  const int function = (data[0] & 1) != 0 ? 1 : 3;
  // A copy of exactly the reply's length, so that the sanitizer sees any read beyond it.
  const std::vector<std::uint8_t> reply(data + 1, data + size);
  const auto length = static_cast<std::int32_t>(reply.size());
  ModbusRequest block;
  block.SetRequest(254, function, 3001, 2);
  if (JudgeRtuReply(reply.data(), length) == RtuReplyKind::kAccepted) {
    UnpackRtuReply(reply.data(), length, block);
  }
  Set70Acknowledged(reply.data(), length);
  return 0;
}
