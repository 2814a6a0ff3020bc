#pragma once
// Supervision of the companion process: one authenticated ping per check and a three-valued
// state ("ok", "unresponsive", "missing") with the time of its last change.
#include <cstdint>
#include <string>
#include <string_view>

namespace guardian {

struct ChannelContext;

inline constexpr unsigned long kCompanionTimeoutMs = 5000;
inline constexpr int32_t kMissingAfterFailures = 3;

// One check on the calling thread (the main loop's). state_lock is held only while the
// state is updated, never during the pipe call. The process's stop event, when it is
// signalled, cuts the call short; such a check is dropped without a log line.
void check_companion(ChannelContext& context);

// The same check against another pipe name (tests run their own companions).
void check_companion_at(ChannelContext& context, const std::wstring& pipe_name);

// The state after a check: "ok" on success, else "unresponsive" below 3 consecutive
// failures and "missing" from 3 on. failures is updated.
std::string next_peer_state(bool succeeded, int32_t& failures);

// --- why a check failed, portable -----------------------------------------------------------
//
// The reason of a failed check is kept as a stable code, the client's result word:
// "no_server", "untrusted_server", "io", "bad_json", "not_authentic", "not_ok" (others are the
// agent's own trouble). "peer" replies carry the code; the agent's log and its Event Log
// entries say it in words, and --diagnose says the words and what to do.

// The reason in plain words, for an administrator: "no program serves ..." and so on.
std::string companion_failure_text(std::string_view code);
// What to do about it.
std::string companion_failure_todo(std::string_view code);
// The short error word of the "peer ping failed: " line: the code, but "bad_response" for a
// reply that came and was not a good answer (not_authentic, not_ok).
std::string companion_error_word(std::string_view code);
// Whether the companion answered the check (its reply came, however wrong): such a companion
// runs, and is never said to be missing.
bool companion_answered(std::string_view code);

// What one check changed in the companion's record.
struct CompanionChange {
  std::string log_line;         // empty when neither the state nor the reason changed
  bool went_missing = false;    // this check made it "missing": an Event Log entry
  bool came_back = false;       // a good answer after "missing": an Event Log entry
  int32_t failures = 0;         // consecutive failed checks, after this one
  int64_t failing_since = 0;    // with came_back: the time of the first of the failed checks
};

// Applies one check's outcome to the companion fields of context, whose state_lock the
// caller holds: failure is the reason code of a failed check, empty for a good answer; now is
// the time of the check. The first check is told from the later ones: before it the record
// says "not checked yet" (while "peer" still answers "ok", with the start-up time).
CompanionChange record_companion_check(ChannelContext& context, std::string_view failure, int64_t now);

}  // namespace guardian
