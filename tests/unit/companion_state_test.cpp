#include <gtest/gtest.h>

#include "peer/companion.hpp"

namespace guardian {
namespace {

TEST(PeerState, Transitions) {
  int32_t failures = 0;
  EXPECT_EQ(next_peer_state(false, failures), "unresponsive");
  EXPECT_EQ(next_peer_state(false, failures), "unresponsive");
  EXPECT_EQ(next_peer_state(false, failures), "missing");
  EXPECT_EQ(next_peer_state(false, failures), "missing");
  EXPECT_EQ(failures, 4);
  EXPECT_EQ(next_peer_state(true, failures), "ok");
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(next_peer_state(false, failures), "unresponsive");
  // A companion missing for ever stays missing: the count stops at its largest value.
  failures = INT32_MAX;
  EXPECT_EQ(next_peer_state(false, failures), "missing");
  EXPECT_EQ(failures, INT32_MAX);
}

}  // namespace
}  // namespace guardian
