// The status report as both GETSTATUS commands print it, for the module the e2e tests poll:
// product 1, version 12, inputs 101..110, outputs 201..212.
#pragma once

#include <cstdint>
#include <string>

namespace e2e {

// What COMGETSTATUS prints before its first status block, the empty line of every command first.
inline std::string SerialPollHeader(int port, int rate) {
  return "\n\nPolling Port " + std::to_string(port) + " Baud Rate " + std::to_string(rate) +
         "\n--------------------\n";
}
// The end of a serial poll, the command's closing empty line included.
inline const std::string kSerialPollFailed = "\nPolling failed\n\n";

inline std::string ProductBlock(int product, int version) {
  return "PRODUCT\t" + std::to_string(product) + "\nVERSION\t" + std::to_string(version) + "\n\n";
}

// `name`-01 to `name`-`count`, the value of line i being first + i.
inline std::string NumberedBlock(const char* name, int count, int first) {
  std::string text;
  for (int i = 1; i <= count; ++i) {
    text += std::string(name) + (i < 10 ? "-0" : "-") + std::to_string(i) + "\t" +
            std::to_string(first + i) + "\n";
  }
  return text;
}

inline const std::string kInputs = NumberedBlock("Input", 10, 100);
inline const std::string kOutputs = NumberedBlock("Output", 12, 200) + "\n";
inline const std::string kCycle = ProductBlock(1, 12) + kInputs + kOutputs;

// Works for the module on a pty and on TCP alike.
template <typename Module>
void FillStatus(Module& module) {
  for (int i = 1; i <= 10; ++i) module.SetRegister(1000 + i, static_cast<std::uint16_t>(100 + i));
  for (int i = 1; i <= 12; ++i) module.SetRegister(2000 + i, static_cast<std::uint16_t>(200 + i));
}

}  // namespace e2e
