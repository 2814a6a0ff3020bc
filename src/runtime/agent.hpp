#pragma once
// The agent body shared by the service and console hosts.
#include "base/stop_event.hpp"

namespace guardian {

struct AgentContext;

// Runs the agent until the stop event is signalled or start-up fails: 0 or 2.
int run_agent(bool console);

// Start-up in its fixed order: identity, store, storage directory, channel key. Each failure
// writes one ERROR line and returns false.
bool agent_startup(AgentContext& ctx);

// Serves the pipe and supervises the companion until the stop event is signalled; false when
// the pipe server could not be started.
bool agent_main_loop(AgentContext& ctx);

}  // namespace guardian
