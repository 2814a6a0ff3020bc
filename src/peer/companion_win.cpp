#include "base/clock.hpp"
#include "base/event_log.hpp"
#include "base/log.hpp"
#include "base/stop_event.hpp"
#include "channel/channel_client.hpp"
#include "channel/channel_context.hpp"
#include "channel/pipe_client.hpp"
#include "peer/companion.hpp"

namespace guardian {

void check_companion(ChannelContext& context) { check_companion_at(context, kSentinelPipe); }

void check_companion_at(ChannelContext& context, const std::wstring& pipe_name) {
  const HANDLE stop = stop_event();
  ChannelClient client(ClientSettings{pipe_name, context.install_dir, kCompanionTimeoutMs}, context.channel_key);
  const ClientReply answer = client.request("ping", stop);
  // A stop during the call ends the check early; it is not judged, so stopping leaves
  // neither a failure nor a change of state behind.
  if (stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return;
  std::string error;
  switch (answer.result) {
    case ClientResult::ok:
      break;
    case ClientResult::not_ok:
    case ClientResult::not_authentic:
    case ClientResult::untrusted_client:
      error = "bad_response";
      break;
    default:
      error = client_result_text(answer.result);
      break;
  }
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
