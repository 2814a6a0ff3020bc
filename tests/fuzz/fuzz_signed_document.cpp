// Signed documents. Any text, parsed, is checked as an envelope against the built-in backend
// key, and as text the way the client library takes it: a document verifies only with its
// payload handed out, and a refused one leaves the output alone. Any parsed value is also the payload of a document signed with a test key,
// its signature written in one of the Base64 forms the decoder accepts; sent as text and
// parsed again, it verifies and yields the same payload, and with one bit of the signature
// changed it does not.
// libFuzzer dictionary: json.dict
#include "docs/canonical_json.hpp"
#include "docs/signed_document.hpp"
#include "fuzz_support.hpp"
#include "test_signer.hpp"

namespace {

using guardian::DocumentCheck;
using nlohmann::json;

const guardian::test::TestSigner& signer() {
  static const guardian::test::TestSigner s;
  return s;
}

const guardian::Ed25519PublicKey& signer_key() {
  static const guardian::Ed25519PublicKey key(signer().public_key());
  return key;
}

// The accepted forms of one signature: padded, unpadded, URL-safe, wrapped.
std::string base64_form(const guardian::Bytes& signature, size_t form) {
  std::string text = guardian::test::base64_encode(signature);
  switch (form % 4) {
    case 1: text.erase(text.find('=')); break;
    case 2:
      for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
      break;
    case 3: text.insert(44, "\r\n"); break;
    default: break;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = guardian::fuzz::text_of(data, size);
  std::string payload_text = "untouched";
  const DocumentCheck check = guardian::verify_document_text(text, guardian::backend_public_key(), payload_text);
  const json value = guardian::parse_json(text.begin(), text.end());
  FUZZ_CHECK((check == DocumentCheck::not_json) == value.is_discarded());
  if (value.is_discarded()) {
    FUZZ_CHECK(payload_text == "untouched");
    return 0;
  }

  const json untouched = {{"untouched", true}};
  json out = untouched;
  if (guardian::verify_signed_document(value, guardian::backend_public_key(), out)) {
    FUZZ_CHECK(out == value["payload"]);
    FUZZ_CHECK(check == DocumentCheck::verified && json::parse(payload_text) == out);
  } else {
    FUZZ_CHECK(out == untouched);
    FUZZ_CHECK(check == DocumentCheck::not_authentic && payload_text == "untouched");
  }

  // The envelope adds one level around the payload.
  if (!guardian::json_depth_within(value, guardian::kMaxJsonDepth - 1)) return 0;
  const guardian::Bytes signature = signer().sign(guardian::to_canonical_json(value));
  FUZZ_CHECK(signature.size() == guardian::kEd25519SignatureSize);
  json envelope = {{"payload", value}, {"signature", base64_form(signature, size)}};
  const std::string wire = guardian::compact_json(envelope);
  const json received = guardian::parse_json(wire.begin(), wire.end());
  FUZZ_CHECK(!received.is_discarded());
  out = untouched;
  FUZZ_CHECK(guardian::verify_signed_document(received, signer_key(), out));
  FUZZ_CHECK(out == value);
  payload_text.clear();
  FUZZ_CHECK(guardian::verify_document_text(wire, signer_key(), payload_text) == DocumentCheck::verified);
  FUZZ_CHECK(json::parse(payload_text) == value);

  guardian::Bytes changed = signature;
  changed[size % changed.size()] ^= static_cast<uint8_t>(1u << (size % 8));
  envelope["signature"] = base64_form(changed, size);
  out = untouched;
  FUZZ_CHECK(!guardian::verify_signed_document(envelope, signer_key(), out));
  FUZZ_CHECK(out == untouched);
  return 0;
}
