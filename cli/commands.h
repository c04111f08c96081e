// The eight command handlers and the module's register map. A handler reads its arguments from
// g_arguments and returns false only when they are too few.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devlink/modbus_request.h"

inline constexpr int kRegModbusAddress = 7;
inline constexpr int kRegBaudCode = 14;
inline constexpr int kRegFirstInput = 1001;
inline constexpr int kInputCount = 10;
inline constexpr int kRegFirstOutput = 2001;
inline constexpr int kOutputCount = 12;
inline constexpr int kRegProduct = 3001;
inline constexpr int kRegVersion = 3002;

inline constexpr int kPollPeriodMs = 1000;
inline constexpr int kReopenDelayMs = 100;

bool CmdComPorts();
bool CmdComScan();
bool CmdComGetStatus();
bool CmdComSetModbus();
bool CmdComSetBaud();
bool CmdIpIps();
bool CmdIpGetStatus();
bool CmdIpSetModbus();

// Entry `index` of g_arguments as a number.
std::int32_t NumberArgument(std::size_t index);

// The status report's three blocks, each printed from a block that its read has just filled.
void PrintProductBlock(ModbusRequest& block);
void PrintInputBlock(ModbusRequest& block);
void PrintOutputBlock(ModbusRequest& block);
