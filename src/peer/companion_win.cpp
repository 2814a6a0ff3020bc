#include "channel/auth.hpp"
#include "channel/pipe_client.hpp"
#include "peer/companion.hpp"
#include "base/stop_event.hpp"
#include "channel/channel_context.hpp"
#include "base/clock.hpp"
#include "base/event_log.hpp"
#include "base/log.hpp"
#include "store/crypto.hpp"

namespace guardian {

void check_companion(ChannelContext& context) { check_companion_at(context, kSentinelPipe); }

void check_companion_at(ChannelContext& context, const std::wstring& pipe_name) {
  const HANDLE stop = stop_event();
  const std::string nonce = random_hex(16);
  const nlohmann::json request = make_request(context.channel_key, "ping", nonce);

  nlohmann::json reply;
  std::string error;
  if (nonce.empty()) {
    error = "io";  // no random nonce could be made: nothing is sent
  } else if (pipe_request(pipe_name, context.install_dir, request, reply, error, kCompanionTimeoutMs, stop)) {
    const auto ok = reply.find("ok");
    const bool good = verify_reply(context.channel_key, reply, nonce) && ok != reply.end() && ok->is_boolean() &&
                      ok->get<bool>();
    if (!good) error = "bad_response";
  }
  // A stop during the call ends the check early; it is not judged, so stopping leaves
  // neither a failure nor a change of state behind.
  if (stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return;
  const bool succeeded = error.empty();
  if (!succeeded) log_warn("peer ping failed: " + error);

  std::string old_state;
  std::string new_state;
  int32_t failures = 0;
  int64_t old_since = 0;
  {
    std::lock_guard<std::mutex> hold(context.state_lock);
    old_state = context.peer_state;
    old_since = context.peer_since;
    new_state = next_peer_state(succeeded, context.peer_failures);
    failures = context.peer_failures;
    context.peer_state = new_state;
    if (new_state != old_state) {
      context.peer_since = now_seconds();
      log_warn("peer sentinel: " + old_state + " -> " + new_state);
    }
  }
  // An administrator hears of the companion when it goes missing and when it is back, not of
  // every check that fails.
  if (new_state == old_state) return;
  if (new_state == "missing") {
    report_event(AgentEvent::companion_missing, {std::to_string(failures), error});
  } else if (old_state == "missing") {
    report_event(AgentEvent::companion_back, {iso8601_utc(old_since)});
  }
}

}  // namespace guardian
