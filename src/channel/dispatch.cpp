// Request dispatch: every path returns an authenticated reply envelope.
#include "channel/dispatch.hpp"

#include <chrono>

#include "build_config.hpp"
#include "channel/auth.hpp"
#include "channel/channel_context.hpp"
#include "channel/client_rules.hpp"
#include "base/clock.hpp"
#include "base/log.hpp"
#include "base/process.hpp"

namespace guardian {
namespace {

// An op name from outside is logged up to this many bytes.
constexpr size_t kLoggedOpBytes = 64;

int64_t steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The first kLoggedOpBytes of the name, cut between characters, and "..." when cut.
std::string op_for_log(const std::string& op) {
  if (op.size() <= kLoggedOpBytes) return op;
  size_t cut = kLoggedOpBytes;
  while (cut > 0 && (static_cast<unsigned char>(op[cut]) & 0xC0) == 0x80) --cut;
  return op.substr(0, cut) + "...";
}

void log_bad_mac(ChannelContext& context, const std::string& op) {
  uint64_t skipped = 0;
  if (!context.bad_mac_lines.admit(steady_ms(), skipped)) return;
  std::string line = "pipe: bad mac for op " + op_for_log(op);
  if (skipped) line += "; " + std::to_string(skipped) + " more bad mac without a line";
  log_warn(line);
}

}  // namespace

void log_unreported_bad_macs(ChannelContext& context, bool force) {
  if (const uint64_t count = context.bad_mac_lines.take_unreported(steady_ms(), force))
    log_warn("pipe: " + std::to_string(count) + " more bad mac without a line");
}

nlohmann::json make_error_reply(const ChannelContext& context, const std::string& nonce, const std::string& code) {
  return make_reply(context.channel_key, false, nonce, nlohmann::json{{"error", code}});
}

nlohmann::json dispatch_request(ChannelContext& context, const nlohmann::json& request) {
  const std::string op = member_text(request, "op");
  const std::string nonce = reply_nonce(member_text(request, "nonce"));

  if (op != "ping" && op != "specs") {
    if (!request_mac_valid(context.channel_key, op, nonce, member_text(request, "mac"))) {
      log_bad_mac(context, op);
      return make_error_reply(context, nonce, "bad_mac");
    }
  }

  if (op == "ping") {
    nlohmann::json body = {{"t", iso8601_utc(now_seconds())},
                           {"agent", "guardian"},
                           {"version", std::string(build::kVersion)},
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
    // "checked" and "reason" (the code of the last failed check) let a client tell the "ok" of
    // a companion not checked yet from one that answered, and why one failed.
    nlohmann::json body = {{"peer", context.peer_state},
                           {"since", iso8601_utc(context.peer_since)},
                           {"checked", context.peer_checked},
                           {"reason", context.peer_state == "ok" ? std::string() : context.peer_reason}};
    return make_reply(context.channel_key, true, nonce, std::move(body));
  }
  return make_error_reply(context, nonce, "unknown_op");
}

}  // namespace guardian
