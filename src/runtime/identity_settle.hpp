#pragma once
// Start-up waits for a device identity that the machine has finished presenting. Right after
// a boot, WMI may not list the network adapters yet, so an identity pass then lacks the "mac"
// part that every later pass (and every client) has. Start-up must neither give up on a
// channel.bin sealed under the full identity nor seal a new one under the partial identity.
#include <cstdint>
#include <functional>

#include "channel/auth.hpp"
#include "device/identity.hpp"

namespace guardian {

// The pause before each new pass doubles from the first to the last value: a machine that is
// still booting usually shows its adapters within a second or two.
inline constexpr uint32_t kIdentityFirstRetryMs = 1000;
inline constexpr uint32_t kIdentityRetryMs = 5000;
inline constexpr uint64_t kIdentitySettleWindowMs = 120000;
// A wait this long or longer is worth an Event Log entry; a short one is common at boot.
inline constexpr uint64_t kIdentitySlowSettleMs = 10000;

struct IdentitySettling {
  std::function<DeviceIdentity()> collect;                       // one identity pass
  std::function<ChannelFileState(const DeviceIdentity&)> probe;  // channel.bin under that identity
  std::function<bool(uint32_t ms)> wait;                         // false when a stop ended the wait
  std::function<uint64_t()> now_ms;                              // a monotonic clock
};

enum class SettleResult { ready, window_over, stopped };

// The identity is ready when channel.bin opens under it, or when there is no channel.bin and
// the pass saw the machine whole (identity_settled). Otherwise the identity is collected
// again, after 1 s, 2 s, 4 s and then every 5 s, until it is ready, for up to
// kIdentitySettleWindowMs; the window over, start-up goes on with the latest identity as if
// it had not waited. A ready first pass costs nothing more. Logs one WARN when the wait
// begins and one INFO (settled after N s) or WARN (window over) when it ends, with an Event
// Log entry for a wait of kIdentitySlowSettleMs or more, and for a window that ran out while
// WMI still listed no adapter (not for one whose identity WMI gave whole: channel.bin is then
// another device's, which start-up reports); a stop (wait returning false) ends it silently. identity is
// replaced by the pass that ended the wait (passes without a 64-character fingerprint are
// never taken).
SettleResult settle_identity(DeviceIdentity& identity, const IdentitySettling& hooks);

}  // namespace guardian
