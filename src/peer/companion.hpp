#pragma once
// Supervision of the companion process: one authenticated ping per check and a three-valued
// state ("ok", "unresponsive", "missing") with the time of its last change.
#include <cstdint>
#include <string>

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

}  // namespace guardian
