// Portable: no Windows headers.
#include "runtime/identity_settle.hpp"

#include <algorithm>

#include "base/event_log.hpp"
#include "base/log.hpp"

namespace guardian {
namespace {

bool ready(ChannelFileState state, const DeviceIdentity& identity) {
  return state == ChannelFileState::opens || (state == ChannelFileState::missing && identity_settled(identity));
}

std::string fingerprint_summary(const DeviceIdentity& identity) {
  return "fingerprint " + identity.fingerprint.substr(0, 12) + "\xE2\x80\xA6 (parts " +
         std::to_string(identity.parts.size()) + ")";
}

std::string why_not_settled(ChannelFileState state, const DeviceIdentity& identity) {
  if (state == ChannelFileState::does_not_open)
    return "channel.bin does not open under " + fingerprint_summary(identity);
  std::string empty;
  for (const std::string& name : identity.empty_queries) empty += (empty.empty() ? "" : ", ") + name;
  return "no rows from " + empty + ", so no channel.bin is sealed under " + fingerprint_summary(identity) + " yet";
}

// Milliseconds as seconds with one decimal: "5.3".
std::string seconds_text(uint64_t ms) {
  const uint64_t tenths = (ms + 50) / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

}  // namespace

SettleResult settle_identity(DeviceIdentity& identity, const IdentitySettling& hooks) {
  ChannelFileState state = hooks.probe(identity);
  if (ready(state, identity)) return SettleResult::ready;

  const std::string again = "collecting it again for up to " + std::to_string(kIdentitySettleWindowMs / 1000) + " s";
  // An identity that WMI gave whole is not called unsettled: it is the file that does not open.
  if (identity_settled(identity)) {
    log_warn("channel.bin does not open under " + fingerprint_summary(identity) +
             ", which WMI gave whole; in case a part of the identity was missing, " + again);
  } else {
    log_warn("identity not settled: " + why_not_settled(state, identity) + "; " + again);
  }
  const uint64_t began = hooks.now_ms();
  uint32_t retry_ms = kIdentityFirstRetryMs;
  for (;;) {
    const uint64_t waited = hooks.now_ms() - began;
    if (waited >= kIdentitySettleWindowMs) {
      // WMI is to blame only when it still lists no adapter; an identity it gave whole that
      // channel.bin does not open under is another device's, which start-up then says.
      if (identity_settled(identity)) {
        log_warn("channel.bin still does not open after " + seconds_text(waited) + " s under " +
                 fingerprint_summary(identity) + ", which WMI gave whole; going on with it");
      } else {
        log_warn("identity not settled after " + seconds_text(waited) + " s; going on with " +
                 fingerprint_summary(identity));
        report_event(AgentEvent::identity_unsettled, {seconds_text(waited), fingerprint_summary(identity)});
      }
      return SettleResult::window_over;
    }
    const uint64_t pause = std::min<uint64_t>(retry_ms, kIdentitySettleWindowMs - waited);
    retry_ms = std::min(retry_ms * 2, kIdentityRetryMs);
    if (!hooks.wait(static_cast<uint32_t>(pause))) return SettleResult::stopped;
    DeviceIdentity next = hooks.collect();
    if (next.fingerprint.size() != 64) continue;
    identity = std::move(next);
    state = hooks.probe(identity);
    if (ready(state, identity)) {
      const uint64_t took = hooks.now_ms() - began;
      log_info("identity settled after " + seconds_text(took) + " s");
      if (took >= kIdentitySlowSettleMs) report_event(AgentEvent::identity_slow, {seconds_text(took)});
      return SettleResult::ready;
    }
  }
}

}  // namespace guardian
