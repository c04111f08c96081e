// The socket library's start and stop around every command.
#pragma once

int StartNetworking();
int StopNetworking();
