#include "recording_comm.h"

#include <cstdio>
#include <cstring>

#include "hex_text.h"
#include "platform/clock.h"
#include "platform/comm.h"

RecordingComm g_comm;

namespace {

int g_device = 0;
platform::CommHandle const kOpenDevice = &g_device;

bool Record(const std::string& call, const char* step = "") {
  g_comm.calls.push_back(call);
  return g_comm.failStep != step;
}

bool Valid(platform::CommHandle handle) { return handle == kOpenDevice; }

}  // namespace

namespace platform {

CommHandle CommOpen(const char* devicePath) {
  return Record(std::string("open ") + devicePath, "open") ? kOpenDevice : kInvalidCommHandle;
}

bool CommGetState(CommHandle handle, CommState& state) {
  state.baudRate = g_comm.reportedBaud;
  state.byteSize = 7;
  state.parity = 2;
  state.stopBits = 2;
  state.rtsControl = g_comm.reportedRtsControl;
  std::memset(state.native, 0xA5, sizeof state.native);
  return Record("getstate", "getstate") && Valid(handle);
}

bool CommSetState(CommHandle handle, const CommState& state) {
  bool nativeKept = true;
  for (const unsigned char byte : state.native) nativeKept = nativeKept && byte == 0xA5;
  return Record("setstate " + std::to_string(state.baudRate) + " " +
                    std::to_string(state.byteSize) + " " + std::to_string(state.parity) + " " +
                    std::to_string(state.stopBits) + " rts" + std::to_string(state.rtsControl) +
                    (nativeKept ? "" : " native-changed"),
                "setstate") &&
         Valid(handle);
}

bool CommSetTimeouts(CommHandle handle, const CommTimeouts& t) {
  return Record("timeouts " + std::to_string(t.readInterval) + " " +
                    std::to_string(t.readMultiplier) + " " + std::to_string(t.readConstant) + " " +
                    std::to_string(t.writeMultiplier) + " " + std::to_string(t.writeConstant),
                "timeouts") &&
         Valid(handle);
}

bool CommPurge(CommHandle handle, unsigned flags) {
  return Record("purge " + std::to_string(flags)) && Valid(handle);
}

bool CommEscapeFunction(CommHandle handle, CommEscape function) {
  Record(function == CommEscape::kSetRts ? "rts raise" : "rts lower");
  return false && Valid(handle);  // as a pty answers: the callers must not care
}

bool CommRead(CommHandle handle, std::uint8_t* buffer, std::uint32_t size,
              std::uint32_t* bytesRead) {
  Record("read " + std::to_string(size));
  *bytesRead = 0;
  if (!Valid(handle)) return false;
  if (g_comm.replies.empty()) return true;
  const std::vector<std::uint8_t> reply = g_comm.replies.front();
  g_comm.replies.pop_front();
  const std::uint32_t n = reply.size() < size ? static_cast<std::uint32_t>(reply.size()) : size;
  std::memcpy(buffer, reply.data(), n);
  *bytesRead = n;
  return true;
}

bool CommWrite(CommHandle handle, const std::uint8_t* data, std::uint32_t size,
               std::uint32_t* bytesWritten) {
  const bool ok = Record("write " + Hex(data, size), "write") && Valid(handle);
  *bytesWritten = ok && g_comm.failStep != "nothing-written" ? size : 0;
  return ok;
}

bool CommClose(CommHandle handle) { return Record("close") && Valid(handle); }

void SleepMs(std::uint32_t milliseconds) { Record("sleep " + std::to_string(milliseconds)); }
std::uint32_t TickCountMs() { return 0; }
std::uint32_t CurrentProcessId() { return 1; }
std::int64_t CalendarTimeSeconds() { return 0; }

}  // namespace platform
