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
  const std::string failure = answer.result == ClientResult::ok ? std::string() : client_result_text(answer.result);
  if (!failure.empty()) log_warn("peer ping failed: " + companion_error_word(failure));

  CompanionChange change;
  {
    std::lock_guard<std::mutex> hold(context.state_lock);
    change = record_companion_check(context, failure, now_seconds());
    if (!change.log_line.empty()) log_warn(change.log_line);
  }
  // An administrator hears of the companion when its checks have failed three times in a row
  // (with why, which for a companion that answers wrongly is never "missing") and when it
  // answers again, not of every check that fails.
  if (change.went_missing) {
    report_event(AgentEvent::companion_failing,
                 {std::to_string(change.failures), companion_failure_text(failure), companion_failure_todo(failure)});
  } else if (change.came_back) {
    report_event(AgentEvent::companion_back, {iso8601_utc(change.failing_since)});
  }
}

}  // namespace guardian
