// The objects that live for the whole run, from before main until after it returns.
#pragma once

#include <string>
#include <vector>

#include "devlink/modbus_rtu_master.h"
#include "devlink/modbus_tcp_client.h"

extern std::vector<std::string> g_arguments;
extern ModbusRtuMaster g_rtuMaster;
extern ModbusTcpClient g_tcpClient;
