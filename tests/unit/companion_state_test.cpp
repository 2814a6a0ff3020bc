#include <gtest/gtest.h>

#include "channel/channel_context.hpp"
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

// The record of the checks: "not checked yet" until the first, then the reason of the last
// failed check, logged on each change of the state or the reason.
TEST(PeerState, TheRecordKeepsWhyAndLogsEachChange) {
  ChannelContext ctx(L"C:\\agent");
  ctx.peer_since = 100;
  CompanionChange change = record_companion_check(ctx, "no_server", 110);
  EXPECT_EQ(change.log_line, "peer sentinel: not checked yet -> unresponsive: " + companion_failure_text("no_server"));
  EXPECT_TRUE(ctx.peer_checked);
  EXPECT_EQ(ctx.peer_reason, "no_server");
  EXPECT_EQ(ctx.peer_since, 110);

  // Another reason in the same state is said; the same reason again is not.
  change = record_companion_check(ctx, "not_authentic", 120);
  EXPECT_EQ(change.log_line, "peer sentinel: still unresponsive: " + companion_failure_text("not_authentic"));
  EXPECT_EQ(ctx.peer_since, 110);
  change = record_companion_check(ctx, "not_authentic", 130);
  EXPECT_EQ(change.log_line, "peer sentinel: unresponsive -> missing: " + companion_failure_text("not_authentic"));
  EXPECT_TRUE(change.went_missing);
  EXPECT_EQ(change.failures, 3);
  change = record_companion_check(ctx, "not_authentic", 140);
  EXPECT_EQ(change.log_line, "");
  EXPECT_FALSE(change.went_missing);

  change = record_companion_check(ctx, "", 150);
  EXPECT_EQ(change.log_line, "peer sentinel: missing -> ok");
  EXPECT_TRUE(change.came_back);
  EXPECT_EQ(change.failing_since, 110);  // the first failed check, not the one that made it "missing"
  EXPECT_EQ(ctx.peer_reason, "");

  // A first check that finds the companion answering changes nothing on the wire, and says
  // nothing.
  ChannelContext fresh(L"C:\\agent");
  fresh.peer_since = 100;
  EXPECT_EQ(record_companion_check(fresh, "", 110).log_line, "");
  EXPECT_TRUE(fresh.peer_checked);
  EXPECT_EQ(fresh.peer_since, 100);
}

// A companion that answers wrongly runs: the words (which the Event Log entry carries) never
// call it missing, and say what to do; the failed-ping line keeps its short word.
TEST(PeerState, ReasonsInWords) {
  EXPECT_NE(companion_failure_text("not_authentic").find("earlier secret"), std::string::npos);
  EXPECT_NE(companion_failure_todo("no_server").find("suite's installation"), std::string::npos);
  for (const char* code : {"no_server", "untrusted_server", "io", "bad_json", "not_authentic", "not_ok", "internal"}) {
    EXPECT_EQ(companion_failure_text(code).find("missing"), std::string::npos) << code;
    EXPECT_FALSE(companion_failure_todo(code).empty()) << code;
  }
  EXPECT_TRUE(companion_answered("not_authentic") && companion_answered("bad_json") && !companion_answered("io"));
  EXPECT_EQ(companion_error_word("not_ok"), "bad_response");
  EXPECT_EQ(companion_error_word("bad_json"), "bad_json");
}

}  // namespace
}  // namespace guardian
