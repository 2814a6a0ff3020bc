#pragma once
// The process-wide stop event: one manual-reset event that a host creates once and that
// every long wait of the process also waits on. Signalling it ends the agent body.
#include <windows.h>

namespace guardian {

// Null until a host creates it.
HANDLE stop_event();
// Creates the stop event once (manual reset, unsignalled); later calls keep the first one.
HANDLE create_stop_event();

}  // namespace guardian
