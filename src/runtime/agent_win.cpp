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
#include "base/event_log.hpp"
#include "base/log.hpp"
#include "base/object_owner.hpp"
#include "runtime/storage_guard.hpp"
#include "base/text.hpp"

namespace guardian {
namespace {

constexpr DWORD kLoopWakeMs = 1000;
constexpr int64_t kFirstCheckCapSec = 10;

// A start-up that ends the run: for the service the reason in the Event Log, where it shows
// even when there is no log file to read (and before the entry that says so), and the ERROR line.
void startup_failed(const std::string& reason) {
  report_event(AgentEvent::startup_failed, {reason});
  log_error(reason);
}

void agent_stopped() {
  log_info("guardian stopped");
  report_event(AgentEvent::stopped);
}

bool stop_requested() {
  const HANDLE stop = stop_event();
  return stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
}

// One agent per pipe name: when another process serves it, one ERROR line and false.
bool pipe_name_free() {
  const std::string taken = pipe_taken_by_another_process(kGuardianPipe);
  if (taken.empty()) return true;
  startup_failed(taken + "; only one agent may run on a machine");
  return false;
}

IdentitySettling settling_in(const std::wstring& storage_dir) {
  IdentitySettling hooks;
  hooks.collect = [] { return collect_agent_identity(false); };
  hooks.probe = [storage_dir](const DeviceIdentity& identity) {
    const ProtectedStore store(storage_dir, identity.fingerprint);
    const ChannelFileState state = probe_channel_file(store);
    // A folder in channel.bin's place opens under no identity: no wait helps, and start-up
    // then says what stands there.
    if (state == ChannelFileState::does_not_open && channel_file_problem(store).kind == ChannelFileProblem::Kind::folder)
      return ChannelFileState::missing;
    return state;
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

// In the agent's own folder the log has an access list of its own, which a log left by an
// older version gets now; elsewhere the folder is the caller's, and so is its list. The storage
// check's warnings are its first lines.
void configure_agent_log(const std::wstring& storage_dir, bool console, bool own_log_list,
                         const std::vector<std::string>& warnings) {
  const std::wstring log_path = path_join(storage_dir, L"guardian.log");
  const std::string log_list_failure = own_log_list ? secure_log_files(log_path) : std::string();
  configure_log(log_path, console, own_log_list ? kLogFileSddl : nullptr);
  for (const std::string& line : warnings) log_warn(line);
  if (!log_list_failure.empty()) log_warn("log keeps the access list it had: " + log_list_failure);
}

}  // namespace

StorageCheck open_agent_log(bool create) {
  const std::wstring dir = storage_dir_in_use();
  StorageCheck check;
  const DWORD attributes = GetFileAttributesW(dir.c_str());
  if ((!create || !is_default_storage_dir(dir)) &&
      (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))) {
    check.refused = "no storage folder";
    return check;
  }
  check = secure_default_storage_dir(dir);
  // Only LocalSystem's check judges owners and lists (and moves aside what fails): anyone else
  // writes there only when both levels pass that rule as they stand, so that an installation
  // by hand never writes into a folder a user made and could redirect.
  if (check.refused.empty() && !runs_as_local_system()) check.refused = storage_levels_untrusted(dir);
  if (check.refused.empty()) check.refused = prepare_storage_dir(dir);
  if (!check.refused.empty()) {
    check.held.reset();
    return check;
  }
  configure_agent_log(dir, false, true, check.warnings);
  return check;
}

bool agent_startup(AgentContext& ctx) {
  // Before anything else, so that a second agent leaves no trace in its storage directory.
  if (!pipe_name_free()) return false;
  ctx.identity = collect_agent_identity(true);
  if (ctx.identity.fingerprint.size() != 64) {
    if (stop_requested()) return false;  // stopped during the identity pass
    startup_failed("fingerprint failed");
    return false;
  }
  const std::string unusable = prepare_storage_dir(ctx.storage_dir);
  if (!unusable.empty()) {
    startup_failed("storage dir unusable: " + to_utf8(ctx.storage_dir) + " (" + unusable + ")");
    return false;
  }
  // Before the channel secret is in memory: a crash from here on leaves its dump where only
  // LocalSystem and the Administrators can read it.
  if (ctx.own_storage) {
    const std::string dumps = prepare_dump_folder(ctx.storage_dir);
    if (!dumps.empty()) log_warn(dumps);
  }
  // Nothing from here on reads or moves folders whatever their access lists say.
  if (ctx.service) {
    const std::string kept = drop_storage_privileges();
    if (!kept.empty()) log_warn("the storage check's privileges are kept: " + kept);
  }
  if (settle_identity(ctx.identity, settling_in(ctx.storage_dir)) == SettleResult::stopped) return false;
  ctx.store = ProtectedStore(ctx.storage_dir, ctx.identity.fingerprint);
  std::string created_failure;
  Bytes secret = load_or_create_channel_secret(ctx.store, &created_failure);
  if (secret.size() != kChannelSecretSize) {
    // Said with its cause and remedy: the Event Log entry may be all an administrator reads.
    std::string reason = "no channel secret";
    const ChannelFileProblem problem = channel_file_problem(ctx.store);
    if (problem.kind != ChannelFileProblem::Kind::none) {
      reason += ": channel.bin " + problem.text;
    } else if (!created_failure.empty()) {
      reason += ": " + created_failure;
    }
    if (problem.kind == ChannelFileProblem::Kind::folder)
      reason += "; as an administrator: " + channel_folder_steps(to_utf8(ctx.store.path_of(kChannelFile)));
    if (problem.kind == ChannelFileProblem::Kind::sealed_elsewhere ||
        problem.kind == ChannelFileProblem::Kind::not_a_secret) {
      if (!identity_settled(ctx.identity))
        reason += "; but WMI listed no network adapter, so this device's fingerprint may lack a part it has at "
                  "other times: if the hardware did not change, find out why first";
      reason += "; to renew the secret, as an administrator: " +
                channel_renewal_steps(to_utf8(ctx.store.path_of(kChannelFile)));
    }
    startup_failed(reason);
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
      startup_failed("pipe " + to_utf8(kGuardianPipe) + " is already served by another process (" + reason +
                     "); only one agent may run on a machine");
    } else {
      startup_failed("pipe server could not be started: " + reason);
    }
    ctx.pipe_server.reset();
    return false;
  }
  report_event(AgentEvent::started, {build::kVersion, to_utf8(kGuardianPipe)});

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
  agent_stopped();
  return true;
}

int run_agent(bool console) {
  std::wstring storage_dir = resolve_storage_dir(console);
  if (storage_dir.empty()) {
    configure_log(std::wstring(), console);
    startup_failed("storage dir unusable: " + storage_dir_env_error());
    return 2;
  }
  // The default folder is checked before the first line of the log is written there; as
  // LocalSystem, one that a user keeps from being used gives way to a folder of the agent's
  // own. Lives to the end of the run: it holds the levels of the folder used open.
  StorageCheck check;
  const bool own_folder = is_default_storage_dir(storage_dir);
  StorageGuardOptions options;
  options.as_system = own_folder && runs_as_local_system();
  options.fall_back = true;
  options.readable_file = kChannelFile;  // a user who keeps every client from the secret is left behind too
  const std::wstring recorded = options.as_system ? storage_dir_in_use() : std::wstring();
  if (!recorded.empty() && !is_default_storage_dir(recorded)) options.recorded_fallback = recorded;
  if (own_folder) {
    check = secure_storage(storage_dir, options);
  } else {
    create_storage_dir(storage_dir);
  }
  if (!check.refused.empty()) {
    configure_log(std::wstring(), console);  // nothing goes into a folder that failed the check
    startup_failed("storage dir unusable: " + to_utf8(storage_dir) + " (" + check.refused + ")");
    return 2;
  }
  const std::wstring default_dir = storage_dir;
  if (own_folder) storage_dir = check.dir;
  const std::string unrecorded = options.as_system ? record_storage_in_use(storage_dir, !check.fallback.empty()) : "";
  configure_agent_log(storage_dir, console, own_folder, check.warnings);
  if (!unrecorded.empty()) log_warn(unrecorded);
  if (!check.fallback.empty()) {
    report_event(AgentEvent::storage_fallback, {check.fallback});
    log_error(check.fallback);
  } else if (!options.recorded_fallback.empty()) {
    log_warn(storage_fallback_left_text(to_utf8(default_dir), to_utf8(dir_of(options.recorded_fallback))));
  }

  AgentContext ctx(storage_dir, module_dir());
  ctx.own_storage = own_folder;
  ctx.service = !console;
  if (console) ctx.watchdog_interval_sec = watchdog_interval_from_env();

  int result = 2;
  if (agent_startup(ctx)) {
    if (agent_main_loop(ctx)) result = 0;
  } else if (stop_requested()) {
    // Stopped while start-up waited for the identity: an ordinary stop, not a failure.
    agent_stopped();
    result = 0;
  }
  return result;
}

}  // namespace guardian
