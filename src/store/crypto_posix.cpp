// SHA-256, HMAC-SHA256 and random bytes for the native build of the portable core, over
// libgcrypt. The product uses CNG (crypto_win.cpp); both give the same bytes for the same
// input, which the shared known-answer tests check on each side.
#include <memory>
#include <type_traits>

#include "store/crypto.hpp"
#include "store/gcrypt_api.hpp"

namespace guardian {
namespace {

struct MacCloser {
  void operator()(gcry_mac_hd_t h) const { gcry_mac_close(h); }
};
using MacHandle = std::unique_ptr<std::remove_pointer_t<gcry_mac_hd_t>, MacCloser>;

}  // namespace

Bytes sha256(const uint8_t* data, size_t size) {
  if (!gcrypt()) return {};
  Bytes out(32);
  gcry_md_hash_buffer(GCRY_MD_SHA256, out.data(), size ? data : out.data(), size);
  return out;
}

std::string hmac_sha256_hex(const Bytes& key, std::string_view message) {
  if (!gcrypt()) return {};
  gcry_mac_hd_t raw = nullptr;
  if (gcry_mac_open(&raw, GCRY_MAC_HMAC_SHA256, 0, nullptr)) return {};
  const MacHandle mac(raw);
  if (gcry_mac_setkey(mac.get(), key.data(), key.size())) return {};
  if (!message.empty() && gcry_mac_write(mac.get(), message.data(), message.size())) return {};
  Bytes out(32);
  size_t length = out.size();
  if (gcry_mac_read(mac.get(), out.data(), &length) || length != out.size()) return {};
  return to_hex(out);
}

bool random_bytes(uint8_t* out, size_t n) {
  if (!gcrypt()) return false;
  gcry_randomize(out, n, GCRY_STRONG_RANDOM);
  return true;
}

}  // namespace guardian
