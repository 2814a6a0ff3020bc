#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "channel/auth.hpp"
#include "channel/dispatch.hpp"
#include "runtime/agent_context.hpp"
#include "base/clock.hpp"
#include "base/log.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

using nlohmann::json;

struct DispatchFixture : ::testing::Test {
  test::LogCapture log;
  AgentContext ctx{L"C:\\storage", L"C:\\install"};
  void SetUp() override {
    ctx.identity.fingerprint = std::string(64, 'f');
    ctx.identity.parts = {{"cpu", "0123456789abcdef"}, {"mguid", "fedcba9876543210"}};
    ctx.identity.hardware = json{{"ram_mb", 16384}, {"hostname", "host"}};
    ctx.channel_key = derive_channel_key(Bytes(32, 7), ctx.identity.fingerprint);
    ctx.peer_since = 1700000000;
  }
  json with_mac(const std::string& op, const std::string& nonce) {
    return json{{"op", op}, {"nonce", nonce}, {"mac", request_mac(ctx.channel_key, op, nonce)}};
  }
  size_t warnings() { return test::count_of(log.text(), "WARN  pipe: bad mac for op "); }
};

bool is_fresh_nonce(const json& v) {
  return v.is_string() && std::regex_match(v.get<std::string>(), std::regex("[0-9a-f]{32}"));
}

TEST_F(DispatchFixture, PingNeedsNoMacAndGetsAFreshNonce) {
  const json reply = dispatch_request(ctx, json{{"op", "ping"}});
  EXPECT_EQ(reply["ok"], true);
  EXPECT_TRUE(is_fresh_nonce(reply["nonce"]));
  EXPECT_EQ(reply["body"]["nonce"], reply["nonce"]);
  EXPECT_TRUE(verify_reply(ctx.channel_key, reply, reply["nonce"].get<std::string>()));
  const json& body = reply["body"];
  EXPECT_EQ(body["agent"], "guardian");
  EXPECT_EQ(body["version"], "1.2.4");
  EXPECT_EQ(body["fp"], ctx.identity.fingerprint);
  EXPECT_TRUE(body["pid"].is_number_integer());
  EXPECT_EQ(body["pid"].get<int64_t>(), static_cast<int64_t>(test::system_process_id()));
  EXPECT_TRUE(std::regex_match(body["t"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  EXPECT_EQ(body.size(), 6u);
  EXPECT_EQ(warnings(), 0u);
}

TEST_F(DispatchFixture, SpecsCarriesTheIdentity) {
  const json reply = dispatch_request(ctx, json{{"op", "specs"}, {"nonce", "abc"}});
  EXPECT_EQ(reply["ok"], true);
  EXPECT_EQ(reply["nonce"], "abc");
  EXPECT_EQ(reply["body"], (json{{"fp", ctx.identity.fingerprint},
                                 {"fp_parts", {{"cpu", "0123456789abcdef"}, {"mguid", "fedcba9876543210"}}},
                                 {"hw", ctx.identity.hardware},
                                 {"nonce", "abc"}}));
  EXPECT_TRUE(verify_reply(ctx.channel_key, reply, "abc"));
}

TEST_F(DispatchFixture, PeerNeedsTheMacOverItsNonce) {
  const json good = dispatch_request(ctx, with_mac("peer", "abc"));
  EXPECT_EQ(good["ok"], true);
  // Before the first check "peer" says "ok", and that it has not checked the companion yet.
  EXPECT_EQ(good["body"], (json{{"nonce", "abc"},
                                {"peer", "ok"},
                                {"since", iso8601_utc(1700000000)},
                                {"checked", false},
                                {"reason", ""}}));
  EXPECT_TRUE(verify_reply(ctx.channel_key, good, "abc"));
  // After a failed check it says why; once the companion answers again, no reason is left.
  ctx.peer_checked = true;
  ctx.peer_state = "unresponsive";
  ctx.peer_reason = "not_authentic";
  const json failing = dispatch_request(ctx, with_mac("peer", "abc"))["body"];
  EXPECT_EQ(failing["checked"], true);
  EXPECT_EQ(failing["reason"], "not_authentic");
  ctx.peer_state = "ok";
  EXPECT_EQ(dispatch_request(ctx, with_mac("peer", "abc"))["body"]["reason"], "");

  json upper = with_mac("peer", "abc");
  std::string mac = upper["mac"];
  for (char& c : mac) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  upper["mac"] = mac;
  EXPECT_EQ(dispatch_request(ctx, upper)["ok"], true);

  for (const json& bad : {json{{"op", "peer"}, {"nonce", "abc"}},
                          json{{"op", "peer"}, {"nonce", "abc"}, {"mac", request_mac(ctx.channel_key, "peer", "abd")}},
                          json{{"op", "peer"}, {"nonce", "abc"}, {"mac", 12}}}) {
    const json reply = dispatch_request(ctx, bad);
    EXPECT_EQ(reply["ok"], false);
    EXPECT_EQ(reply["body"], (json{{"error", "bad_mac"}, {"nonce", "abc"}}));
    EXPECT_TRUE(verify_reply(ctx.channel_key, reply, "abc"));  // error replies are authenticated too
  }
  EXPECT_EQ(warnings(), 3u);
}

TEST_F(DispatchFixture, NonceRule) {
  const std::string n128(128, 'x');
  const json kept = dispatch_request(ctx, with_mac("peer", n128));
  EXPECT_EQ(kept["ok"], true);
  EXPECT_EQ(kept["nonce"], n128);

  const std::string n129(129, 'x');
  const json replaced = dispatch_request(ctx, with_mac("peer", n129));
  EXPECT_EQ(replaced["ok"], false);
  EXPECT_EQ(replaced["body"]["error"], "bad_mac");
  EXPECT_TRUE(is_fresh_nonce(replaced["nonce"]));

  const json empty = dispatch_request(ctx, json{{"op", "ping"}, {"nonce", ""}});
  EXPECT_TRUE(is_fresh_nonce(empty["nonce"]));
  const json numeric = dispatch_request(ctx, json{{"op", "specs"}, {"nonce", 5}});
  EXPECT_TRUE(is_fresh_nonce(numeric["nonce"]));
}

TEST_F(DispatchFixture, OperationNamesAreExact) {
  for (const char* op : {"Ping", "PING", "", "nope"}) {
    EXPECT_EQ(dispatch_request(ctx, json{{"op", op}, {"nonce", "n"}})["body"]["error"], "bad_mac") << op;
    const json reply = dispatch_request(ctx, with_mac(op, "n"));
    EXPECT_EQ(reply["ok"], false);
    EXPECT_EQ(reply["body"], (json{{"error", "unknown_op"}, {"nonce", "n"}})) << op;
  }
  // A numeric op reads as the empty name.
  json numeric = with_mac("", "n");
  numeric["op"] = 42;
  EXPECT_EQ(dispatch_request(ctx, numeric)["body"]["error"], "unknown_op");
}

// Anyone can make a client in the install folder send a bad MAC (a storage directory of its
// own gives it another key): a loop of them must not push the log's history out.
TEST_F(DispatchFixture, BadMacLinesHaveABudgetAndAShortName) {
  // A name of exactly the limit is logged whole.
  const std::string longest(64, 'b');
  dispatch_request(ctx, json{{"op", longest}, {"nonce", "n"}});
  EXPECT_EQ(test::count_of(log.text(), "WARN  pipe: bad mac for op " + longest + "\r\n"), 1u);
  std::string op = "a";
  for (int i = 0; i < 5000; ++i) op += "\xC3\xA9";  // 10 KB of two-byte characters
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(dispatch_request(ctx, json{{"op", op}, {"nonce", "n"}})["body"]["error"], "bad_mac");
  log_unreported_bad_macs(ctx, true);
  const std::string text = log.text();
  EXPECT_EQ(warnings(), 5u);
  std::string shown = "a";
  for (int i = 0; i < 31; ++i) shown += "\xC3\xA9";  // cut before the character that byte 64 is part of
  EXPECT_EQ(test::count_of(text, "WARN  pipe: bad mac for op " + shown + "...\r\n"), 4u);
  EXPECT_EQ(test::count_of(text, "WARN  pipe: 996 more bad mac without a line\r\n"), 1u);
  EXPECT_LT(text.size(), 2000u);
}

TEST_F(DispatchFixture, ReplayedPingDiffersOnlyInTimeAndMac) {
  const json a = dispatch_request(ctx, json{{"op", "ping"}, {"nonce", "same"}});
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  json b = dispatch_request(ctx, json{{"op", "ping"}, {"nonce", "same"}});
  EXPECT_NE(a["body"]["t"], b["body"]["t"]);
  b["body"]["t"] = a["body"]["t"];
  b["mac"] = a["mac"];
  EXPECT_EQ(a, b);
}

TEST_F(DispatchFixture, ExpectedMacThatCannotBeComputedNeverPasses) {
  // With an empty key the HMAC still works; the guard is about the empty result. A request
  // without a MAC must never pass against an expected MAC of "".
  EXPECT_FALSE(request_mac_valid(ctx.channel_key, "peer", "abc", ""));
  const json reply = dispatch_request(ctx, json{{"op", "peer"}, {"nonce", "abc"}, {"mac", ""}});
  EXPECT_EQ(reply["body"]["error"], "bad_mac");
}

}  // namespace
}  // namespace guardian
