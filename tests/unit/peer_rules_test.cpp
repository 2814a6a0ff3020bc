#include <gtest/gtest.h>

#include "channel/peer_rules.hpp"

namespace guardian {
namespace {

// Times in 100-ns units, as Windows gives them.
TEST(PeerRules, AProcessCreatedAfterTheConnectionIsNotThePeer) {
  EXPECT_TRUE(process_predates_connection(100, 100));
  EXPECT_TRUE(process_predates_connection(99, 100));
  EXPECT_FALSE(process_predates_connection(101, 100));  // the id was reused after the peer ended
  EXPECT_FALSE(process_predates_connection(0, 100));    // creation time unknown
}

// The wall clock set back by an hour after a client started: its creation time lies "after"
// its connection on the clock as it reads now, and it is still the peer; a process really made
// after the connection is still not. The allowance shrinks as the clock catches up.
TEST(PeerRules, AClockSetBackDoesNotMakeAPeerLookReused) {
  constexpr uint64_t kSecond = 10000000, kHour = 3600 * kSecond;
  const uint64_t wall = 133800000000000000, mono = 5000 * kSecond;
  ClockSteps steps;
  EXPECT_EQ(steps.note(wall, mono), 0u);
  const uint64_t client_created = wall + 2 * kSecond;  // between two readings
  // The clock is set back an hour at +10 s; the client connects a second later.
  const uint64_t connected = wall + 11 * kSecond - kHour;
  const uint64_t back = steps.note(connected, mono + 11 * kSecond);
  EXPECT_EQ(back, kHour);
  EXPECT_FALSE(process_predates_connection(client_created, connected));
  EXPECT_TRUE(process_predates_connection(client_created, connected, back));
  EXPECT_FALSE(process_predates_connection(connected + back + 1, connected, back));
  // Half an hour on, half the allowance; an hour on, none, as it was never needed before.
  EXPECT_EQ(steps.note(connected + kHour / 2, mono + 11 * kSecond + kHour / 2), kHour / 2);
  EXPECT_EQ(steps.note(connected + kHour, mono + 11 * kSecond + kHour), 0u);
  // Set forward and back again: the time shown while forward counts, and then runs out too.
  EXPECT_EQ(steps.note(connected + 3 * kHour, mono + 12 * kSecond + kHour), 0u);
  EXPECT_EQ(steps.note(connected + kHour + 2 * kSecond, mono + 13 * kSecond + kHour), 2 * kHour - kSecond);
}

}  // namespace
}  // namespace guardian
