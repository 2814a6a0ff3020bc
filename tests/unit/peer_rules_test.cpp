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

}  // namespace
}  // namespace guardian
