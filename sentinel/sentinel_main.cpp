// ostrival_sentinel: the suite's companion watchdog in its least form. It serves
// \\.\pipe\Ostrival.Sentinel with the agent's frame format and client trust rule, and
// answers an authenticated "ping" under the same channel key. Ctrl+C stops it.
#include <windows.h>

#include <cstdio>

#include "base/binary_stdio.hpp"
#include "build_config.hpp"
#include "channel/auth.hpp"
#include "channel/pipe_client.hpp"
#include "channel/pipe_owner.hpp"
#include "channel/pipe_server.hpp"
#include "device/identity.hpp"
#include "base/stop_event.hpp"
#include "base/text.hpp"
#include "runtime/config.hpp"
#include "base/log.hpp"
#include "store/crypto.hpp"
#include "store/protected_store.hpp"

namespace guardian {
namespace {

BOOL WINAPI on_console_event(DWORD) {
  if (HANDLE ev = stop_event()) SetEvent(ev);
  return TRUE;
}

nlohmann::json answer(const Bytes& key, const nlohmann::json& request) {
  const std::string op = member_text(request, "op");
  std::string nonce = member_text(request, "nonce");
  if (nonce.empty() || nonce.size() > kMaxNonceBytes) nonce = random_hex(16);
  if (!request_mac_valid(key, op, nonce, member_text(request, "mac")))
    return make_reply(key, false, nonce, nlohmann::json{{"error", "bad_mac"}});
  if (op != "ping") return make_reply(key, false, nonce, nlohmann::json{{"error", "unknown_op"}});
  return make_reply(key, true, nonce, nlohmann::json{{"agent", "sentinel"}, {"version", build::kVersion}});
}

int sentinel_main() {
  const HANDLE stop = create_stop_event();
  SetConsoleCtrlHandler(on_console_event, TRUE);
  configure_log(L"", true);

  const std::wstring storage_dir = resolve_storage_dir(true);
  if (storage_dir.empty()) {
    log_error("sentinel: " + storage_dir_env_error());
    return 2;
  }
  // One companion per pipe name: the agent would otherwise ping either of them at random.
  const std::string taken = pipe_taken_by_another_process(kSentinelPipe);
  if (!taken.empty()) {
    log_error("sentinel: " + taken + "; only one companion may run on a machine");
    return 2;
  }

  // The agent creates the channel secret; until it has, wait for it. A file that is there
  // and does not open may be sealed under an identity that this pass did not see whole
  // (right after a boot), so the identity is then collected again every few seconds.
  DeviceIdentity identity = collect_device_identity();
  Bytes key;
  for (int round = 1;; ++round) {
    const ProtectedStore store(storage_dir, identity.fingerprint);
    const ChannelFileState state = probe_channel_file(store);
    if (state == ChannelFileState::opens && read_channel_key(store, identity.fingerprint, key)) break;
    if (round == 1) log_warn("sentinel: waiting for channel.bin");
    if (WaitForSingleObject(stop, 1000) == WAIT_OBJECT_0) return 0;
    if (state == ChannelFileState::does_not_open && round % 5 == 0) identity = collect_device_identity();
  }

  PipeServer server(kSentinelPipe, module_dir(),
                    [&key](const nlohmann::json& request, const std::wstring&) { return answer(key, request); });
  if (!server.start()) {
    const std::string reason = server.last_error();
    log_error(server.name_taken() ? "sentinel: pipe " + to_utf8(kSentinelPipe) +
                                        " is already served by another process (" + reason +
                                        "); only one companion may run on a machine"
                                  : "sentinel: pipe server could not be started: " + reason);
    return 2;
  }
  log_info(std::string("sentinel ") + build::kVersion + " serving");
  WaitForSingleObject(stop, INFINITE);
  server.stop();
  log_info("sentinel stopped");
  return 0;
}

}  // namespace
}  // namespace guardian

int main() {
  guardian::use_binary_stdio();
  return guardian::sentinel_main();
}
