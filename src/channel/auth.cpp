// Envelopes and MACs; the hashing itself comes from the CNG primitives.
#include "channel/auth.hpp"

#include "docs/canonical_json.hpp"
#include "store/crypto.hpp"

namespace guardian {
namespace {
// Any fixed 19-byte ASCII label; every program that derives the channel key uses this one.
constexpr std::string_view kChannelKeyLabel = "ostrival-channel-v1";
static_assert(kChannelKeyLabel.size() == 19);
}  // namespace

Bytes derive_channel_key(const Bytes& secret, std::string_view fingerprint) {
  Bytes material;
  material.reserve(kChannelKeyLabel.size() + secret.size() + fingerprint.size());
  material.insert(material.end(), kChannelKeyLabel.begin(), kChannelKeyLabel.end());
  material.insert(material.end(), secret.begin(), secret.end());
  material.insert(material.end(), fingerprint.begin(), fingerprint.end());
  Bytes key = sha256(material);
  std::fill(material.begin(), material.end(), 0);
  return key;
}

std::string request_mac(const Bytes& key, std::string_view op, std::string_view nonce) {
  std::string message;
  message.reserve(op.size() + 1 + nonce.size());
  message.append(op);
  message += '|';
  message.append(nonce);
  return hmac_sha256_hex(key, message);
}

std::string body_mac(const Bytes& key, const nlohmann::json& body) {
  return hmac_sha256_hex(key, to_canonical_json(body));
}

bool mac_equal(std::string_view received, std::string_view expected) {
  if (received.size() != expected.size()) return false;
  if (received.empty()) return true;
  auto fold = [](unsigned char c) -> unsigned char { return (c >= 'A' && c <= 'F') ? c + ('a' - 'A') : c; };
  unsigned char acc = 0;
  for (size_t i = 0; i < received.size(); ++i)
    acc |= fold(static_cast<unsigned char>(received[i])) ^ fold(static_cast<unsigned char>(expected[i]));
  return acc == 0;
}

bool request_mac_valid(const Bytes& key, std::string_view op, std::string_view nonce, std::string_view received) {
  const std::string expected = request_mac(key, op, nonce);
  if (expected.empty()) return false;
  return mac_equal(received, expected);
}

nlohmann::json make_reply(const Bytes& key, bool ok, const std::string& nonce, nlohmann::json body) {
  if (!body.is_object()) body = nlohmann::json::object();
  body["nonce"] = nonce;
  std::string mac = body_mac(key, body);
  nlohmann::json reply = nlohmann::json::object();
  reply["ok"] = ok;
  reply["nonce"] = nonce;
  reply["mac"] = std::move(mac);
  reply["body"] = std::move(body);
  return reply;
}

bool verify_reply(const Bytes& key, const nlohmann::json& reply, std::string_view expected_nonce) {
  if (!reply.is_object() || !reply.contains("body") || !reply.contains("mac")) return false;
  const nlohmann::json& body = reply["body"];
  const nlohmann::json& mac = reply["mac"];
  if (!body.is_object() || !mac.is_string()) return false;
  const auto nonce = body.find("nonce");
  if (nonce == body.end() || !nonce->is_string() || nonce->get_ref<const std::string&>() != expected_nonce)
    return false;
  const std::string expected = body_mac(key, body);
  if (expected.empty()) return false;
  return mac_equal(mac.get_ref<const std::string&>(), expected);
}

nlohmann::json rejection_reply(std::string_view code) {
  return nlohmann::json{{"ok", false}, {"body", {{"error", code}}}};
}

std::string member_text(const nlohmann::json& object, const char* name) {
  if (!object.is_object()) return {};
  const auto it = object.find(name);
  if (it == object.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

nlohmann::json make_request(const Bytes& key, const std::string& op, const std::string& nonce) {
  return nlohmann::json{{"op", op}, {"nonce", nonce}, {"mac", request_mac(key, op, nonce)}};
}

}  // namespace guardian
