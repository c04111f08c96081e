#include "devlink/modbus_tcp_client.h"

#include <iostream>

#include "devlink/net.h"
#include "devlink/validators.h"

namespace {

constexpr int kReplyHeaderSize = 9;

void PutBigEndian16(std::uint8_t* at, std::int32_t value) {
  at[0] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
  at[1] = static_cast<std::uint8_t>(value & 0xFF);
}

void PrintLine(bool report, const char* text) {
  if (report) std::cout << text << std::endl;
}

bool Ready(platform::Socket socket, platform::SocketReadiness readiness) {
  return platform::SocketSelect(socket, readiness, kSelectTimeoutSec, 0) > 0;
}

bool SendWhole(platform::Socket socket, const std::uint8_t* frame, int length) {
  return platform::SocketSend(socket, frame, length) == length;
}

}  // namespace

void BuildTcpReadRequest(const ModbusRequest& block, std::uint8_t (&frame)[kTcpReadRequestSize]) {
  // Transaction identifier 0 on every request, so a late reply passes as the next one's.
  PutBigEndian16(frame, 0);
  PutBigEndian16(frame + 2, 0);
  PutBigEndian16(frame + 4, 6);
  frame[6] = static_cast<std::uint8_t>(block.slaveAddress & 0xFF);
  frame[7] = static_cast<std::uint8_t>(block.functionCode & 0xFF);
  PutBigEndian16(frame + 8, block.startIndex);
  PutBigEndian16(frame + 10, block.count);
}

void BuildTcpSet70Frame(int newAddress, std::uint8_t (&frame)[kTcpSet70FrameSize]) {
  PutBigEndian16(frame, 1);
  PutBigEndian16(frame + 2, 0);
  PutBigEndian16(frame + 4, 4);
  frame[6] = static_cast<std::uint8_t>(kDefaultModbusAddress);
  frame[7] = static_cast<std::uint8_t>(kSet70Function);
  frame[8] = static_cast<std::uint8_t>(kSet70SetAddress);
  frame[9] = static_cast<std::uint8_t>(newAddress & 0xFF);
}

TcpReplyKind JudgeTcpReply(const std::uint8_t* reply, int length, std::int32_t functionCode) {
  if (length < kReplyHeaderSize) return TcpReplyKind::kTooShort;
  for (int i = 0; i <= 4; ++i) {
    if (reply[i] != 0) return TcpReplyKind::kForeign;
  }
  if ((reply[7] & 0x80) != 0) return TcpReplyKind::kException;
  if (reply[7] != functionCode) return TcpReplyKind::kWrongFunction;
  return TcpReplyKind::kAccepted;
}

void UnpackTcpReply(const std::uint8_t* reply, int length, ModbusRequest& block) {
  const int byteCount = reply[8];
  constexpr int kData = kReplyHeaderSize;
  if (block.functionCode == 1 || block.functionCode == 2) {
    for (int k = 0; k < byteCount && kData + k < length && 8 * k < kRegisterTableSize; ++k) {
      for (int bit = 0; bit < 8 && 8 * k + bit < kRegisterTableSize; ++bit) {
        block.registers[8 * k + bit] = (reply[kData + k] >> bit) & 1;
      }
    }
    return;
  }
  for (int j = 0; j < byteCount && kData + j + 1 < length && j / 2 < kRegisterTableSize; j += 2) {
    block.registers[j / 2] = reply[kData + j] * 256 + reply[kData + j + 1];
  }
}

bool TcpSet70Acknowledged(const std::uint8_t* reply, int length) {
  return length >= kReplyHeaderSize && reply[8] == kSet70Ack;
}

ModbusTcpClient::~ModbusTcpClient() { CloseSocket(socket); }

bool ModbusTcpClient::Connect(const std::string& hostText, int port, bool report) {
  if (CheckIpAddress(hostText, report) != 0) return false;
  if (PingHost(hostText, kRetries) != 0) return false;
  if (ConnectTcp(socket, hostText, static_cast<std::uint16_t>(port), report) != 0) return false;
  host = hostText;
  return true;
}

int ModbusTcpClient::Close() { return CloseSocket(socket); }

bool ModbusTcpClient::GetOnce(bool report) {
  std::uint8_t request[kTcpReadRequestSize];
  BuildTcpReadRequest(*this, request);
  if (!Ready(socket, platform::SocketReadiness::kWritable) ||
      !SendWhole(socket, request, kTcpReadRequestSize) ||
      !Ready(socket, platform::SocketReadiness::kReadable)) {
    PrintLine(report, "Modbus Get failed");
    return false;
  }
  std::uint8_t reply[kTcpReadReplyBufferSize];
  // The bytes of this one receive are the whole reply; the rest of a split one stays queued.
  const int received = platform::SocketReceive(socket, reply, kTcpReadReplyBufferSize);
  switch (JudgeTcpReply(reply, received, functionCode)) {
    case TcpReplyKind::kTooShort:
    case TcpReplyKind::kWrongFunction:
      PrintLine(report, "Modbus Get failed");
      return false;
    case TcpReplyKind::kForeign:
      return false;
    case TcpReplyKind::kException:
      if (report)
        std::cout << "Modbus exception - " << static_cast<unsigned>(reply[8]) << std::endl;
      return false;
    case TcpReplyKind::kAccepted:
      break;
  }
  UnpackTcpReply(reply, received, *this);
  return true;
}

bool ModbusTcpClient::Get(int retries, bool report) {
  for (int attempt = 0; attempt < retries; ++attempt) {
    if (GetOnce(report)) return true;
  }
  return false;
}

bool ModbusTcpClient::Set70(int newAddress, bool report) {
  if (!Ready(socket, platform::SocketReadiness::kWritable)) return false;
  std::uint8_t frame[kTcpSet70FrameSize];
  BuildTcpSet70Frame(newAddress, frame);
  if (!SendWhole(socket, frame, kTcpSet70FrameSize) ||
      !Ready(socket, platform::SocketReadiness::kReadable)) {
    PrintLine(report, "Modbus Set70 failed");
    return false;
  }
  std::uint8_t reply[kTcpSet70ReplyBufferSize];
  const int received = platform::SocketReceive(socket, reply, kTcpSet70ReplyBufferSize);
  if (!TcpSet70Acknowledged(reply, received)) {
    PrintLine(report, "Modbus Set70 failed");
    return false;
  }
  return true;
}
