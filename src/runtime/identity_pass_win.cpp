// The agent's identity pass, run in a child process, or on a thread of the agent.
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "base/log.hpp"
#include "base/own_thread.hpp"
#include "base/stop_event.hpp"
#include "base/text.hpp"
#include "runtime/agent.hpp"
#include "runtime/config.hpp"

namespace guardian {
namespace {

// "<this program>" --fingerprint; a stop ends the child at once.
ChildPass identity_from_child(DeviceIdentity& identity, std::string& why) {
  return identity_from_program(module_path(), kIdentityPassLimitMs, stop_event(), identity, why);
}

// One pass on a thread of its own, waited for together with the stop event, for at most
// kIdentityPassLimitMs.
ChildPass identity_in_agent(const std::function<DeviceIdentity()>& pass, DeviceIdentity& identity, std::string& why) {
  return identity_on_own_thread(pass, kIdentityPassLimitMs, stop_event(), identity, why);
}

}  // namespace

IdentityPasses agent_identity_passes() { return {identity_from_child, collect_device_identity}; }

DeviceIdentity collect_agent_identity(bool first_attempt, const IdentityPasses& passes) {
  DeviceIdentity identity;
  std::string why;
  switch (passes.in_child(identity, why)) {
    case ChildPass::stopped:
      return {};  // no fingerprint: start-up ends, as the stop asks
    case ChildPass::done:
      // A "mac" part comes only from rows of the adapter query: the pass saw the machine
      // whole. Parts beside "mguid" without it mean WMI answered but listed no adapter (as
      // right after a boot): the identity stands, and counts as not settled yet. Only
      // "mguid" may mean WMI failed: the first attempt runs the pass in the agent, which
      // then logs why; a later one takes it as not settled.
      if (identity.parts.count("mac")) return identity;
      if (!first_attempt || identity.parts.size() > identity.parts.count("mguid")) {
        identity.empty_queries = {kAdapterClass};
        return identity;
      }
      why = "no part from WMI";
      break;
    case ChildPass::timed_out:
      // WMI that does not answer the child would not answer the agent either. No identity
      // this time; start-up fails (or the settle loop tries again).
      log_warn("identity pass in a child process: " + why);
      return {};
    case ChildPass::no_resources:
    case ChildPass::failed:
      if (first_attempt) break;
      log_warn("identity pass in a child process: " + why);
      return {};
  }
  log_warn("identity pass in a child process: " + why + "; running it in the agent");
  identity = {};
  why.clear();
  switch (identity_in_agent(passes.in_agent, identity, why)) {
    case ChildPass::done:
      return identity;
    case ChildPass::stopped:
      return {};
    default:
      log_warn("identity pass in the agent: " + why);
      return {};
  }
}

}  // namespace guardian
