// "--ping", "--specs", "--peer": one authenticated request to the running agent.
#include <cstdio>

#include "app/commands.hpp"
#include "channel/auth.hpp"
#include "channel/pipe_client.hpp"
#include "device/identity.hpp"
#include "runtime/config.hpp"
#include "base/json_text.hpp"
#include "store/crypto.hpp"
#include "store/protected_store.hpp"

namespace guardian {

int pipe_command(const std::string& op, bool unpinned) {
  const std::wstring storage_dir = resolve_storage_dir(true);
  if (storage_dir.empty()) {
    std::fprintf(stderr, "%s\n", storage_dir_env_error().c_str());
    return 2;
  }
  const DeviceIdentity identity = collect_device_identity();
  const ProtectedStore store(storage_dir, identity.fingerprint);
  Bytes key;
  if (!read_channel_key(store, identity.fingerprint, key)) {
    std::fputs("channel.bin not readable \xE2\x80\x94 is the guardian running?\n", stderr);
    return 2;
  }

  const std::string nonce = random_hex(16);
  if (nonce.empty()) {
    // Without a fresh nonce a reply could not be told from a replayed one.
    std::fputs("pipe error: io\n", stderr);
    return 3;
  }
  const nlohmann::json request = make_request(key, op, nonce);
  nlohmann::json reply;
  std::string error;
  if (!pipe_request(kGuardianPipe, unpinned ? std::wstring() : module_dir(), request, reply, error, 30000)) {
    std::fprintf(stderr, "pipe error: %s\n", error.c_str());
    return 3;
  }
  std::printf("%s\n", pretty_json(reply).c_str());
  const bool authentic = verify_reply(key, reply, nonce);
  std::printf("mac: %s\n", authentic ? "valid" : "INVALID/absent");
  std::fflush(stdout);
  const auto ok = reply.find("ok");
  const bool ok_true = ok != reply.end() && ok->is_boolean() && ok->get<bool>();
  return ok_true && authentic ? 0 : 4;
}

}  // namespace guardian
