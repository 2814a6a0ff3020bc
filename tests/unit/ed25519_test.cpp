// Known-answer vectors through the Ed25519 step, and the refusals made before the library
// is called (some of those inputs would make the library abort the process).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "docs/ed25519.hpp"

namespace guardian {
namespace {

nlohmann::json load(const char* name) {
  std::ifstream in(std::string(GUARDIAN_TESTDATA) + "/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json doc = nlohmann::json::parse(text.str(), nullptr, false);
  EXPECT_FALSE(doc.is_discarded()) << name;
  return doc;
}

Bytes hex(const std::string& text) {
  Bytes out;
  EXPECT_TRUE(from_hex(text, out)) << text;
  return out;
}

std::string message_of(const std::string& hex_text) {
  const Bytes m = hex(hex_text);
  return std::string(m.begin(), m.end());
}

TEST(Ed25519Vectors, Rfc8032) {
  const nlohmann::json doc = load("rfc8032_ed25519.json");
  ASSERT_EQ(doc["vectors"].size(), 5u);
  for (const auto& v : doc["vectors"]) {
    const std::string msg = message_of(v["msg"]);
    Bytes sig = hex(v["sig"]);
    const Bytes pk = hex(v["pk"]);
    EXPECT_TRUE(ed25519_verify(msg, sig, pk)) << v["name"];
    sig[10] ^= 0x01;
    EXPECT_FALSE(ed25519_verify(msg, sig, pk)) << v["name"];
  }
}

TEST(Ed25519Vectors, Wycheproof) {
  const nlohmann::json doc = load("wycheproof_ed25519_test.json");
  int cases = 0;
  for (const auto& group : doc["testGroups"]) {
    const Bytes pk = hex(group["publicKey"]["pk"]);
    for (const auto& t : group["tests"]) {
      ++cases;
      Bytes sig;
      if (!from_hex(t["sig"].get<std::string>(), sig)) sig.clear();  // odd-length signatures
      const bool expected = t["result"] == "valid";
      EXPECT_EQ(ed25519_verify(message_of(t["msg"]), sig, pk), expected)
          << "tcId " << t["tcId"] << " " << t["comment"];
    }
  }
  EXPECT_EQ(cases, 150);
}

// Small-order keys, S >= L, mixed-order keys and non-canonical encodings, with the result a
// strict verifier gives. Cases marked "abort" would end this process if they reached the library.
// Each runs twice: with the key as bytes (checked on the call) and with the key decoded once
// beforehand, as the backend's is; a key refused once stays refused.
TEST(Ed25519Vectors, StrictEdgeCases) {
  const nlohmann::json doc = load("ed25519_edge_cases.json");
  ASSERT_EQ(doc["cases"].size(), 210u);
  for (const auto& c : doc["cases"]) {
    const bool expected = c["strict_expected"] == "accept";
    const Ed25519PublicKey decoded(hex(c["pk"]));
    EXPECT_EQ(ed25519_verify(message_of(c["msg"]), hex(c["sig"]), hex(c["pk"])), expected)
        << "id " << c["id"] << " " << c["label"];
    EXPECT_EQ(ed25519_verify(message_of(c["msg"]), hex(c["sig"]), decoded), expected)
        << "id " << c["id"] << " " << c["label"];
    if (!decoded.usable()) {
      EXPECT_FALSE(expected) << "id " << c["id"];
    }
  }
}

TEST(Ed25519Rules, ScalarBoundaryAtGroupOrder) {
  Bytes l = hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  EXPECT_FALSE(ed25519_scalar_below_order(l.data()));
  l[0] = 0xec;  // L - 1
  EXPECT_TRUE(ed25519_scalar_below_order(l.data()));
  l[0] = 0xed;
  l[31] = 0x0f;  // far below, though the low bytes are larger than L's
  l[16] = 0xff;
  EXPECT_TRUE(ed25519_scalar_below_order(l.data()));
  const Bytes top(32, 0xff);
  EXPECT_FALSE(ed25519_scalar_below_order(top.data()));
  const Bytes zero(32, 0);
  EXPECT_TRUE(ed25519_scalar_below_order(zero.data()));
}

TEST(Ed25519Rules, PointEncodings) {
  auto acceptable = [](const std::string& h) { return ed25519_point_encoding_acceptable(hex(h).data()); };
  // A valid key, and the same y with the other sign.
  EXPECT_TRUE(acceptable("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"));
  EXPECT_TRUE(acceptable("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707519a"));
  // y = p - 2 is below p (whether it is on the curve is the library's business).
  EXPECT_TRUE(acceptable("ebffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"));
  // y = p, p + 1, 2^255 - 1, with and without the sign bit.
  EXPECT_FALSE(acceptable("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"));
  EXPECT_FALSE(acceptable("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"));
  EXPECT_FALSE(acceptable("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"));
  EXPECT_FALSE(acceptable("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"));
  // x = 0 with the sign bit set: y = 1 and y = p - 1.
  EXPECT_FALSE(acceptable("0100000000000000000000000000000000000000000000000000000000000080"));
  EXPECT_FALSE(acceptable("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"));
  // All eight small-order encodings.
  // Kept in a variable: a temporary in the range expression would die before the loop runs.
  const nlohmann::json edge_cases = load("ed25519_edge_cases.json");
  for (const auto& [encoding, order] : edge_cases["torsion_points"].items())
    EXPECT_FALSE(acceptable(encoding)) << encoding << " order " << order;
}

// Keys of the prime-order subgroup with a coordinate below 2^192 abort the library's
// verification; they are refused, and keys just above the bound still verify (without abort).
// So is a key of full order whose [L]A is the other point with x = 0, (0, -1).
TEST(Ed25519Rules, KeysWithASmallCoordinateAreRefused) {
  const Bytes sig(64, 1);
  for (const char* key : {"1a00000000000000000000000000000000000000000000000000000000000000",   // y = 26
                          "66b61bd5414a4eda13b6dd9de54201f5c77038dd69fc49dfe882fddd277cc4f5",   // x = 67
                          "0100000000000000000000000000000000000000000400000000000000000080",   // found by fuzzing
                          "57501fe0ca9a7fd1ccc15150424212578fe0feb13da5d2ac0000000000000000",   // y of 192 bits
                          // RFC 8032's test key 1 plus (0, -1): (-x, -y)
                          "16a567fe7d4ef5482ab4012c369bf8c5f11e8d0c2559dcda50fde59708f8aee5"})
    EXPECT_FALSE(Ed25519PublicKey(hex(key)).usable()) << key;
  for (const char* key : {"0100000000000000000000000000000000000000000000000200000000000000",   // y > 2^193
                          "0200000000000000000000000000000000000000000000000001000000000000",
                          "bdc0a2262a7c3e15f09a1c2dbd7dbb267686613b898c94a80100000000000000"}) {  // y of 193 bits
    EXPECT_TRUE(Ed25519PublicKey(hex(key)).usable()) << key;
    EXPECT_FALSE(ed25519_verify("m", sig, hex(key))) << key;
  }
}

TEST(Ed25519Rules, SizesAreExact) {
  const Bytes pk = hex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
  const Bytes sig = hex(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe2"
      "4655141438e7a100b");
  EXPECT_TRUE(ed25519_prechecks(sig, pk));
  EXPECT_TRUE(ed25519_verify("", sig, pk));
  Bytes longer = sig;
  longer.push_back(0);
  EXPECT_FALSE(ed25519_verify("", longer, pk));
  EXPECT_FALSE(ed25519_verify("", Bytes(sig.begin(), sig.end() - 1), pk));
  EXPECT_FALSE(ed25519_verify("", sig, Bytes(pk.begin(), pk.end() - 1)));
  EXPECT_FALSE(ed25519_verify("", sig, Bytes{}));
}

}  // namespace
}  // namespace guardian
