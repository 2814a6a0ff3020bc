#include <windows.h>
#include <bcrypt.h>

#include <mutex>

#include "store/crypto.hpp"

namespace guardian {
namespace {

bool ok(NTSTATUS status) { return status >= 0; }

// The two process-wide algorithm providers, each opened once on first use. A failed open
// stays failed for the life of the process.
class Provider {
 public:
  explicit Provider(ULONG flags) : flags_(flags) {}
  ~Provider() {
    if (handle_) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  BCRYPT_ALG_HANDLE get() {
    std::call_once(once_, [this] {
      BCRYPT_ALG_HANDLE h = nullptr;
      if (ok(BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, flags_))) handle_ = h;
    });
    return handle_;
  }

 private:
  ULONG flags_;
  std::once_flag once_;
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

Provider& sha_provider() {
  static Provider p(0);
  return p;
}
Provider& hmac_provider() {
  static Provider p(BCRYPT_ALG_HANDLE_HMAC_FLAG);
  return p;
}

struct HashObject {
  BCRYPT_HASH_HANDLE h = nullptr;
  ~HashObject() {
    if (h) BCryptDestroyHash(h);
  }
};

// Creates a hash (keyed for HMAC), feeds the message and finishes into 32 bytes.
Bytes run_hash(BCRYPT_ALG_HANDLE alg, const uint8_t* key, size_t key_size, const uint8_t* data, size_t size) {
  if (!alg) return {};
  DWORD digest_len = 0;
  ULONG got = 0;
  if (!ok(BCryptGetProperty(alg, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&digest_len), sizeof digest_len, &got,
                            0)))
    return {};
  HashObject hash;
  if (!ok(BCryptCreateHash(alg, &hash.h, nullptr, 0, const_cast<PUCHAR>(key), static_cast<ULONG>(key_size), 0)))
    return {};
  if (size > 0 && !ok(BCryptHashData(hash.h, const_cast<PUCHAR>(data), static_cast<ULONG>(size), 0))) return {};
  Bytes out(digest_len);
  if (!ok(BCryptFinishHash(hash.h, out.data(), static_cast<ULONG>(out.size()), 0))) out.clear();
  return out;
}

}  // namespace

Bytes sha256(const uint8_t* data, size_t size) { return run_hash(sha_provider().get(), nullptr, 0, data, size); }

std::string hmac_sha256_hex(const Bytes& key, std::string_view message) {
  const Bytes mac = run_hash(hmac_provider().get(), key.data(), key.size(),
                             reinterpret_cast<const uint8_t*>(message.data()), message.size());
  if (mac.size() != 32) return {};
  return to_hex(mac);
}

bool random_bytes(uint8_t* out, size_t n) {
  return ok(BCryptGenRandom(nullptr, out, static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

}  // namespace guardian
