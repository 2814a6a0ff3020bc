// Signed documents made in the test with a fresh key, over the canonical payload.
#include <gtest/gtest.h>

#include "docs/base64.hpp"
#include "docs/canonical_json.hpp"
#include "docs/signed_document.hpp"
#include "test_signer.hpp"

namespace guardian {
namespace {

using test::base64_encode;

nlohmann::json parse(const std::string& text) { return nlohmann::json::parse(text, nullptr, false); }

class SignedDocument : public ::testing::Test {
 protected:
  static const test::TestSigner& signer() {
    static const test::TestSigner s;
    return s;
  }
  void SetUp() override {
    ASSERT_EQ(signer().public_key().size(), 32u);
    ASSERT_EQ(signer().sign("probe").size(), 64u);
  }
  nlohmann::json envelope_for(const nlohmann::json& payload) const {
    return {{"payload", payload}, {"signature", base64_encode(signer().sign(to_canonical_json(payload)))}};
  }
  bool verifies(const nlohmann::json& envelope) const {
    nlohmann::json out;
    return verify_signed_document(envelope, signer().public_key(), out);
  }
};

TEST_F(SignedDocument, PayloadTextFormDoesNotMatter) {
  const std::string text = R"({"name":"caf\u00e9","n":1,"list":[1,2,{"b":true,"a":null}]})";
  const nlohmann::json envelope = envelope_for(parse(text));
  nlohmann::json out = "untouched";
  ASSERT_TRUE(verify_signed_document(envelope, signer().public_key(), out));
  EXPECT_EQ(out, parse(text));

  const std::string sig = envelope["signature"];
  for (const std::string& variant : {
           std::string(R"({ "list" : [ 1 , 2 , { "a" : null , "b" : true } ] , "n" : 1.0 , "name" : "café" })"),
           std::string("{\n\"n\":1,\n\t\"list\":[1,2,{\"a\":null,\"b\":true}],\"name\":\"caf\\u00e9\"}"),
           std::string(R"({"name":"café","n":1.0,"list":[1.0,2,{"b":true,"a":null}]})")}) {
    EXPECT_TRUE(verifies({{"payload", parse(variant)}, {"signature", sig}})) << variant;
  }
}

TEST_F(SignedDocument, AnyChangeInsideThePayloadFails) {
  const nlohmann::json payload = parse(R"({"plan":"pro","seats":5,"features":["a","b"],"meta":{"x":1}})");
  const nlohmann::json envelope = envelope_for(payload);
  ASSERT_TRUE(verifies(envelope));
  auto changed = [&](auto edit) {
    nlohmann::json e = envelope;
    edit(e["payload"]);
    return verifies(e);
  };
  EXPECT_FALSE(changed([](nlohmann::json& p) { p["seats"] = 6; }));
  EXPECT_FALSE(changed([](nlohmann::json& p) { p["seats"] = 5.5; }));
  EXPECT_FALSE(changed([](nlohmann::json& p) { p["seats"] = "5"; }));
  EXPECT_FALSE(changed([](nlohmann::json& p) { p["plan"] = "Pro"; }));
  EXPECT_FALSE(changed([](nlohmann::json& p) { p["features"].push_back("c"); }));
  EXPECT_FALSE(changed([](nlohmann::json& p) { p["meta"]["y"] = nullptr; }));
  EXPECT_FALSE(changed([](nlohmann::json& p) { p.erase("meta"); }));
  EXPECT_FALSE(changed([](nlohmann::json& p) { p["extra"] = false; }));
}

TEST_F(SignedDocument, EnvelopeShape) {
  nlohmann::json envelope = envelope_for({{"a", 1}});
  envelope["issued"] = "2024-01-01T00:00:00Z";
  envelope["kid"] = 7;
  EXPECT_TRUE(verifies(envelope));

  const nlohmann::json sig = envelope["signature"];
  nlohmann::json out = 42;
  const Bytes& pk = signer().public_key();
  EXPECT_FALSE(verify_signed_document(nlohmann::json::array({envelope}), pk, out));
  EXPECT_FALSE(verify_signed_document({{"signature", sig}}, pk, out));
  EXPECT_FALSE(verify_signed_document({{"payload", {{"a", 1}}}}, pk, out));
  EXPECT_FALSE(verify_signed_document({{"payload", {{"a", 1}}}, {"signature", 12}}, pk, out));
  EXPECT_FALSE(verify_signed_document({{"payload", {{"a", 1}}}, {"signature", {{"b64", sig}}}}, pk, out));
  EXPECT_FALSE(verify_signed_document(envelope, Bytes(pk.begin(), pk.end() - 1), out));
  // A correctly signed payload nested past the limit for outside JSON is refused.
  nlohmann::json deep = 1;
  for (int i = 0; i < 64; ++i) deep = nlohmann::json::array({std::move(deep)});
  EXPECT_FALSE(verifies(envelope_for(deep)));
  EXPECT_TRUE(verifies(envelope_for(deep[0])));
  EXPECT_EQ(out, 42);  // untouched by every refusal
}

TEST_F(SignedDocument, NullAndStringPayloads) {
  EXPECT_EQ(to_canonical_json(nullptr), "null");
  const Bytes sig = signer().sign("null");
  nlohmann::json out = "before";
  ASSERT_TRUE(verify_signed_document({{"payload", nullptr}, {"signature", base64_encode(sig)}}, signer().public_key(), out));
  EXPECT_TRUE(out.is_null());
  // A string payload is signed with its quotes and escapes.
  EXPECT_TRUE(verifies({{"payload", "a\"b"}, {"signature", base64_encode(signer().sign(R"("a\"b")"))}}));
  EXPECT_FALSE(verifies({{"payload", "a\"b"}, {"signature", base64_encode(signer().sign("a\"b"))}}));
}

TEST_F(SignedDocument, Base64FormsVerifyAlike) {
  const nlohmann::json payload = {{"v", 1}};
  const std::string padded = base64_encode(signer().sign(to_canonical_json(payload)));
  ASSERT_EQ(padded.size(), 88u);
  ASSERT_EQ(padded.substr(86), "==");
  std::string url_safe = padded.substr(0, 86);
  for (char& c : url_safe) c = c == '+' ? '-' : c == '/' ? '_' : c;
  const Bytes& pk = signer().public_key();
  for (const std::string& form : {padded, padded.substr(0, 86), url_safe, padded.substr(0, 40) + "\r\n" +
                                  padded.substr(40, 30) + "\n " + padded.substr(70), "=" + padded + "=="})
    EXPECT_TRUE(verify_payload_signature(payload, form, pk)) << form;

  EXPECT_FALSE(verify_payload_signature(payload, padded.substr(0, 40) + "\t" + padded.substr(40), pk));
  EXPECT_FALSE(verify_payload_signature(payload, padded.substr(0, 40) + "." + padded.substr(40), pk));
  EXPECT_FALSE(verify_payload_signature(payload, padded.substr(0, 84), pk));  // 63 bytes
  EXPECT_FALSE(verify_payload_signature(payload, padded.substr(0, 86) + "AAAA", pk));  // 67 bytes
  EXPECT_FALSE(verify_payload_signature(payload, to_hex(signer().sign(to_canonical_json(payload))), pk));
}

TEST_F(SignedDocument, ScalarPlusOrderIsRefused) {
  const nlohmann::json payload = {{"v", 2}};
  Bytes sig = signer().sign(to_canonical_json(payload));
  ASSERT_TRUE(verify_payload_signature(payload, base64_encode(sig), signer().public_key()));
  // S + L satisfies the group equation just as S does; it must still be refused.
  static const uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                     0xa2, 0xde, 0xf9, 0xde, 0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    const unsigned sum = sig[32 + i] + kOrder[i] + carry;
    sig[32 + i] = static_cast<uint8_t>(sum);
    carry = sum >> 8;
  }
  ASSERT_EQ(carry, 0u);
  EXPECT_FALSE(verify_payload_signature(payload, base64_encode(sig), signer().public_key()));
}

TEST_F(SignedDocument, DocumentTextAsTheClientLibraryTakesIt) {
  const std::string text = R"( {"signature":")" + envelope_for(parse(R"({"b":1.0,"a":"x"})"))["signature"].get<std::string>() +
                           R"(", "payload": {"a":"x", "b":1}} )";
  std::string payload = "untouched";
  EXPECT_EQ(verify_document_text(text, signer().public_key(), payload), DocumentCheck::verified);
  EXPECT_EQ(payload, R"({"a":"x","b":1})");
  payload = "untouched";
  EXPECT_EQ(verify_document_text(text.substr(0, 20), signer().public_key(), payload), DocumentCheck::not_json);
  EXPECT_EQ(verify_document_text(R"({"payload":2,"signature":"x"})", signer().public_key(), payload),
            DocumentCheck::not_authentic);
  EXPECT_EQ(verify_document_text(std::string(70, '[') + std::string(70, ']'), signer().public_key(), payload),
            DocumentCheck::not_json);  // deeper than any receiver reads
  EXPECT_EQ(payload, "untouched");
}

TEST(Base64Lenient, BitsAndRefusals) {
  Bytes out = {9};
  EXPECT_TRUE(decode_base64_lenient("", out));
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(decode_base64_lenient("TWFu", out));
  EXPECT_EQ(out, bytes_of("Man"));
  EXPECT_TRUE(decode_base64_lenient("TWE", out));  // two leftover bits dropped
  EXPECT_EQ(out, bytes_of("Ma"));
  EXPECT_TRUE(decode_base64_lenient("TQ", out));
  EXPECT_EQ(out, bytes_of("M"));
  EXPECT_TRUE(decode_base64_lenient("T", out));  // six bits: no byte
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(decode_base64_lenient("+/-_", out));
  EXPECT_EQ(out, (Bytes{0xfb, 0xff, 0xbf}));
  out = {7};
  EXPECT_FALSE(decode_base64_lenient("TWFu\t", out));
  EXPECT_FALSE(decode_base64_lenient("TW\xc3\xa9", out));
  EXPECT_FALSE(decode_base64_lenient(std::string_view("TW\0u", 4), out));
  EXPECT_EQ(out, Bytes{7});
}

TEST(BackendPublicKey, DecodedAndCheckedOnce) {
  const Ed25519PublicKey& a = backend_public_key();
  EXPECT_EQ(a.bytes().size(), 32u);
  EXPECT_TRUE(a.usable());
  EXPECT_EQ(&a, &backend_public_key());
}

}  // namespace
}  // namespace guardian
