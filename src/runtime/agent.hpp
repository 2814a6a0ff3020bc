#pragma once
// The agent body shared by the service and console hosts.
#include "base/stop_event.hpp"
#include "device/identity.hpp"

namespace guardian {

struct AgentContext;

// Runs the agent until the stop event is signalled or start-up fails: 0 or 2.
int run_agent(bool console);

// Start-up in its fixed order: identity, store, storage directory, channel key. Each failure
// writes one ERROR line and returns false.
bool agent_startup(AgentContext& ctx);

// The device identity for the agent. The pass runs in a child process, this program started
// with --fingerprint, whose document is read back: WMI and COM are then loaded into that
// short-lived process and leave with it, instead of staying in the agent for its whole run.
// A document without a "mac" part but with other WMI parts (a machine that does not list its
// adapters yet, as right after a boot) counts as not settled. When the child cannot be run or
// fails, or only "mguid" came back (WMI may have failed), the pass runs here as before, with
// one WARN line, so that a WMI failure is logged with its cause. A stop ends the child at once
// and gives an identity without a fingerprint.
DeviceIdentity collect_agent_identity();

// Serves the pipe and supervises the companion until the stop event is signalled; false when
// the pipe server could not be started.
bool agent_main_loop(AgentContext& ctx);

}  // namespace guardian
