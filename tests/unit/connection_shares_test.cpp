#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "channel/connection_shares.hpp"

namespace guardian {
namespace {

// A pipe's table of who holds what, with a server that can end any connection but the busy ones.
struct Table {
  ConnectionShares shares{ShareLimits{}};
  uint64_t serial = 0;
  size_t next_slot = 0;
  std::set<size_t> busy;      // being served: try_end refuses them
  std::vector<size_t> ended;  // in the order they were ended
  std::vector<ShareRule> rules;

  size_t connect(unsigned long pid, const std::string& user, int64_t at, int n = 1) {
    for (int i = 0; i < n; ++i) shares.connected(next_slot++, ++serial, ClientOwner{{pid, 1000 + pid}, user, "app.exe"}, at);
    return next_slot - 1;
  }
  int64_t apply(int64_t now) {
    return shares.apply(now, [this](const ShareEnding& e) {
      if (busy.count(e.slot)) return false;
      ended.push_back(e.slot);
      rules.push_back(e.rule);
      return true;
    });
  }
};

TEST(ConnectionShares, AProcessKeepsItsShareAndGivesUpItsLeastRecentlyActive) {
  Table t;
  t.connect(7, "S-1-5-21-1", 1000, 11);
  for (size_t slot = 0; slot < 11; ++slot) t.shares.active(slot, 2100 - 10 * slot);  // the last least recent
  t.busy = {10};  // being served: the next least recent goes instead
  EXPECT_TRUE(t.shares.pressed());
  EXPECT_EQ(t.apply(3000), -1);
  EXPECT_EQ(t.ended, (std::vector<size_t>{9, 8, 7}));
  EXPECT_EQ(t.rules, std::vector<ShareRule>(3, ShareRule::process));
  EXPECT_FALSE(t.shares.pressed());
  EXPECT_EQ(t.shares.held(), 8u);
}

TEST(ConnectionShares, NewOrBusyConnectionsAreNeverEndedAndTheRulesComeBackForThem) {
  // Many requests at once from one process, each on a connection of its own: all served, and
  // the rules come back when the first of them could be ended.
  Table t;
  for (int i = 0; i < 32; ++i) t.connect(9, "S-1-5-21-1", 5000 + i);
  EXPECT_EQ(t.apply(5100), 5000 + kShareGraceMs);
  for (size_t slot = 0; slot < 32; ++slot) t.shares.ended(slot);
  EXPECT_EQ(t.apply(5200), -1);
  EXPECT_TRUE(t.ended.empty());
  EXPECT_FALSE(t.shares.pressed());
  // Past its share, with every old connection being served: tried again soon.
  Table u;
  u.connect(3, "S-1-5-21-1", 0, 9);
  u.busy = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(u.apply(10000), 10000 + kShareRetryMs);
  EXPECT_TRUE(u.ended.empty() && u.shares.pressed());
  u.busy.clear();
  EXPECT_EQ(u.apply(10100), -1);
  EXPECT_EQ(u.ended.size(), 1u);
}

// Processes of one user, each within its share, together past the user's: the process holding
// the most gives up first, and within it the least recently active. Another user is untouched.
TEST(ConnectionShares, AUsersProcessesKeepTheUsersShare) {
  Table t;
  for (unsigned long pid = 1; pid <= 4; ++pid) t.connect(pid, "S-1-5-21-malware", 0, 7);
  const size_t big = t.connect(5, "S-1-5-21-malware", 0, 8) - 7;  // slots big .. big + 7
  t.shares.active(big, 100);
  t.connect(6, "S-1-5-21-other", 0, 3);
  EXPECT_EQ(t.apply(2000), -1);
  ASSERT_EQ(t.ended.size(), 4u);  // 36 of the user's
  EXPECT_EQ(t.rules, std::vector<ShareRule>(4, ShareRule::user));
  EXPECT_EQ(t.ended[0], big + 1);
  EXPECT_EQ(std::count(t.ended.begin(), t.ended.end(), big), 0);
  EXPECT_EQ(t.shares.held(), 32u + 3u);
}

// Fewer free instances than the reserve: the user holding the most gives up a connection, the
// process holding the most within it, so a newcomer always finds one; never the newcomer.
TEST(ConnectionShares, TheReserveIsKeptFreeByTheBiggestHolder) {
  Table t;
  for (unsigned long pid = 1; pid <= 3; ++pid) t.connect(pid, "S-1-5-21-a", 0, 8);  // 24
  const size_t b = t.next_slot;
  for (unsigned long pid = 10; pid <= 13; ++pid) t.connect(pid, "S-1-5-21-b", 0, pid == 10 ? 8 : 7);  // 29
  for (unsigned long pid = 20; pid <= 27; ++pid) t.connect(pid, "", 0);  // 8 of no known user
  EXPECT_EQ(t.shares.held(), 61u);
  EXPECT_EQ(t.apply(5000), -1);
  EXPECT_EQ(t.ended, std::vector<size_t>{b});  // user b, its process 10
  EXPECT_EQ(t.rules, std::vector<ShareRule>{ShareRule::reserve});
  const size_t newcomer = t.connect(99, "S-1-5-21-c", 5000);
  EXPECT_EQ(t.apply(5000), -1);
  ASSERT_EQ(t.ended.size(), 2u);
  EXPECT_NE(t.ended[1], newcomer);
  EXPECT_EQ(t.shares.held() + kShareFreeReserve, ShareLimits{}.instances);
}

// A holder past a share gives up its connections before anyone else, once they are old enough
// to have sent a request and are not being served this instant; while they are all new, the
// rules wait for them and never end another holder's instead.
TEST(ConnectionShares, TheHolderPastAShareGoesFirstAndOnlyIt) {
  for (const bool same_user : {true, false}) {
    Table t;
    const size_t victim = t.connect(1, "S-1-5-21-victim", 0, 4);
    const std::string attacker = same_user ? "S-1-5-21-victim" : "S-1-5-21-attacker";
    const size_t last = t.connect(2, attacker, 5000, 57);
    t.busy = {last - 56, last - 55};  // two of them being served
    EXPECT_GE(t.apply(5000 + kShareFirstRequestMs), 0) << same_user;
    ASSERT_FALSE(t.ended.empty()) << same_user;
    for (const size_t slot : t.ended) {
      EXPECT_GT(slot, victim) << same_user;
      EXPECT_FALSE(t.busy.count(slot)) << same_user;
    }
    EXPECT_LE(t.shares.held(), kSharePerUser + (same_user ? 0 : 4)) << same_user;
  }
  // All new: the reserve waits for the biggest holders' connections, never takes the old ones
  // of a holder within its share.
  Table t;
  t.connect(1, "S-1-5-21-victim", 0, 4);
  t.connect(2, "S-1-5-21-attacker", 5000, 8);
  t.connect(3, "S-1-5-21-attacker2", 5000, 8);
  for (unsigned long pid = 4; pid < 10; ++pid) t.connect(pid, "S-1-5-21-attacker" + std::to_string(pid), 5000, 7);
  EXPECT_EQ(t.shares.held(), 62u);
  EXPECT_EQ(t.apply(5001), 5000 + kShareFirstRequestMs);
  EXPECT_TRUE(t.ended.empty());
  EXPECT_EQ(t.apply(5000 + kShareFirstRequestMs), -1);
  EXPECT_EQ(t.ended.size(), 2u);
  for (const size_t slot : t.ended) EXPECT_GE(slot, 4u);
  // A process that hides its user shares one process's share with every other such process.
  Table u;
  u.connect(1, "", 0, 6);
  u.connect(2, "", 0, 6);
  EXPECT_EQ(u.apply(5000), -1);
  EXPECT_EQ(u.shares.held(), kSharePerProcess);
}

}  // namespace
}  // namespace guardian
