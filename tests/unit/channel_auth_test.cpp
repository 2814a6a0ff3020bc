#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "channel/auth.hpp"
#include "runtime/log.hpp"
#include "store/crypto.hpp"
#include "store/protected_store.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

using nlohmann::json;
using test::ScratchDir;

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

// Channel secret in one process; the cross-process cases are black-box tests.
struct ChannelSecretFixture : ::testing::Test {
  ScratchDir dir;
  ProtectedStore store{dir.path(), kFp};
  test::LogCapture log;
  std::string log_text() { return log.text(); }
};

TEST_F(ChannelSecretFixture, CreatedOnceThenReadBackSilently) {
  const Bytes first = load_or_create_channel_secret(store);
  ASSERT_EQ(first.size(), 32u);
  EXPECT_NE(log_text().find("INFO  channel.bin created\r\n"), std::string::npos);
  const std::string blob = test::slurp(dir.file(L"channel.bin"));

  const std::string before = log_text();
  EXPECT_EQ(load_or_create_channel_secret(store), first);
  EXPECT_EQ(log_text(), before);  // nothing logged
  EXPECT_EQ(test::slurp(dir.file(L"channel.bin")), blob);  // file untouched
  Bytes plain;
  ASSERT_TRUE(store.read(L"channel.bin", plain));
  EXPECT_EQ(plain, first);
}

TEST_F(ChannelSecretFixture, EmptyFileGivesThreeSlowAttemptsAndStays) {
  test::spit(dir.file(L"channel.bin"), "");
  const ULONGLONG t0 = GetTickCount64();
  EXPECT_TRUE(load_or_create_channel_secret(store).empty());
  const ULONGLONG elapsed = GetTickCount64() - t0;
  EXPECT_GE(elapsed, 700u);  // three waits of 50 + 200 ms
  const std::string log = log_text();
  EXPECT_EQ(test::count_of(log, "DPAPI unprotect failed for channel.bin"), 3u);
  EXPECT_NE(log.find("ERROR channel.bin unreadable\r\n"), std::string::npos);
  EXPECT_TRUE(test::file_exists(dir.file(L"channel.bin")));
  EXPECT_EQ(test::file_size(dir.file(L"channel.bin")), 0u);
}

TEST_F(ChannelSecretFixture, SecretsOfAnotherLengthAreUnreadable) {
  for (size_t size : {31u, 33u}) {
    ASSERT_TRUE(store.write(L"channel.bin", Bytes(size, 0x42)));
    EXPECT_TRUE(load_or_create_channel_secret(store).empty()) << size;
    Bytes plain;
    ASSERT_TRUE(store.read(L"channel.bin", plain));
    EXPECT_EQ(plain.size(), size);  // never overwritten
  }
  EXPECT_NE(log_text().find("ERROR channel.bin unreadable"), std::string::npos);
}

TEST_F(ChannelSecretFixture, StaleTemporaryFilesOfOursAreRemovedOthersKept) {
  const std::wstring own = L"channel.bin." + std::to_wstring(GetCurrentProcessId()) + L"-1.tmp";
  const std::wstring dead = L"channel.bin.4294967292-1.tmp";  // no such process
  const std::wstring kept[] = {own, L"channel.bin.tmp", L"channel.bin.x-1.tmp", L"channel.bin.4294967292.tmp",
                               L"other.4294967292-1.tmp"};
  test::spit(dir.file(dead), "half");
  for (const std::wstring& name : kept) test::spit(dir.file(name), "x");
  ASSERT_EQ(load_or_create_channel_secret(store).size(), 32u);
  EXPECT_FALSE(test::file_exists(dir.file(dead)));
  for (const std::wstring& name : kept) EXPECT_TRUE(test::file_exists(dir.file(name))) << to_utf8(name);
  // Only channel.bin and the files above: the writer left no temporary file of its own.
  WIN32_FIND_DATAW entry;
  UniqueFind find(FindFirstFileW(dir.file(L"*").c_str(), &entry));
  int files = 0;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++files;
  } while (FindNextFileW(find.get(), &entry));
  EXPECT_EQ(files, 1 + static_cast<int>(std::size(kept)));
}

TEST_F(ChannelSecretFixture, ProbeTellsTheThreeStatesQuietly) {
  EXPECT_EQ(probe_channel_file(store), ChannelFileState::missing);
  ASSERT_EQ(load_or_create_channel_secret(store).size(), 32u);
  EXPECT_EQ(probe_channel_file(store), ChannelFileState::opens);
  std::string other_fp = kFp;
  other_fp[63] = '1';
  EXPECT_EQ(probe_channel_file(ProtectedStore(dir.path(), other_fp)), ChannelFileState::does_not_open);
  ASSERT_TRUE(store.write(L"channel.bin", Bytes(31, 1)));
  EXPECT_EQ(probe_channel_file(store), ChannelFileState::does_not_open);
  test::spit(dir.file(L"channel.bin"), "");
  EXPECT_EQ(probe_channel_file(store), ChannelFileState::does_not_open);
  EXPECT_EQ(log_text().find("WARN"), std::string::npos);
}

TEST_F(ChannelSecretFixture, UncreatableFileFailsAtOnce) {
  const ProtectedStore nowhere(dir.file(L"no\\such\\dir"), kFp);
  EXPECT_TRUE(load_or_create_channel_secret(nowhere).empty());
  EXPECT_NE(log_text().find("ERROR channel.bin create failed: "), std::string::npos);
  EXPECT_EQ(log_text().find("unreadable"), std::string::npos);
}

}  // namespace
}  // namespace guardian
