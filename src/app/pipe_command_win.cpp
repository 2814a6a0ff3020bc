// "--ping", "--specs", "--peer": one authenticated request to the running agent, through the
// same client as the client library's.
#include <cstdio>

#include "app/commands.hpp"
#include "base/json_text.hpp"
#include "channel/channel_client.hpp"
#include "channel/pipe_client.hpp"
#include "runtime/config.hpp"

namespace guardian {

int pipe_command(const std::string& op, bool unpinned) {
  const std::wstring storage_dir = resolve_client_storage_dir();
  if (storage_dir.empty()) {
    std::fprintf(stderr, "%s\n", storage_dir_env_error().c_str());
    return 2;
  }
  ChannelClient client(ClientSettings{kGuardianPipe, unpinned ? std::wstring() : module_dir(), kClientTimeoutMs},
                       KeySettings{storage_dir, IdentitySource::own_thread, {}});
  const ClientReply answer = client.request(op);
  switch (answer.result) {
    case ClientResult::no_key:
      std::fputs("channel.bin not readable \xE2\x80\x94 is the guardian running?\n", stderr);
      return 2;
    case ClientResult::ok:
    case ClientResult::not_ok:
    case ClientResult::not_authentic:
    case ClientResult::untrusted_client:
      break;
    default:
      std::fprintf(stderr, "pipe error: %s\n", client_result_text(answer.result));
      return 3;
  }
  // The reply is printed whatever it holds, so that a refusal can be read.
  std::printf("%s\n", pretty_json(answer.reply).c_str());
  std::printf("mac: %s\n", answer.result == ClientResult::not_authentic || answer.result == ClientResult::untrusted_client
                                  ? "INVALID/absent"
                                  : "valid");
  std::fflush(stdout);
  return answer.result == ClientResult::ok ? 0 : 4;
}

}  // namespace guardian
