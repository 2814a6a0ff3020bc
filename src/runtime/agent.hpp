#pragma once
// The agent body shared by the service and console hosts.
#include <functional>
#include <string>

#include "base/stop_event.hpp"
#include "device/identity.hpp"
#include "runtime/storage_guard.hpp"

namespace guardian {

struct AgentContext;

// Runs the agent until the stop event is signalled or start-up fails: 0 or 2.
int run_agent(bool console);

// Start-up in its fixed order: identity, store, storage directory, channel key. Each failure
// writes one ERROR line and returns false.
bool agent_startup(AgentContext& ctx);

// Where the agent runs an identity pass: in a child process, this program started with
// --fingerprint, whose document is read back (WMI and COM are then loaded into that
// short-lived process and leave with it), or in the agent itself. Tests give stand-ins.
struct IdentityPasses {
  std::function<ChildPass(DeviceIdentity&, std::string& why)> in_child;
  std::function<DeviceIdentity()> in_agent;
};
IdentityPasses agent_identity_passes();

// The device identity for the agent, from the pass in a child process. A document without a
// "mac" part but with other WMI parts (a machine that does not list its adapters yet, as
// right after a boot) counts as not settled. At the first attempt, when the child cannot be
// run or fails, or only "mguid" came back (WMI may have failed), the pass runs in the agent,
// with one WARN line, so that a WMI failure is logged with its cause; later attempts (the
// settle loop's) never run it there. Either pass is waited for together with the stop event
// and within a limit: a stop, or a pass that outlasts its limit, gives an identity without a
// fingerprint at once. A pass in the agent that is left behind ends by itself.
DeviceIdentity collect_agent_identity(bool first_attempt, const IdentityPasses& passes = agent_identity_passes());

// Serves the pipe and supervises the companion until the stop event is signalled; false when
// the pipe server could not be started.
bool agent_main_loop(AgentContext& ctx);

// For "--install" and "--uninstall", whose lines belong in the agent's own log: the storage
// folder the service uses (storage_dir_in_use) checked as the agent's start-up checks it
// before writing there, without a fallback of its own (the default made as the agent makes it
// when create is set; otherwise used only when it is there; both levels owned and listed as
// LocalSystem's check requires, also when the command does not run as LocalSystem), and the
// log configured on it, without a copy on standard error. The returned check holds the folder
// until it is destroyed; when its refused is set, no log was configured.
StorageCheck open_agent_log(bool create);

}  // namespace guardian
