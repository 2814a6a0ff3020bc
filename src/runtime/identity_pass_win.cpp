// The agent's identity pass, run in a child process.
#include <windows.h>

#include <string>

#include "base/stop_event.hpp"
#include "runtime/agent.hpp"
#include "runtime/config.hpp"
#include "base/log.hpp"

namespace guardian {

DeviceIdentity collect_agent_identity() {
  DeviceIdentity identity;
  std::string why;
  switch (identity_from_program(module_path(), kIdentityPassLimitMs, stop_event(), identity, why)) {
    case ChildPass::stopped:
      return {};  // no fingerprint: start-up ends, as the stop asks
    case ChildPass::done:
      // A "mac" part comes only from rows of the adapter query: the pass saw the machine
      // whole. Parts beside "mguid" without it mean WMI answered but listed no adapter (as
      // right after a boot): the identity stands, and counts as not settled yet. Only
      // "mguid" may mean WMI failed, and the pass in the agent then logs why.
      if (identity.parts.count("mac")) return identity;
      if (identity.parts.size() > identity.parts.count("mguid")) {
        identity.empty_queries = {kAdapterClass};
        return identity;
      }
      why = "no part from WMI";
      break;
    case ChildPass::timed_out:
      // WMI that does not answer the child would not answer the agent either, and a pass in
      // the agent cannot be cut short: it would hold start-up, and a stop, for as long as WMI
      // hangs. No identity this time; start-up fails (or the settle loop tries again).
      log_warn("identity pass in a child process: " + why);
      return {};
    case ChildPass::failed:
      break;
  }
  log_warn("identity pass in a child process: " + why + "; running it in the agent");
  return collect_device_identity();
}

}  // namespace guardian
