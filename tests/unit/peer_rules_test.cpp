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
// after the connection is still not.
TEST(PeerRules, AClockSetBackDoesNotMakeAPeerLookReused) {
  constexpr uint64_t kSecond = 10000000, kHour = 3600 * kSecond;
  const uint64_t wall = 133800000000000000, mono = 5000 * kSecond;
  ClockSteps steps;
  EXPECT_EQ(steps.note(wall, mono), 0u);
  const uint64_t client_created = wall + 2 * kSecond;
  EXPECT_EQ(steps.note(wall + 10 * kSecond, mono + 10 * kSecond), 0u);  // the clocks go together
  // The clock is set back an hour; the client connects a second later.
  const uint64_t connected = wall + 11 * kSecond - kHour;
  const uint64_t back = steps.note(connected, mono + 11 * kSecond);
  EXPECT_EQ(back, kHour);
  EXPECT_FALSE(process_predates_connection(client_created, connected));
  EXPECT_TRUE(process_predates_connection(client_created, connected, back));
  EXPECT_FALSE(process_predates_connection(connected + back + 1, connected, back));
  // Set forward again, or not at all since: nothing to allow for once the clock is back.
  EXPECT_EQ(steps.note(wall + 20 * kSecond, mono + 20 * kSecond), 0u);
}

}  // namespace
}  // namespace guardian
