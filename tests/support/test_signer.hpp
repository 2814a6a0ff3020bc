#pragma once
// Test-only Ed25519 signing with a fresh libgcrypt key pair, and a plain Base64 encoder: what
// a backend would do to produce signed documents. Shared by the tests and the benchmark.
#include <gcrypt.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "store/hex.hpp"

namespace guardian::test {

class TestSigner {
 public:
  TestSigner() {
    gcry_check_version(nullptr);
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    gcry_sexp_t params = nullptr;
    gcry_sexp_build(&params, nullptr, "(genkey (ecc (curve Ed25519)(flags eddsa)))");
    if (gcry_pk_genkey(&pair_, params) != 0) pair_ = nullptr;
    gcry_sexp_release(params);
    public_key_ = token(pair_, "q");
  }
  ~TestSigner() { gcry_sexp_release(pair_); }
  TestSigner(const TestSigner&) = delete;
  TestSigner& operator=(const TestSigner&) = delete;

  // The 32-byte public key; empty when no key pair could be made.
  const Bytes& public_key() const { return public_key_; }

  // The 64-byte signature R || S of message; empty on failure.
  Bytes sign(std::string_view message) const {
    gcry_sexp_t data = nullptr;
    gcry_sexp_build(&data, nullptr, "(data (flags eddsa)(hash-alg sha512)(value %b))",
                    static_cast<int>(message.size()), message.data());
    gcry_sexp_t secret = gcry_sexp_find_token(pair_, "private-key", 0);
    gcry_sexp_t sig = nullptr;
    Bytes out;
    if (secret && gcry_pk_sign(&sig, data, secret) == 0) {
      out = token(sig, "r");
      const Bytes s = token(sig, "s");
      out.insert(out.end(), s.begin(), s.end());
    }
    gcry_sexp_release(sig);
    gcry_sexp_release(secret);
    gcry_sexp_release(data);
    return out;
  }

 private:
  static Bytes token(gcry_sexp_t list, const char* name) {
    gcry_sexp_t t = list ? gcry_sexp_find_token(list, name, 0) : nullptr;
    size_t n = 0;
    const char* bytes = t ? gcry_sexp_nth_data(t, 1, &n) : nullptr;
    Bytes out(bytes, bytes + (bytes ? n : 0));
    gcry_sexp_release(t);
    return out;
  }

  gcry_sexp_t pair_ = nullptr;
  Bytes public_key_;
};

// Standard Base64 with "=" padding.
inline std::string base64_encode(const Bytes& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = uint32_t(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= uint32_t(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= bytes[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
  }
  return out;
}

}  // namespace guardian::test
