// Request dispatch: every path returns an authenticated reply envelope.
#include "channel/dispatch.hpp"

#include "build_config.hpp"
#include "channel/auth.hpp"
#include "runtime/agent_context.hpp"
#include "base/clock.hpp"
#include "runtime/log.hpp"
#include "base/process.hpp"
#include "store/crypto.hpp"

namespace guardian {

nlohmann::json make_error_reply(const AgentContext& context, const std::string& nonce, const std::string& code) {
  return make_reply(context.channel_key, false, nonce, nlohmann::json{{"error", code}});
}

nlohmann::json dispatch_request(AgentContext& context, const nlohmann::json& request) {
  const std::string op = member_text(request, "op");
  std::string nonce = member_text(request, "nonce");
  if (nonce.empty() || nonce.size() > kMaxNonceBytes) nonce = random_hex(16);

  if (op != "ping" && op != "specs") {
    if (!request_mac_valid(context.channel_key, op, nonce, member_text(request, "mac"))) {
      log_warn("pipe: bad mac for op " + op);
      return make_error_reply(context, nonce, "bad_mac");
    }
  }

  if (op == "ping") {
    nlohmann::json body = {{"t", iso8601_utc(now_seconds())},
                           {"agent", "guardian"},
                           {"version", build::kVersion},
                           {"pid", static_cast<int64_t>(current_process_id())},
                           {"fp", context.identity.fingerprint}};
    return make_reply(context.channel_key, true, nonce, std::move(body));
  }
  if (op == "specs") {
    nlohmann::json body = {{"nonce", nonce},
                           {"fp", context.identity.fingerprint},
                           {"fp_parts", context.identity.parts},
                           {"hw", context.identity.hardware}};
    return make_reply(context.channel_key, true, nonce, std::move(body));
  }
  if (op == "peer") {
    std::lock_guard<std::mutex> hold(context.state_lock);
    nlohmann::json body = {{"peer", context.peer_state}, {"since", iso8601_utc(context.peer_since)}};
    return make_reply(context.channel_key, true, nonce, std::move(body));
  }
  return make_error_reply(context, nonce, "unknown_op");
}

}  // namespace guardian
