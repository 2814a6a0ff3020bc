#pragma once
// SHA-256, HMAC-SHA256 and random bytes: CNG in the product (crypto_win.cpp), libgcrypt in the
// native build (crypto_posix.cpp). Failures give empty results.
#include <string>
#include <string_view>

#include "store/hex.hpp"

namespace guardian {

// 32 bytes, or empty on any failure.
Bytes sha256(const uint8_t* data, size_t size);
inline Bytes sha256(const Bytes& bytes) { return sha256(bytes.data(), bytes.size()); }
inline Bytes sha256(std::string_view text) {
  return sha256(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// 64 lowercase hex characters, or "" on any failure.
std::string hmac_sha256_hex(const Bytes& key, std::string_view message);

// n bytes from the system's preferred generator; false when the generator failed.
bool random_bytes(uint8_t* out, size_t n);

// 2n lowercase hex characters of fresh random bytes. When the generator fails the result
// is empty rather than a predictable all-zero text.
inline std::string random_hex(size_t n) {
  Bytes buffer(n, 0);
  if (!random_bytes(buffer.data(), buffer.size())) return {};
  return to_hex(buffer);
}

}  // namespace guardian
