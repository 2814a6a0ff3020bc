// Portable: no Windows headers.
#include "peer/companion.hpp"

#include "channel/channel_context.hpp"

namespace guardian {
namespace {

constexpr char kSentinelPipeText[] = "\\\\.\\pipe\\Ostrival.Sentinel";

}  // namespace

std::string next_peer_state(bool succeeded, int32_t& failures) {
  if (succeeded) {
    failures = 0;
    return "ok";
  }
  if (failures < INT32_MAX) ++failures;
  return failures < kMissingAfterFailures ? "unresponsive" : "missing";
}

}  // namespace guardian

namespace guardian {

std::string companion_failure_text(std::string_view code) {
  if (code == "no_server")
    return std::string("no program serves ") + kSentinelPipeText + ": the companion does not run";
  if (code == "untrusted_server")
    return std::string("the program that serves ") + kSentinelPipeText +
           " does not run from the agent's folder, so the agent does not trust it";
  if (code == "not_authentic")
    return "it answers, but its reply does not verify under the agent's key: it may hold an earlier secret";
  if (code == "not_ok") return "it answers, but refuses the agent's ping";
  if (code == "untrusted_client")
    return "it answers, but refuses the agent as a client: the agent does not run from the companion's folder";
  if (code == "access_denied") return std::string("the pipe ") + kSentinelPipeText + " refuses the agent's connection";
  if (code == "io")
    return "it gave no whole reply within " + std::to_string(kCompanionTimeoutMs / 1000) +
           " s, or the connection broke";
  if (code == "bad_json") return "it answers with a reply that is not a JSON object";
  return "the agent could not ping it (" + std::string(code) + ")";
}

std::string companion_failure_todo(std::string_view code) {
  if (code == "no_server")
    return "start ostrival_sentinel.exe from the agent's folder; it comes with the suite's installation, not with "
           "this package: repair the suite's installation if it is not there";
  if (code == "untrusted_server")
    return std::string("end the program that serves ") + kSentinelPipeText +
           ", then start ostrival_sentinel.exe from the agent's folder";
  if (code == "not_authentic") return "restart the companion, so that it reads the channel secret again";
  if (code == "untrusted_client")
    return "start the companion from the agent's folder, where the suite's installation puts both";
  if (code == "io") return "restart the companion; it may hang";
  return "restart the companion; if that does not help, repair the suite's installation";
}

std::string companion_error_word(std::string_view code) {
  return companion_answered(code) && code != "bad_json" ? "bad_response" : std::string(code);
}

bool companion_answered(std::string_view code) {
  return code == "not_authentic" || code == "not_ok" || code == "untrusted_client" || code == "bad_json";
}

CompanionChange record_companion_check(ChannelContext& context, std::string_view failure, int64_t now) {
  CompanionChange change;
  const std::string old_state = context.peer_checked ? context.peer_state : "not checked yet";
  const std::string old_reason = context.peer_reason;
  if (!failure.empty() && context.peer_failures == 0) context.peer_failing_since = now;  // the first of a run
  const std::string new_state = next_peer_state(failure.empty(), context.peer_failures);
  change.failures = context.peer_failures;
  context.peer_checked = true;
  context.peer_reason = std::string(failure);
  if (new_state != context.peer_state) context.peer_since = now;
  const bool state_changed = new_state != old_state;
  context.peer_state = new_state;

  const std::string why = failure.empty() ? std::string() : ": " + companion_failure_text(failure);
  if (state_changed && !(old_state == "not checked yet" && new_state == "ok")) {
    change.log_line = "peer sentinel: " + old_state + " -> " + new_state + why;
  } else if (!failure.empty() && failure != old_reason) {
    change.log_line = "peer sentinel: still " + new_state + why;
  }
  change.went_missing = state_changed && new_state == "missing";
  change.came_back = state_changed && old_state == "missing";
  if (change.came_back) change.failing_since = context.peer_failing_since;
  return change;
}

}  // namespace guardian
