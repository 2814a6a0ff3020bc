// The agent body: start-up in its fixed order, the pipe server, and the main loop.
#include <windows.h>

#include <algorithm>

#include "build_config.hpp"
#include "channel/auth.hpp"
#include "channel/dispatch.hpp"
#include "channel/pipe_client.hpp"
#include "channel/pipe_owner.hpp"
#include "channel/pipe_server.hpp"
#include "peer/companion.hpp"
#include "runtime/agent.hpp"
#include "runtime/agent_context.hpp"
#include "base/clock.hpp"
#include "runtime/config.hpp"
#include "runtime/identity_settle.hpp"
#include "base/log.hpp"
#include "runtime/storage_guard.hpp"
#include "base/text.hpp"

namespace guardian {
namespace {

constexpr DWORD kLoopWakeMs = 1000;
constexpr int64_t kFirstCheckCapSec = 10;

bool stop_requested() {
  const HANDLE stop = stop_event();
  return stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
}

// One agent per pipe name: when another process serves it, one ERROR line and false.
bool pipe_name_free() {
  const std::string taken = pipe_taken_by_another_process(kGuardianPipe);
  if (taken.empty()) return true;
  log_error(taken + "; only one agent may run on a machine");
  return false;
}

IdentitySettling settling_in(const std::wstring& storage_dir) {
  IdentitySettling hooks;
  hooks.collect = collect_agent_identity;
  hooks.probe = [storage_dir](const DeviceIdentity& identity) {
    return probe_channel_file(ProtectedStore(storage_dir, identity.fingerprint));
  };
  hooks.wait = [](uint32_t ms) {
    const HANDLE stop = stop_event();
    if (!stop) {
      Sleep(ms);
      return true;
    }
    return WaitForSingleObject(stop, ms) == WAIT_TIMEOUT;
  };
  hooks.now_ms = [] { return static_cast<uint64_t>(GetTickCount64()); };
  return hooks;
}

}  // namespace

bool agent_startup(AgentContext& ctx) {
  // Before anything else, so that a second agent leaves no trace in its storage directory.
  if (!pipe_name_free()) return false;
  ctx.identity = collect_agent_identity();
  if (ctx.identity.fingerprint.size() != 64) {
    if (stop_requested()) return false;  // stopped during the identity pass
    log_error("fingerprint failed");
    return false;
  }
  const std::string unusable = prepare_storage_dir(ctx.storage_dir);
  if (!unusable.empty()) {
    log_error("storage dir unusable: " + to_utf8(ctx.storage_dir) + " (" + unusable + ")");
    return false;
  }
  if (settle_identity(ctx.identity, settling_in(ctx.storage_dir)) == SettleResult::stopped) return false;
  ctx.store = ProtectedStore(ctx.storage_dir, ctx.identity.fingerprint);
  Bytes secret = load_or_create_channel_secret(ctx.store);
  if (secret.size() != kChannelSecretSize) {
    log_error("no channel secret");
    return false;
  }
  ctx.channel_key = derive_channel_key(secret, ctx.identity.fingerprint);
  std::fill(secret.begin(), secret.end(), 0);
  {
    std::lock_guard<std::mutex> hold(ctx.state_lock);
    ctx.peer_since = now_seconds();
  }
  if (ctx.watchdog_interval_sec != kDefaultWatchdogIntervalSec) {
    log_warn("OV_WATCHDOG_INTERVAL_SEC override: peer ping every " + std::to_string(ctx.watchdog_interval_sec) +
             " s");
  }
  log_info(std::string("guardian ") + build::kVersion + " up; fp " + ctx.identity.fingerprint.substr(0, 12) +
           "\xE2\x80\xA6 parts " + std::to_string(ctx.identity.parts.size()) + "; storage " +
           to_utf8(ctx.storage_dir));
  return true;
}

bool agent_main_loop(AgentContext& ctx) {
  if (ctx.pipe_server) ctx.pipe_server->stop();
  // Another agent may have taken the name while this one started up.
  if (!pipe_name_free()) return false;
  ctx.pipe_server = std::make_shared<PipeServer>(
      kGuardianPipe, ctx.install_dir,
      [&ctx](const nlohmann::json& request, const std::wstring&) { return dispatch_request(ctx, request); });
  if (!ctx.pipe_server->start()) {
    // Another process that made instances of the name, even one slipped in while this server
    // made its own, is taken for a second agent.
    const std::string reason = ctx.pipe_server->last_error();
    if (ctx.pipe_server->name_taken()) {
      log_error("pipe " + to_utf8(kGuardianPipe) + " is already served by another process (" + reason +
                "); only one agent may run on a machine");
    } else {
      log_error("pipe server could not be started: " + reason);
    }
    ctx.pipe_server.reset();
    return false;
  }

  const HANDLE stop = stop_event();
  int64_t due = now_seconds() + std::min(ctx.watchdog_interval_sec, kFirstCheckCapSec);
  while (WaitForSingleObject(stop, kLoopWakeMs) == WAIT_TIMEOUT) {
    log_unreported_bad_macs(ctx, false);
    const int64_t now = now_seconds();
    if (now >= due) {
      due = now + ctx.watchdog_interval_sec;
      check_companion(ctx);
    }
  }

  ctx.pipe_server->stop();
  log_unreported_bad_macs(ctx, true);
  log_info("guardian stopped");
  return true;
}

int run_agent(bool console) {
  const std::wstring storage_dir = resolve_storage_dir(console);
  if (storage_dir.empty()) {
    configure_log(L"", console);
    log_error("storage dir unusable: " + storage_dir_env_error());
    return 2;
  }
  // The default folder is checked before the first line of the log is written there.
  // Lives to the end of the run: it holds the default folder's levels open.
  StorageCheck check;
  if (is_default_storage_dir(storage_dir)) {
    check = secure_default_storage_dir(storage_dir);
  } else {
    create_storage_dir(storage_dir);
  }
  if (!check.refused.empty()) {
    configure_log(L"", console);  // nothing goes into a folder that failed the check
    log_error("storage dir unusable: " + to_utf8(storage_dir) + " (" + check.refused + ")");
    return 2;
  }
  configure_log(path_join(storage_dir, L"guardian.log"), console);
  for (const std::string& line : check.warnings) log_warn(line);

  AgentContext ctx(storage_dir, module_dir());
  if (console) ctx.watchdog_interval_sec = watchdog_interval_from_env();

  int result = 2;
  if (agent_startup(ctx)) {
    if (agent_main_loop(ctx)) result = 0;
  } else if (stop_requested()) {
    // Stopped while start-up waited for the identity: an ordinary stop, not a failure.
    log_info("guardian stopped");
    result = 0;
  }
  return result;
}

}  // namespace guardian
