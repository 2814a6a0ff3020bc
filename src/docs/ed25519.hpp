#pragma once
// Pure Ed25519 verification (no context, no pre-hashing) with the strict refusals this
// agent applies before any curve arithmetic runs, and its public keys decoded once.
#include <cstdint>
#include <string>
#include <string_view>

#include "store/hex.hpp"

namespace guardian {

inline constexpr size_t kEd25519KeySize = 32;
inline constexpr size_t kEd25519SignatureSize = 64;

// --- portable rules (ed25519_rules.cpp) ---

// True when the 32-byte little-endian scalar is below the group order L.
bool ed25519_scalar_below_order(const uint8_t* s);

// True when a 32-byte point encoding may be used: its y is below p, it does not set the
// sign bit on a point whose x is zero, and it is none of the eight encodings of the points
// of small order.
bool ed25519_point_encoding_acceptable(const uint8_t* point);

// The checks of a signature that need no curve arithmetic: 64 bytes, S below L, R acceptable.
bool ed25519_signature_acceptable(const Bytes& signature);

// Every check that needs no curve arithmetic: the signature's, the key's size and encoding.
bool ed25519_prechecks(const Bytes& signature, const Bytes& public_key);

// --- verification (ed25519_gcrypt.cpp) ---

// A public key decoded and checked once: 32 bytes, an acceptable encoding, and a point of the
// prime-order subgroup ([L]A is the neutral point) whose coordinates the library can
// multiply without aborting (none below 2^192). That last check costs a scalar
// multiplication, about a third of a verification, so a key used again and again (the
// backend's) is best decoded once and kept. A key given as bytes converts implicitly, and is
// then checked for that one call.
class Ed25519PublicKey {
 public:
  Ed25519PublicKey() = default;
  Ed25519PublicKey(const Bytes& bytes);  // NOLINT(google-explicit-constructor): see above

  const Bytes& bytes() const { return bytes_; }
  // False when any check failed: every verification with the key then fails.
  bool usable() const { return usable_; }

 private:
  Bytes bytes_;
  bool usable_ = false;
};

// The signature's prechecks, then the group equation, with a usable key. False on any
// failure, never an exception or an abort.
bool ed25519_verify(std::string_view message, const Bytes& signature, const Ed25519PublicKey& key);

// Empty when the verification library could be loaded; otherwise why not (the failed load
// with the Windows error text): every key is then unusable and every verification fails.
const std::string& ed25519_library_error();

}  // namespace guardian
