#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "channel/auth.hpp"
#include "channel/client_rules.hpp"
#include "store/crypto.hpp"

namespace guardian {
namespace {

using nlohmann::json;

const std::string kFp = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";
const Bytes kKey = derive_channel_key(Bytes(32, 0x11), kFp);

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

TEST(ChannelKey, DependsOnSecretAndFingerprint) {
  ASSERT_EQ(kKey.size(), 32u);
  std::string other_fp = kFp;
  other_fp[0] = 'e';
  EXPECT_NE(derive_channel_key(Bytes(32, 0x11), other_fp), kKey);
  EXPECT_NE(derive_channel_key(Bytes(32, 0x12), kFp), kKey);
  EXPECT_EQ(derive_channel_key(Bytes(32, 0x11), kFp), kKey);
  // label (19 bytes) || secret || fingerprint, hashed once.
  Bytes material = bytes_of("ostrival-channel-v1");
  material.insert(material.end(), 32, 0x11);
  material.insert(material.end(), kFp.begin(), kFp.end());
  EXPECT_EQ(sha256(material), kKey);
}

TEST(RequestMac, CoversOpBarNonceOnly) {
  EXPECT_EQ(request_mac(kKey, "peer", "abc"), hmac_sha256_hex(kKey, "peer|abc"));
  EXPECT_EQ(request_mac(kKey, "peer", "abc").size(), 64u);
  EXPECT_NE(request_mac(kKey, "peer", "abd"), request_mac(kKey, "peer", "abc"));
  EXPECT_NE(request_mac(kKey, "pee", "r|abc"), std::string());  // the bar is plain bytes
  // Other members of a request are not covered: equal op and nonce, equal MAC.
  const json a = make_request(kKey, "peer", "n1");
  json b = a;
  b["extra"] = 5;
  EXPECT_EQ(a["mac"], b["mac"]);
  EXPECT_EQ(a.dump().substr(0, 8), "{\"mac\":\"");  // wire order: mac, nonce, op
}

TEST(MacEqual, CaseFoldingAndLengths) {
  const std::string mac = request_mac(kKey, "peer", "abc");
  EXPECT_TRUE(mac_equal(mac, mac));
  EXPECT_TRUE(mac_equal(upper(mac), mac));
  EXPECT_FALSE(mac_equal(mac.substr(0, 63), mac));
  EXPECT_FALSE(mac_equal(mac + "0", mac));
  std::string last = mac;
  last.back() = last.back() == '0' ? '1' : '0';
  EXPECT_FALSE(mac_equal(last, mac));
  std::string first = mac;
  first.front() = first.front() == '0' ? '1' : '0';
  EXPECT_FALSE(mac_equal(first, mac));
  EXPECT_FALSE(mac_equal("g", "G"));  // only A-F fold
  EXPECT_TRUE(mac_equal("", ""));
}

TEST(RequestMacValid, AMacThatCannotBeComputedNeverMatches) {
  EXPECT_TRUE(request_mac_valid(kKey, "peer", "abc", request_mac(kKey, "peer", "abc")));
  EXPECT_TRUE(request_mac_valid(kKey, "peer", "abc", upper(request_mac(kKey, "peer", "abc"))));
  EXPECT_FALSE(request_mac_valid(kKey, "peer", "abc", ""));
  EXPECT_FALSE(request_mac_valid(kKey, "peer", "abd", request_mac(kKey, "peer", "abc")));
}

TEST(Reply, MakeReplyAuthenticatesTheBody) {
  const json reply = make_reply(kKey, true, "n-1", json{{"peer", "ok"}, {"nonce", "x"}});
  EXPECT_EQ(reply.dump().substr(0, 9), "{\"body\":{");  // members: body, mac, nonce, ok
  EXPECT_EQ(reply["body"]["nonce"], "n-1");
  EXPECT_EQ(reply["nonce"], "n-1");
  EXPECT_EQ(reply["ok"], true);
  EXPECT_EQ(reply["mac"], body_mac(kKey, reply["body"]));
  EXPECT_TRUE(verify_reply(kKey, reply, "n-1"));

  const json from_string = make_reply(kKey, false, "n-2", "not an object");
  EXPECT_EQ(from_string["body"], (json{{"nonce", "n-2"}}));
  EXPECT_TRUE(verify_reply(kKey, from_string, "n-2"));  // "ok" false is the caller's concern
}

TEST(Reply, VerifyReplyRejectsWhatItMust) {
  const json good = make_reply(kKey, true, "abc", json{{"peer", "ok"}, {"since", "2026-01-01T00:00:00Z"}});
  EXPECT_FALSE(verify_reply(kKey, good, "abd"));
  EXPECT_FALSE(verify_reply(derive_channel_key(Bytes(32, 0x12), kFp), good, "abc"));
  EXPECT_FALSE(verify_reply(kKey, rejection_reply("untrusted_client"), ""));

  json changed = good;
  changed["body"]["peer"] = "missing";
  EXPECT_FALSE(verify_reply(kKey, changed, "abc"));
  changed = good;
  changed["body"]["extra"] = 1;
  EXPECT_FALSE(verify_reply(kKey, changed, "abc"));
  changed = good;
  changed["ok"] = false;  // not covered by the MAC
  EXPECT_TRUE(verify_reply(kKey, changed, "abc"));
  changed = good;
  changed["nonce"] = "other";  // neither is the top-level nonce
  EXPECT_TRUE(verify_reply(kKey, changed, "abc"));
  changed = good;
  changed["mac"] = upper(good["mac"].get<std::string>());
  EXPECT_TRUE(verify_reply(kKey, changed, "abc"));

  for (const json& bad : {json::array(), json{{"body", good["body"]}}, json{{"mac", good["mac"]}},
                          json{{"body", "x"}, {"mac", good["mac"]}}, json{{"body", good["body"]}, {"mac", 5}}}) {
    EXPECT_FALSE(verify_reply(kKey, bad, "abc")) << bad.dump();
  }
  json numeric_nonce = good;
  numeric_nonce["body"]["nonce"] = 1;
  EXPECT_FALSE(verify_reply(kKey, numeric_nonce, "1"));
}

TEST(Reply, MacIsOverTheCanonicalFormNotTheText) {
  const json reply = make_reply(kKey, true, "abc", json{{"t", 1.0}, {"s", "caf\xC3\xA9"}});
  const std::string respaced = "{ \"ok\":true, \"mac\":\"" + reply["mac"].get<std::string>() +
                               "\", \"body\": {\"s\":\"caf\\u00e9\", \"t\": 1, \"nonce\":\"abc\"}}";
  EXPECT_TRUE(verify_reply(kKey, json::parse(respaced), "abc"));
}

TEST(Rejection, CarriesNoNonceAndNoMac) {
  EXPECT_EQ(rejection_reply("bad_request").dump(), R"({"body":{"error":"bad_request"},"ok":false})");
}

TEST(MemberText, AbsentOrNonStringReadsAsEmpty) {
  const json req = json::parse(R"({"op":5,"nonce":"abc","mac":null})");
  EXPECT_EQ(member_text(req, "op"), "");
  EXPECT_EQ(member_text(req, "nonce"), "abc");
  EXPECT_EQ(member_text(req, "mac"), "");
  EXPECT_EQ(member_text(req, "missing"), "");
  EXPECT_EQ(member_text(json::array(), "op"), "");
}

TEST(ClientRules, ReplyVerdictsAndResults) {
  const json good = make_reply(kKey, true, "n1", json{{"peer", "ok"}});
  EXPECT_EQ(judge_reply(kKey, good, "n1").result, ClientResult::ok);
  EXPECT_EQ(judge_reply(kKey, good, "n2").result, ClientResult::not_authentic);
  EXPECT_EQ(judge_reply(kKey, rejection_reply("untrusted_client"), "").result, ClientResult::not_authentic);
  json string_ok = good;
  string_ok["ok"] = "true";  // only the boolean counts
  const ReplyVerdict refused = judge_reply(kKey, make_reply(kKey, false, "n1", json{{"error", "bad_mac"}}), "n1");
  EXPECT_EQ(judge_reply(kKey, string_ok, "n1").result, ClientResult::not_ok);
  EXPECT_EQ(refused.error_code, "bad_mac");
  EXPECT_TRUE(refused_for_mac(refused));
  EXPECT_FALSE(refused_for_mac(judge_reply(kKey, make_reply(kKey, false, "n1", json{{"error", 1}}), "n1")));

  EXPECT_STREQ(client_result_text(ClientResult::untrusted_server), "untrusted_server");
  EXPECT_STREQ(client_result_text(static_cast<ClientResult>(13)), "unknown");
  EXPECT_STREQ(client_result_text(ClientResult::untrusted_client), "untrusted_client");
  EXPECT_STREQ(client_result_text(ClientResult::access_denied), "access_denied");
  EXPECT_EQ(client_result_of_error("access_denied"), ClientResult::access_denied);
  EXPECT_EQ(client_result_of_error("bad_json"), ClientResult::bad_json);
  EXPECT_EQ(client_result_of_error("something"), ClientResult::io);
}

// Only the agent's exact refusal says "this application is not served": anything else that
// does not verify may mean a new secret, and the key is read again.
TEST(ClientRules, TheRefusalOfAnUntrustedClientIsRecognisedExactly) {
  EXPECT_TRUE(is_client_refusal(rejection_reply("untrusted_client")));
  EXPECT_TRUE(is_client_refusal(json::parse(R"({"ok":false,"body":{"error":"untrusted_client"}})")));
  EXPECT_FALSE(is_client_refusal(rejection_reply("bad_request")));
  EXPECT_FALSE(is_client_refusal(json::parse(R"({"body":{"error":"untrusted_client"},"ok":true})")));
  EXPECT_FALSE(is_client_refusal(json::parse(R"({"body":{"error":"untrusted_client","x":1},"ok":false})")));
  EXPECT_FALSE(is_client_refusal(json::parse(R"({"body":{"error":"untrusted_client"},"mac":"00","ok":false})")));
  EXPECT_FALSE(is_client_refusal(make_reply(kKey, false, "n1", json{{"error", "untrusted_client"}})));
  EXPECT_FALSE(is_client_refusal(json::array()));
}

TEST(ClientRules, OperationsAndTheNonceRule) {
  EXPECT_TRUE(operation_acceptable("ping"));
  EXPECT_TRUE(operation_acceptable("caf\xC3\xA9"));
  EXPECT_TRUE(operation_acceptable(std::string(kMaxOperationBytes, 'x')));
  for (const std::string& bad : {std::string(), std::string(kMaxOperationBytes + 1, 'x'), std::string("caf\xC3"),
                                 std::string("\xFF")})
    EXPECT_FALSE(operation_acceptable(bad)) << bad;

  const std::string n128(128, 'n');
  EXPECT_EQ(reply_nonce(n128), n128);
  EXPECT_EQ(reply_nonce(std::string(129, 'n')).size(), 32u);
  EXPECT_EQ(reply_nonce("").size(), 32u);
  EXPECT_TRUE(request_authentic(kKey, "ping", n128, request_mac(kKey, "ping", n128)));
  EXPECT_FALSE(request_authentic(kKey, "ping", n128, request_mac(kKey, "peer", n128)));
  const std::string n129(129, 'n');
  EXPECT_FALSE(request_authentic(kKey, "ping", n129, request_mac(kKey, "ping", n129)));
  EXPECT_FALSE(request_authentic(kKey, "ping", "", request_mac(kKey, "ping", "")));
}

}  // namespace
}  // namespace guardian
