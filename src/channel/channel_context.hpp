#pragma once
// What the channel's operations and the companion check use of the agent's record: the
// identity and the channel key, fixed by start-up before the pipe server starts, and the
// companion's state, which state_lock guards. The agent's record (AgentContext) is one of
// these, with what only the agent body itself uses beside it.
#include <cstdint>
#include <mutex>
#include <string>

#include "base/line_budget.hpp"
#include "device/identity.hpp"
#include "store/hex.hpp"

namespace guardian {

struct ChannelContext {
  explicit ChannelContext(std::wstring install) : install_dir(std::move(install)) {}

  std::wstring install_dir;
  DeviceIdentity identity;
  Bytes channel_key;

  // Guards the companion fields; taken before the Logger's lock, never after.
  std::mutex state_lock;
  std::string peer_state = "ok";
  int64_t peer_since = 0;
  int32_t peer_failures = 0;
  int64_t peer_failing_since = 0;  // the time of the first of the failed checks in a row
  bool peer_checked = false;  // whether any check has run yet ("peer" says "ok" before the first)
  std::string peer_reason;    // the reason code of the last check when it failed, else empty

  // Lines about requests with a bad MAC. Whoever sends those lacks the key, and any user can
  // make a client in the install folder send them (with a storage directory of its own), so
  // they get a budget like the lines about untrusted clients.
  LineBudget bad_mac_lines{5, 60000};
};

}  // namespace guardian
