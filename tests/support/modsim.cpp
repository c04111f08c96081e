// Serves one simulated module on a pty link, for trying the tool by hand:
//   modsim --link /tmp/com/COM3 &
//   MX40R_COM_DIR=/tmp/com mx40r COMGETSTATUS 3 19200
// or on Modbus over TCP:
//   modsim --tcp 127.0.0.5 &
//   mx40r IPGETSTATUS 127.0.0.5
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/module_simulator.h"
#include "tests/support/tcp_module_server.h"

namespace {

constexpr char kUsage[] =
    "usage: modsim --link PATH | --tcp ADDRESS [--rate 19200] [--address 254] [--product 1]\n"
    "              [--version 12] [--register N=V]... [--silent] [--stop-after N]\n"
    "\n"
    "Plays one I/O module on a pseudo-terminal until SIGINT or SIGTERM.\n"
    "  --link PATH      symlink to create for the pty (its folder is made if missing)\n"
    "  --tcp ADDRESS    serve Modbus over TCP on ADDRESS port 502 instead of a pty\n"
    "  --rate R         the module's line rate: 9600, 19200, 38400, 57600 or 115000\n"
    "  --address A      the module's own Modbus address (it always answers 254 as well)\n"
    "  --product P      register 3001\n"
    "  --version V      register 3002\n"
    "  --register N=V   set register N (7, 14, 1001-1010, 2001-2012, 3001, 3002); repeatable\n"
    "  --silent         receive and print frames but never answer\n"
    "  --stop-after N   answer only the first N frames, then fall silent\n"
    "Each frame received is printed as a hex line, with the reply or \"ignored\".\n";

bool ParseNumber(const char* text, long low, long high, long* number) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
  *number = value;
  return true;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "modsim: %s\n%s", message.c_str(), kUsage);
  return 2;
}

int ServeTcp(const std::string& address, const modsim::ModuleOptions& options,
             const std::vector<std::pair<int, std::uint16_t>>& registers, bool silent,
             int stopAfter) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  modsim::TcpModuleServer server(options);
  for (const auto& [reg, value] : registers) {
    if (!server.SetRegister(reg, value)) {
      return UsageError("register " + std::to_string(reg) + " is not in the module's map");
    }
  }
  if (silent) server.SetFault(modsim::FrameKind::kAny, modsim::Fault::Silent());
  server.StopAfter(stopAfter);
  server.SetFrameObserver([](const modsim::TcpFrame& frame) {
    std::printf("%s on connection %d: %s%s\n", modsim::Hex(frame.bytes).c_str(), frame.connection,
                frame.answered ? "answered " : "ignored",
                frame.answered ? modsim::Hex(frame.reply).c_str() : "");
    std::fflush(stdout);
  });
  std::string error;
  if (!server.StartAt(address, modsim::kModbusTcpPort, &error)) {
    std::fprintf(stderr, "modsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("modsim: Modbus TCP on %s:%d\n", address.c_str(), server.Port());
  std::fflush(stdout);
  int received = 0;
  sigwait(&stopSignals, &received);
  server.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string link;
  std::string tcpAddress;
  long rate = 19200;
  modsim::ModuleOptions options;
  std::vector<std::pair<int, std::uint16_t>> registers;
  bool silent = false;
  long stopAfter = -1;

  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (flag == "--silent") {
      silent = true;
      continue;
    }
    if (i + 1 >= argc) return UsageError("missing value after " + flag);
    const char* value = argv[++i];
    long number = 0;
    if (flag == "--link") {
      link = value;
    } else if (flag == "--tcp") {
      tcpAddress = value;
    } else if (flag == "--rate") {
      if (!ParseNumber(value, 1, 4000000, &rate) ||
          modsim::RateBaudCode(static_cast<int>(rate)) == 0) {
        return UsageError(std::string("rate not one of the module's five: ") + value);
      }
    } else if (flag == "--address") {
      if (!ParseNumber(value, 0, 255, &number)) return UsageError("bad address");
      options.address = static_cast<int>(number);
    } else if (flag == "--product") {
      if (!ParseNumber(value, 0, 65535, &number)) return UsageError("bad product code");
      options.product = static_cast<std::uint16_t>(number);
    } else if (flag == "--version") {
      if (!ParseNumber(value, 0, 65535, &number)) return UsageError("bad version");
      options.version = static_cast<std::uint16_t>(number);
    } else if (flag == "--stop-after") {
      if (!ParseNumber(value, 0, 1000000000, &stopAfter)) return UsageError("bad frame count");
    } else if (flag == "--register") {
      const char* equals = std::strchr(value, '=');
      long reg = 0;
      if (equals == nullptr || !ParseNumber(std::string(value, equals).c_str(), 1, 65536, &reg) ||
          !ParseNumber(equals + 1, 0, 65535, &number)) {
        return UsageError(std::string("bad register setting: ") + value);
      }
      registers.emplace_back(static_cast<int>(reg), static_cast<std::uint16_t>(number));
    } else {
      return UsageError("unknown option " + flag);
    }
  }
  if (!tcpAddress.empty()) {
    return ServeTcp(tcpAddress, options, registers, silent, static_cast<int>(stopAfter));
  }
  if (link.empty()) return UsageError("--link or --tcp is required");
  options.baudCode = modsim::RateBaudCode(static_cast<int>(rate));

  const std::string::size_type slash = link.rfind('/');
  if (slash != std::string::npos && slash > 0) mkdir(link.substr(0, slash).c_str(), 0777);

  // Blocked before the simulator's thread starts, so that only sigwait below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  modsim::ModuleSimulator simulator(link, options);
  for (const auto& [reg, value] : registers) {
    if (!simulator.SetRegister(reg, value)) {
      return UsageError("register " + std::to_string(reg) + " is not in the module's map");
    }
  }
  if (silent) simulator.SetFault(modsim::FrameKind::kAny, modsim::Fault::Silent());
  simulator.StopAfter(static_cast<int>(stopAfter));
  simulator.SetFrameObserver([](const modsim::ReceivedFrame& frame) {
    std::printf("%s at %d: %s%s\n", modsim::Hex(frame.bytes).c_str(), frame.rate,
                frame.answered ? "answered " : "ignored",
                frame.answered ? modsim::Hex(frame.reply).c_str() : "");
    std::fflush(stdout);
  });
  std::string error;
  if (!simulator.Start(&error)) {
    std::fprintf(stderr, "modsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("modsim: COM link %s -> %s at %d baud\n", link.c_str(), simulator.SlavePath().c_str(),
              simulator.Rate());
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  simulator.Stop();
  return 0;
}
