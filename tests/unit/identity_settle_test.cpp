// Start-up's wait for a settled identity, on a made-up clock and made-up identity passes.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "runtime/identity_settle.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

DeviceIdentity pass(char fill, bool adapters = true) {
  DeviceIdentity id;
  id.fingerprint = std::string(64, fill);
  if (!adapters) id.empty_queries = {kAdapterClass};
  return id;
}

// Passes and channel.bin states in order; each wait advances the clock.
struct Machine {
  std::deque<DeviceIdentity> passes;
  std::string sealed_under;  // the fingerprint channel.bin opens under; none: no channel.bin
  std::vector<uint32_t> waits;
  uint64_t clock = 0;
  uint64_t pass_ms = 300;  // each pass takes a while too
  int stop_after_waits = -1;
  int collected = 0;
  test::LogCapture log;

  IdentitySettling hooks() {
    IdentitySettling h;
    h.collect = [this] {
      ++collected;
      DeviceIdentity next = passes.size() > 1 ? passes.front() : passes.back();
      if (passes.size() > 1) passes.pop_front();
      return next;
    };
    h.probe = [this](const DeviceIdentity& id) {
      if (sealed_under.empty()) return ChannelFileState::missing;
      return id.fingerprint == sealed_under ? ChannelFileState::opens : ChannelFileState::does_not_open;
    };
    h.wait = [this](uint32_t ms) {
      if (static_cast<int>(waits.size()) == stop_after_waits) return false;
      waits.push_back(ms);
      clock += ms + pass_ms;
      return true;
    };
    h.now_ms = [this] { return clock; };
    return h;
  }
};

TEST(SettleIdentity, AReadyFirstPassCostsNothing) {
  for (bool file_opens : {true, false}) {
    Machine m;
    DeviceIdentity id = pass('a');
    if (file_opens) m.sealed_under = id.fingerprint;
    EXPECT_EQ(settle_identity(id, m.hooks()), SettleResult::ready);
    EXPECT_EQ(m.collected, 0);
    EXPECT_TRUE(m.waits.empty());
    EXPECT_EQ(m.log.text(), "");
  }
}

TEST(SettleIdentity, WaitsUntilTheSecretOpensThenTakesThatPass) {
  Machine m;
  m.sealed_under = std::string(64, 'f');  // sealed under the full identity
  m.passes = {pass('p'), pass('x'), pass('f')};  // the adapter shows up on the third pass
  DeviceIdentity id = pass('p');
  EXPECT_EQ(settle_identity(id, m.hooks()), SettleResult::ready);
  EXPECT_EQ(id.fingerprint, std::string(64, 'f'));
  EXPECT_EQ(m.waits, (std::vector<uint32_t>{1000, 2000, 4000}));
  const std::string log = m.log.text();
  EXPECT_EQ(test::count_of(log, "WARN  channel.bin does not open under fingerprint pppppppppppp\xE2\x80\xA6 (parts 0), "
                                "which WMI gave whole; in case a part of the identity was missing, collecting it "
                                "again for up to 120 s\r\n"),
            1u);
  EXPECT_EQ(test::count_of(log, "INFO  identity settled after 7.9 s\r\n"), 1u);
  EXPECT_EQ(test::count_of(log, "\r\n"), 2u);
}

TEST(SettleIdentity, NoSecretIsSealedBeforeTheAdaptersShow) {
  Machine m;
  m.passes = {pass('p', false), DeviceIdentity{}, pass('f')};  // a failed hash is never taken
  DeviceIdentity id = pass('p', false);
  EXPECT_EQ(settle_identity(id, m.hooks()), SettleResult::ready);
  EXPECT_EQ(id.fingerprint, std::string(64, 'f'));
  EXPECT_EQ(m.collected, 3);
  EXPECT_NE(m.log.text().find("WARN  identity not settled: no rows from Win32_NetworkAdapter, so no channel.bin"),
            std::string::npos);
}

TEST(SettleIdentity, AfterTheWindowGoesOnWithTheLatestPass) {
  // A machine without any network adapter: the first start seals under what it has.
  Machine m;
  m.passes = {pass('n', false)};
  DeviceIdentity id = pass('n', false);
  EXPECT_EQ(settle_identity(id, m.hooks()), SettleResult::window_over);
  EXPECT_EQ(id.fingerprint, std::string(64, 'n'));
  uint64_t waited = 0;
  for (uint32_t w : m.waits) {
    EXPECT_LE(w, kIdentityRetryMs);
    waited += w;
  }
  EXPECT_GE(m.clock, kIdentitySettleWindowMs);
  EXPECT_LT(m.clock, kIdentitySettleWindowMs + kIdentityRetryMs + 300);
  EXPECT_LE(waited, kIdentitySettleWindowMs);
  const std::string log = m.log.text();
  EXPECT_EQ(test::count_of(log, "WARN  identity not settled"), 2u);
  EXPECT_NE(log.find("WARN  identity not settled after 12"), std::string::npos) << log;
  EXPECT_EQ(log.find("INFO"), std::string::npos);

  // Passes that take no time: the last pause ends exactly on the window, which is then over.
  Machine exact;
  exact.passes = {pass('n', false)};
  exact.pass_ms = 0;
  exact.stop_after_waits = 40;  // a window that never ends would wait on at no cost
  EXPECT_EQ(settle_identity(id, exact.hooks()), SettleResult::window_over);
  EXPECT_EQ(exact.clock, kIdentitySettleWindowMs);
  EXPECT_EQ(exact.waits.back(), 3000u);  // 1 + 2 + 4 s, 22 times 5 s, then the 3 s left
  EXPECT_EQ(exact.collected, 26);

  // An identity WMI gave whole, that channel.bin never opens under: not WMI's doing, and the
  // window's end says so (start-up then says whose channel.bin it is).
  Machine other;
  other.sealed_under = std::string(64, 'o');
  other.passes = {pass('n')};
  DeviceIdentity whole = pass('n');
  EXPECT_EQ(settle_identity(whole, other.hooks()), SettleResult::window_over);
  const std::string other_log = other.log.text();
  EXPECT_NE(other_log.find("WARN  channel.bin still does not open after 12"), std::string::npos) << other_log;
  EXPECT_NE(other_log.find("which WMI gave whole; going on with it\r\n"), std::string::npos) << other_log;
  EXPECT_EQ(other_log.find("identity not settled"), std::string::npos) << other_log;
}

TEST(SettleIdentity, AStopEndsTheWaitSilently) {
  Machine m;
  m.passes = {pass('p', false)};
  m.stop_after_waits = 2;
  DeviceIdentity id = pass('p', false);
  EXPECT_EQ(settle_identity(id, m.hooks()), SettleResult::stopped);
  EXPECT_EQ(m.waits.size(), 2u);
  EXPECT_EQ(test::count_of(m.log.text(), "\r\n"), 1u);  // only the WARN that began the wait
}

}  // namespace
}  // namespace guardian
