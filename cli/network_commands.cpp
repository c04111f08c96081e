// The commands on the network, all on g_tcpClient.
#include "cli/commands.h"
#include "cli/process_objects.h"

bool CmdIpIps() { return true; }

bool CmdIpGetStatus() { return g_arguments.size() >= 3; }

bool CmdIpSetModbus() { return g_arguments.size() >= 4; }
