#pragma once
// Documents the backend signs with its Ed25519 key: {"payload": any, "signature": Base64},
// the signature covering the canonical JSON form of the payload.
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "docs/ed25519.hpp"

namespace guardian {

// The built-in backend public key, decoded and checked once, on first use (a one-time
// initialisation); bytes() gives its 32 bytes. It is usable unless the built-in text were
// malformed, which the build refuses.
const Ed25519PublicKey& backend_public_key();

// True when envelope is an object with a "payload" and a string "signature" that verifies;
// payload_out then receives a copy of the payload. On false payload_out is left as it was.
// A key given as bytes is checked on this call; backend_public_key() was checked once.
bool verify_signed_document(const nlohmann::json& envelope, const Ed25519PublicKey& public_key,
                            nlohmann::json& payload_out);

// A signed document as text from outside (the client library's entry): parsed within the
// nesting limit, then verified. On verified, payload_text holds the payload's compact JSON
// text; otherwise it is left as it was.
enum class DocumentCheck { verified, not_json, not_authentic };
DocumentCheck verify_document_text(std::string_view text, const Ed25519PublicKey& public_key,
                                   std::string& payload_text);

// The signature check itself: Base64 text (lenient), 64 bytes, over to_canonical_json(payload).
bool verify_payload_signature(const nlohmann::json& payload, std::string_view signature_text,
                              const Ed25519PublicKey& public_key);

}  // namespace guardian
