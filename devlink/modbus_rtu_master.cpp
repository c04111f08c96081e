#include "devlink/modbus_rtu_master.h"

#include <iostream>

#include "devlink/crc16.h"
#include "platform/clock.h"

namespace {

constexpr std::uint8_t kPrepareFrame[] = {0xFE, 0x46, 0x0E, 0x02, 0x55, 0xB8};
constexpr std::uint8_t kCommitFrame[] = {0xFE, 0x46, 0x08, 0x23, 0x96};

void PutBigEndian16(std::uint8_t* at, std::int32_t value) {
  at[0] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
  at[1] = static_cast<std::uint8_t>(value & 0xFF);
}

void SealWithCrc(std::uint8_t (&frame)[kRtuRequestSize]) {
  const std::uint16_t crc = ModbusCrc16(0xFFFF, frame, kRtuRequestSize);
  frame[6] = static_cast<std::uint8_t>(crc & 0xFF);
  frame[7] = static_cast<std::uint8_t>(crc >> 8);
}

void PrintException(const std::uint8_t* reply) {
  std::cout << "Modbus exception - " << static_cast<unsigned>(reply[2]) << std::endl;
}

void PrintLine(bool report, const char* text) {
  if (report) std::cout << text << std::endl;
}

bool WriteFrame(platform::CommHandle handle, const std::uint8_t* frame, std::int32_t length,
                std::uint32_t* written) {
  *written = 0;
  return platform::CommWrite(handle, frame, static_cast<std::uint32_t>(length), written);
}

bool ReadReply(platform::CommHandle handle, std::uint8_t (&reply)[kRtuReplyBufferSize],
               std::int32_t* length) {
  std::uint32_t received = 0;
  const bool ok = platform::CommRead(handle, reply, kRtuReplyBufferSize, &received);
  *length = static_cast<std::int32_t>(received > kRtuReplyBufferSize ? 0 : received);
  return ok;
}

void Wait(int delayMs) { platform::SleepMs(static_cast<std::uint32_t>(delayMs < 0 ? 0 : delayMs)); }

}  // namespace

void BuildRtuReadRequest(const ModbusRequest& block, std::uint8_t (&frame)[kRtuRequestSize]) {
  frame[0] = static_cast<std::uint8_t>(block.slaveAddress & 0xFF);
  frame[1] = static_cast<std::uint8_t>(block.functionCode & 0xFF);
  PutBigEndian16(frame + 2, block.startIndex);
  PutBigEndian16(frame + 4, block.count);
  SealWithCrc(frame);
}

void BuildRtuWriteRequest(const ModbusRequest& block, int writeValue,
                          std::uint8_t (&frame)[kRtuRequestSize]) {
  frame[0] = static_cast<std::uint8_t>(block.slaveAddress & 0xFF);
  frame[1] = static_cast<std::uint8_t>(block.functionCode & 0xFF);
  PutBigEndian16(frame + 2, block.startIndex);
  if (frame[1] == 5) {
    PutBigEndian16(frame + 4, writeValue == 1 ? 0xFF00 : 0x0000);
  } else {
    PutBigEndian16(frame + 4, writeValue);
  }
  SealWithCrc(frame);
}

const std::uint8_t* Set70Frame(int command, std::int32_t* length) {
  switch (command) {
    case Prepare:
      *length = sizeof kPrepareFrame;
      return kPrepareFrame;
    case Commit:
      *length = sizeof kCommitFrame;
      return kCommitFrame;
    default:
      *length = 0;
      return nullptr;
  }
}

RtuReplyKind JudgeRtuReply(const std::uint8_t* reply, std::int32_t length) {
  if (length <= 2) return RtuReplyKind::kBroken;
  const unsigned received = reply[length - 2] + 256u * reply[length - 1];
  if (ModbusCrc16(0xFFFF, reply, length) != received) return RtuReplyKind::kBroken;
  return (reply[1] & 0x80) != 0 ? RtuReplyKind::kException : RtuReplyKind::kAccepted;
}

void UnpackRtuReply(const std::uint8_t* reply, std::int32_t length, ModbusRequest& block) {
  const std::int32_t dataEnd = length - 2;  // the CRC starts here
  int entry = 0;
  if (block.functionCode == 1 || block.functionCode == 2) {
    for (std::int32_t i = 3; i < dataEnd; ++i) {
      for (int bit = 0; bit < 8 && entry < kRegisterTableSize; ++bit) {
        block.registers[entry++] = (reply[i] >> bit) & 1;
      }
    }
    return;
  }
  // With an odd data length the last value takes the CRC's low byte as its own low byte; i + 1
  // never passes dataEnd, so the read stays inside the received bytes.
  for (std::int32_t i = 3; i < dataEnd && entry < kRegisterTableSize; i += 2) {
    block.registers[entry++] = reply[i] * 256 + reply[i + 1];
  }
}

bool Set70Acknowledged(const std::uint8_t* reply, std::int32_t length) {
  return length >= 3 && reply[2] == kSet70Ack;
}

ModbusRtuMaster::~ModbusRtuMaster() { port.Close(); }

bool ModbusRtuMaster::Open(int comPort, int baud, int parity, bool report) {
  const bool opened = port.Open(comPort, baud, parity, report);
  // Never keep the handle of a closed device: a transfer then fails at its write.
  portHandle = port.handle;
  return opened;
}

void ModbusRtuMaster::Close() {
  port.Close();
  portHandle = nullptr;
}

bool ModbusRtuMaster::GetOnce(int delayMs, bool report) {
  std::uint8_t request[kRtuRequestSize];
  BuildRtuReadRequest(*this, request);
  std::uint32_t written = 0;
  if (!WriteFrame(portHandle, request, kRtuRequestSize, &written) || written == 0) {
    PrintLine(report, "Modbus Get failed");
    return false;
  }
  platform::CommEscapeFunction(portHandle, platform::CommEscape::kSetRts);
  Wait(delayMs);
  std::uint8_t reply[kRtuReplyBufferSize];
  std::int32_t length = 0;
  if (!ReadReply(portHandle, reply, &length) || length == 0) {
    PrintLine(report, "Modbus Get failed");
    return false;
  }
  switch (JudgeRtuReply(reply, length)) {
    case RtuReplyKind::kBroken:
      PrintLine(report, "Modbus Get failed");
      return false;
    case RtuReplyKind::kException:
      if (report) PrintException(reply);
      return false;
    case RtuReplyKind::kAccepted:
      break;
  }
  UnpackRtuReply(reply, length, *this);
  return true;
}

bool ModbusRtuMaster::Get(int retries, int delayMs, bool report) {
  for (int attempt = 0; attempt < retries; ++attempt) {
    if (GetOnce(delayMs, report)) return true;
  }
  return false;
}

bool ModbusRtuMaster::Set(int writeValue, int delayMs, bool report) {
  std::uint8_t request[kRtuRequestSize];
  BuildRtuWriteRequest(*this, writeValue, request);
  std::uint32_t written = 0;
  if (!WriteFrame(portHandle, request, kRtuRequestSize, &written)) {
    PrintLine(report, "Modbus Set failed");
    return false;
  }
  Wait(delayMs);
  std::uint8_t reply[kRtuReplyBufferSize];
  std::int32_t length = 0;
  if (written == 0 || !ReadReply(portHandle, reply, &length) || length == 0) {
    PrintLine(report, "Modbus Set failed");
    return false;
  }
  switch (JudgeRtuReply(reply, length)) {
    case RtuReplyKind::kBroken:
      PrintLine(report, "Modbus Set failed");
      return false;
    case RtuReplyKind::kException:
      if (report) PrintException(reply);
      return false;
    case RtuReplyKind::kAccepted:
      break;
  }
  return true;
}

bool ModbusRtuMaster::Set70(int command, int delayMs, bool report) {
  std::int32_t frameLength = 0;
  const std::uint8_t* frame = Set70Frame(command, &frameLength);
  if (frame == nullptr) {
    PrintLine(report, "Modbus Set70 failed invalid command");
    return false;
  }
  std::uint32_t written = 0;
  if (!WriteFrame(portHandle, frame, frameLength, &written)) {
    PrintLine(report, "Modbus Set70 failed");
    return false;
  }
  Wait(delayMs);
  std::uint8_t reply[kRtuReplyBufferSize];
  std::int32_t length = 0;
  if (written == 0 || !ReadReply(portHandle, reply, &length) || !Set70Acknowledged(reply, length)) {
    PrintLine(report, "Modbus Set70 failed");
    return false;
  }
  return true;
}
