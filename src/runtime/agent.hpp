#pragma once
// The agent body shared by the service and console hosts.
#include <windows.h>

namespace guardian {

// The process-wide manual-reset stop event; null until a host creates it.
HANDLE stop_event();
// Creates the stop event once (manual reset, unsignalled); later calls keep the first one.
HANDLE create_stop_event();

// Runs the agent until the stop event is signalled or start-up fails: 0 or 2.
int run_agent(bool console);

}  // namespace guardian
