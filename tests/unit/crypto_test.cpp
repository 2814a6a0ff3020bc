#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "store/crypto.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

Bytes hex(std::string_view text) {
  Bytes out;
  EXPECT_TRUE(from_hex(text, out)) << text;
  return out;
}

TEST(Hex, EncodeAndDecode) {
  EXPECT_EQ(to_hex(Bytes{0x00, 0xAB, 0xFF}), "00abff");
  EXPECT_EQ(to_hex(Bytes{}), "");
  Bytes out{9, 9};
  ASSERT_TRUE(from_hex("0A0b", out));
  EXPECT_EQ(out, (Bytes{0x0A, 0x0B}));
  ASSERT_TRUE(from_hex("FfaF", out));  // the ends of both letter ranges (a key written in upper case)
  EXPECT_EQ(out, (Bytes{0xFF, 0xAF}));
  ASSERT_TRUE(from_hex("", out));
  EXPECT_TRUE(out.empty());

  Bytes untouched{1, 2, 3};
  EXPECT_FALSE(from_hex("abc", untouched));  // odd length leaves the output alone
  EXPECT_EQ(untouched, (Bytes{1, 2, 3}));
  EXPECT_FALSE(from_hex("zz", out));
  EXPECT_FALSE(from_hex("0g", out));
  EXPECT_FALSE(from_hex("g0", out));
  EXPECT_FALSE(from_hex("0G", out));
}

TEST(Sha256, KnownAnswers) {
  EXPECT_EQ(to_hex(sha256(std::string_view())), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(to_hex(sha256(std::string_view("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string million(1000000, 'a');
  EXPECT_EQ(to_hex(sha256(std::string_view(million))),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(HmacSha256, Rfc4231Vectors) {
  const nlohmann::json doc = test::testdata_json("rfc4231_hmac_sha256.json");
  int checked = 0;
  for (const auto& c : doc.at("cases")) {
    const Bytes key = hex(c.at("key").get<std::string>());
    const Bytes data = hex(c.at("data").get<std::string>());
    const std::string expected = c.at("mac").get<std::string>();
    const std::string mac = hmac_sha256_hex(key, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    ASSERT_EQ(mac.size(), 64u);
    // Case 5 of the RFC lists only the first 128 bits.
    EXPECT_EQ(mac.substr(0, expected.size()), expected) << "case " << c.at("case");
    ++checked;
  }
  EXPECT_EQ(checked, 7);
}

TEST(HmacSha256, EmptyKeyAndEmptyMessage) {
  // Values from an independent HMAC-SHA256 implementation.
  EXPECT_EQ(hmac_sha256_hex({}, ""), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
  EXPECT_EQ(hmac_sha256_hex(bytes_of("key"), ""), "5d5d139563c95b5967b9bd9a8c9b233a9dedb45072794cd232dc1b74832607d0");
  EXPECT_EQ(hmac_sha256_hex(bytes_of("key"), "The quick brown fox jumps over the lazy dog"),
            "f7bc83f430538424b13298e6aa6fb143ef4d59a14946175997479dbc2d1a3cd8");
}

TEST(RandomHex, FreshLowercaseHex) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string r = random_hex(16);
    ASSERT_EQ(r.size(), 32u);
    EXPECT_EQ(r.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(r, std::string(32, '0'));
    seen.insert(r);
  }
  EXPECT_EQ(seen.size(), 100u);
  EXPECT_EQ(random_hex(0), "");
}

TEST(Crypto, SafeFromManyThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (to_hex(sha256(std::string_view("abc"))) !=
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")
          ++wrong;
        if (hmac_sha256_hex(bytes_of("key"), "").size() != 64) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace guardian
