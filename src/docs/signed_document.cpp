// Portable: no Windows headers.
#include "docs/signed_document.hpp"

#include "base/json_text.hpp"
#include "build_config.hpp"
#include "docs/base64.hpp"
#include "docs/canonical_json.hpp"

namespace guardian {

const Ed25519PublicKey& backend_public_key() {
  static const Ed25519PublicKey key = [] {
    Bytes decoded;
    if (!from_hex(build::kBackendPublicKeyHex, decoded)) decoded.clear();
    return Ed25519PublicKey(decoded);
  }();
  return key;
}

bool verify_payload_signature(const nlohmann::json& payload, std::string_view signature_text,
                              const Ed25519PublicKey& public_key) {
  if (!json_depth_within(payload, kMaxJsonDepth - 1)) return false;  // the envelope is one more level
  Bytes signature;
  if (!decode_base64_lenient(signature_text, signature)) return false;
  if (signature.size() != kEd25519SignatureSize) return false;
  const std::string message = to_canonical_json(payload);
  if (public_key.bytes().size() != kEd25519KeySize) return false;
  return ed25519_verify(message, signature, public_key);
}

bool verify_signed_document(const nlohmann::json& envelope, const Ed25519PublicKey& public_key,
                            nlohmann::json& payload_out) {
  if (!envelope.is_object()) return false;
  const auto payload = envelope.find("payload");
  const auto signature = envelope.find("signature");
  if (payload == envelope.end() || signature == envelope.end()) return false;
  if (!signature->is_string()) return false;
  if (!verify_payload_signature(*payload, signature->get_ref<const std::string&>(), public_key)) return false;
  payload_out = *payload;
  return true;
}

DocumentCheck verify_document_text(std::string_view text, const Ed25519PublicKey& public_key,
                                   std::string& payload_text) {
  const nlohmann::json document = parse_json(text.begin(), text.end());
  if (document.is_discarded()) return DocumentCheck::not_json;
  nlohmann::json payload;
  if (!verify_signed_document(document, public_key, payload)) return DocumentCheck::not_authentic;
  payload_text = compact_json(payload);
  return DocumentCheck::verified;
}

}  // namespace guardian
