#include "cli/commands.h"

#include <cstdio>
#include <iostream>

#include "cli/arguments.h"
#include "cli/process_objects.h"

namespace {

void PrintValue(const char* label, ModbusRequest& block, int registerNumber) {
  block.GetRegister(registerNumber);
  std::cout << label << block.value << std::endl;
}

void PrintNumberedValues(const char* name, ModbusRequest& block, int firstRegister, int count) {
  for (int i = 0; i < count; ++i) {
    char label[16];
    std::snprintf(label, sizeof label, "%s-%02d\t", name, i + 1);
    PrintValue(label, block, firstRegister + i);
  }
}

}  // namespace

std::int32_t NumberArgument(std::size_t index) { return ToNumber(g_arguments[index]); }

void PrintProductBlock(ModbusRequest& block) {
  PrintValue("PRODUCT\t", block, kRegProduct);
  PrintValue("VERSION\t", block, kRegVersion);
  std::cout << std::endl;
}

void PrintInputBlock(ModbusRequest& block) {
  PrintNumberedValues("Input", block, kRegFirstInput, kInputCount);
}

void PrintOutputBlock(ModbusRequest& block) {
  PrintNumberedValues("Output", block, kRegFirstOutput, kOutputCount);
  std::cout << std::endl;
}
