// Ed25519 verification with a key given as bytes: 32 bytes of key, 64 of signature, then the
// message. Whatever the bytes, the key's checks and the library never abort, and a signature
// that verifies binds its message and itself: with one bit of it changed, or with a byte
// added to the message, it no longer verifies. Small-order and mixed-order keys (which let
// one signature fit many messages) must be refused for this to hold.
#include "docs/ed25519.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kKey = guardian::kEd25519KeySize;
  constexpr size_t kSignature = guardian::kEd25519SignatureSize;
  if (size < kKey + kSignature) return 0;
  const guardian::Bytes key_bytes(data, data + kKey);
  guardian::Bytes signature(data + kKey, data + kKey + kSignature);
  std::string message(reinterpret_cast<const char*>(data) + kKey + kSignature, size - kKey - kSignature);

  const guardian::Ed25519PublicKey key(key_bytes);
  if (key.usable()) FUZZ_CHECK(guardian::ed25519_point_encoding_acceptable(key_bytes.data()));
  if (!guardian::ed25519_verify(message, signature, key)) return 0;

  FUZZ_CHECK(guardian::ed25519_prechecks(signature, key_bytes));
  const size_t bit = size % 8;
  signature[size % kSignature] ^= static_cast<uint8_t>(1u << bit);
  FUZZ_CHECK(!guardian::ed25519_verify(message, signature, key));
  signature[size % kSignature] ^= static_cast<uint8_t>(1u << bit);
  // A key with a small-order part fits a signature to about one message in eight (or more)
  // of those it was not made for: 32 other messages leave such a key little chance to pass.
  message.push_back('\0');
  for (int i = 0; i < 32; ++i) {
    message.back() = static_cast<char>(i);
    FUZZ_CHECK(!guardian::ed25519_verify(message, signature, key));
  }
  return 0;
}
