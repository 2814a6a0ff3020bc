// ostrival_sentinel: the suite's companion watchdog in its least form. It serves
// \\.\pipe\Ostrival.Sentinel with the agent's frame format and client trust rule, and
// answers an authenticated "ping" under the same channel key, which it holds, checks requests
// with and makes replies with through the client library's interface. Ctrl+C stops it.
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

#include "base/binary_stdio.hpp"
#include "base/json_text.hpp"
#include "base/log.hpp"
#include "base/stop_event.hpp"
#include "base/text.hpp"
#include "channel/pipe_client.hpp"
#include "channel/pipe_owner.hpp"
#include "channel/pipe_server.hpp"
#include "guardian_client.h"
#include "runtime/config.hpp"

namespace guardian {
namespace {

BOOL WINAPI on_console_event(DWORD) {
  if (HANDLE ev = stop_event()) SetEvent(ev);
  return TRUE;
}

struct ClientCloser {
  void operator()(guardian_client* client) const { guardian_client_close(client); }
};
using Client = std::unique_ptr<guardian_client, ClientCloser>;

// A request member as text: absent, or not a string, reads as "".
std::string text_member(const nlohmann::json& request, const char* name) {
  const auto it = request.find(name);
  return it != request.end() && it->is_string() ? it->get<std::string>() : std::string();
}

nlohmann::json answer(guardian_client* client, const nlohmann::json& request) {
  const std::string op = text_member(request, "op");
  const std::string nonce = text_member(request, "nonce");
  const bool authentic = guardian_client_check_request(client, op.c_str(), nonce.c_str(),
                                                       text_member(request, "mac").c_str()) == GUARDIAN_OK;
  nlohmann::json body = nlohmann::json{{"agent", "sentinel"}, {"version", guardian_version()}};
  if (!authentic) body = nlohmann::json{{"error", "bad_mac"}};
  else if (op != "ping") body = nlohmann::json{{"error", "unknown_op"}};
  char* reply = nullptr;
  const guardian_result made =
      guardian_client_make_reply(client, authentic && op == "ping", nonce.c_str(), compact_json(body).c_str(), &reply);
  nlohmann::json out = made == GUARDIAN_OK ? parse_json(reply, reply + std::strlen(reply))
                                           : nlohmann::json{{"ok", false}, {"body", {{"error", "internal"}}}};
  guardian_free(reply);
  return out;
}

int sentinel_main() {
  const HANDLE stop = create_stop_event();
  SetConsoleCtrlHandler(on_console_event, TRUE);
  configure_log(L"", true);

  const std::wstring storage_dir = resolve_client_storage_dir();
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

  // The companion owns its process, so the identity pass may run in it.
  guardian_client_options options{};
  options.size = sizeof options;
  options.flags = GUARDIAN_IDENTITY_IN_PROCESS;
  options.storage_folder = storage_dir.c_str();
  guardian_client* opened = nullptr;
  const guardian_result result = guardian_client_open(&options, &opened);
  const Client client(opened);
  if (result != GUARDIAN_OK) {
    log_error(std::string("sentinel: no channel client (") + guardian_result_text(result) + ")");
    return 2;
  }
  // The agent creates the channel secret; until it has, wait for it. The client collects the
  // identity again when the file is there and does not open (right after a boot a pass may
  // not see the machine whole).
  for (int round = 1; guardian_client_load_key(client.get()) != GUARDIAN_OK; ++round) {
    if (round == 1) log_warn("sentinel: waiting for channel.bin");
    if (WaitForSingleObject(stop, 1000) == WAIT_OBJECT_0) return 0;
  }

  PipeServer server(kSentinelPipe, module_dir(), [&client](const nlohmann::json& request, const std::wstring&) {
    return answer(client.get(), request);
  });
  if (!server.start()) {
    const std::string reason = server.last_error();
    log_error(server.name_taken() ? "sentinel: pipe " + to_utf8(kSentinelPipe) +
                                        " is already served by another process (" + reason +
                                        "); only one companion may run on a machine"
                                  : "sentinel: pipe server could not be started: " + reason);
    return 2;
  }
  log_info(std::string("sentinel ") + guardian_version() + " serving");
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
