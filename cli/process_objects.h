// The objects that live for the whole run, from before main until after it returns.
#pragma once

#include <string>
#include <vector>

#include "devlink/modbus_rtu_master.h"

extern std::vector<std::string> g_arguments;
extern ModbusRtuMaster g_rtuMaster;
