#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "channel/connection_shares.hpp"

namespace guardian {
namespace {

ClientOwner owner(unsigned long pid, const std::string& user) { return ClientOwner{{pid, 1000 + pid}, user}; }

// A pipe's table of who holds what, with a server that can end any connection but the busy ones.
struct Table {
  ConnectionShares shares{ShareLimits{}};
  uint64_t serial = 0;
  size_t next_slot = 0;
  std::set<size_t> busy;      // being served: try_end refuses them
  std::vector<size_t> ended;  // in the order they were ended
  std::vector<ShareRule> rules;

  size_t connect(unsigned long pid, const std::string& user, int64_t at) {
    const size_t slot = next_slot++;
    shares.connected(slot, ++serial, owner(pid, user), at);
    return slot;
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
  std::vector<size_t> slots;
  for (int i = 0; i < 11; ++i) slots.push_back(t.connect(7, "S-1-5-21-1", 1000));
  for (int i = 0; i < 11; ++i) t.shares.active(slots[i], 2000 + 10 * (10 - i));  // the last ones least recent
  EXPECT_TRUE(t.shares.pressed());
  t.busy = {slots[10]};  // the least recent of all is being served: the next goes instead
  EXPECT_EQ(t.apply(3000), -1);
  EXPECT_EQ(t.ended, (std::vector<size_t>{slots[9], slots[8], slots[7]}));
  EXPECT_EQ(t.rules, std::vector<ShareRule>(3, ShareRule::process));
  EXPECT_FALSE(t.shares.pressed());
  EXPECT_EQ(t.shares.held(), 8u);
  // Nothing more to end; an ended connection's slot is counted again only when reused.
  t.ended.clear();
  EXPECT_EQ(t.apply(3100), -1);
  EXPECT_TRUE(t.ended.empty());
  for (size_t slot : {slots[9], slots[8], slots[7]}) t.shares.ended(slot);
  EXPECT_EQ(t.shares.held(), 8u);
}

TEST(ConnectionShares, NewOrBusyConnectionsAreNeverEndedAndTheRulesComeBackForThem) {
  Table t;
  // Many requests at once from one process, each on a connection of its own: all served.
  std::vector<size_t> slots;
  for (int i = 0; i < 32; ++i) slots.push_back(t.connect(9, "S-1-5-21-1", 5000 + i));
  EXPECT_TRUE(t.shares.pressed());
  EXPECT_EQ(t.apply(5100), 5000 + kShareGraceMs);  // when the first of them may be ended
  EXPECT_TRUE(t.ended.empty());
  for (size_t slot : slots) t.shares.ended(slot);
  EXPECT_EQ(t.apply(5200), -1);
  EXPECT_FALSE(t.shares.pressed());

  // A process past its share whose old connections are all being served: tried again soon.
  Table u;
  for (int i = 0; i < 9; ++i) u.busy.insert(u.connect(3, "S-1-5-21-1", 0));
  EXPECT_EQ(u.apply(10000), 10000 + kShareRetryMs);
  EXPECT_TRUE(u.ended.empty() && u.shares.pressed());
  u.busy.clear();
  EXPECT_EQ(u.apply(10100), -1);
  EXPECT_EQ(u.ended.size(), 1u);
}

// Processes of one user, each within its share, together past the user's: the process holding
// the most gives up first, and within it the least recently active.
TEST(ConnectionShares, AUsersProcessesKeepTheUsersShare) {
  Table t;
  std::vector<size_t> big;
  for (unsigned long pid = 1; pid <= 4; ++pid)
    for (int i = 0; i < 7; ++i) t.connect(pid, "S-1-5-21-malware", 0);
  for (int i = 0; i < 8; ++i) big.push_back(t.connect(5, "S-1-5-21-malware", 0));
  t.shares.active(big[3], 100);
  for (int i = 0; i < 3; ++i) t.connect(6, "S-1-5-21-other", 0);  // another user: untouched
  EXPECT_TRUE(t.shares.pressed());
  EXPECT_EQ(t.apply(2000), -1);
  // 36 of the user's: 4 go, from process 5 (8) first, least recently active first (big[3] last).
  ASSERT_EQ(t.ended.size(), 4u);
  EXPECT_EQ(t.rules, std::vector<ShareRule>(4, ShareRule::user));
  EXPECT_EQ(t.ended[0], big[0]);
  std::set<size_t> gone(t.ended.begin(), t.ended.end());
  EXPECT_FALSE(gone.count(big[3]));
  EXPECT_EQ(t.shares.held(), 32u + 3u);
}

// Fewer free instances than the reserve: the user holding the most gives up a connection, the
// process holding the most within it, so a newcomer always finds one.
TEST(ConnectionShares, TheReserveIsKeptFreeByTheBiggestHolder) {
  Table t;
  std::vector<size_t> users_a, users_b;
  for (unsigned long pid = 1; pid <= 3; ++pid)
    for (int i = 0; i < 8; ++i) users_a.push_back(t.connect(pid, "S-1-5-21-a", 0));  // 24
  for (unsigned long pid = 10; pid <= 13; ++pid)
    for (int i = 0; i < (pid == 10 ? 8 : 7); ++i) users_b.push_back(t.connect(pid, "S-1-5-21-b", 0));  // 29
  for (unsigned long pid = 20; pid <= 27; ++pid) t.connect(pid, "", 0);  // 8 of no known user
  EXPECT_EQ(t.shares.held(), 61u);
  EXPECT_TRUE(t.shares.pressed());
  EXPECT_EQ(t.apply(5000), -1);
  ASSERT_EQ(t.ended.size(), 1u);
  EXPECT_EQ(t.rules[0], ShareRule::reserve);
  EXPECT_EQ(t.ended[0], users_b[0]);  // user b (29), process 10 (8), the first of its connections
  EXPECT_EQ(t.shares.held() + kShareFreeReserve, ShareLimits{}.instances);
  // A newcomer takes one of the reserve: another goes at once, a newcomer never ends itself.
  const size_t newcomer = t.connect(99, "S-1-5-21-c", 5000);
  EXPECT_EQ(t.apply(5000), -1);
  ASSERT_EQ(t.ended.size(), 2u);
  EXPECT_NE(t.ended[1], newcomer);
  EXPECT_EQ(t.shares.held() + kShareFreeReserve, ShareLimits{}.instances);
}

}  // namespace
}  // namespace guardian
