#pragma once
// Pure Ed25519 verification (no context, no pre-hashing) with the strict refusals this
// agent applies before any curve arithmetic runs.
#include <cstdint>
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

// Every check that needs no curve arithmetic: sizes, S below L, A and R acceptable.
bool ed25519_prechecks(const Bytes& signature, const Bytes& public_key);

// --- verification (ed25519_gcrypt.cpp) ---

// The prechecks, then a refusal of keys outside the prime-order subgroup, then the group
// equation. False on any failure, never an exception or an abort.
bool ed25519_verify(std::string_view message, const Bytes& signature, const Bytes& public_key);

}  // namespace guardian
