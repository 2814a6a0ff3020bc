// Signed-document verification speed: the full check against libgcrypt's bare verification
// (the baseline), with a key decoded once and with a key given as bytes, and the share of
// canonicalisation in it.
#include <gcrypt.h>

#include <cstdio>

#include "bench_harness.hpp"
#include "docs/canonical_json.hpp"
#include "docs/ed25519.hpp"
#include "docs/signed_document.hpp"
#include "test_signer.hpp"

namespace {

gcry_sexp_t build(const char* format, const guardian::Bytes& a, const guardian::Bytes& b = {}) {
  gcry_sexp_t s = nullptr;
  if (b.empty())
    gcry_sexp_build(&s, nullptr, format, static_cast<int>(a.size()), a.data());
  else
    gcry_sexp_build(&s, nullptr, format, static_cast<int>(a.size()), a.data(), static_cast<int>(b.size()), b.data());
  return s;
}

}  // namespace

int main() {
  const guardian::test::TestSigner signer;

  // A licence-like document of about 400 bytes.
  const nlohmann::json payload = nlohmann::json::parse(R"({
    "device": "3f9a0c1e5b7d4a2f8e6c1b3d5f7a9c0e2b4d6f8a1c3e5b7d9f0a2c4e6b8d0f1a",
    "plan": "professional", "seats": 5, "issued": "2024-05-01T12:00:00Z", "expires": 1767225600,
    "features": ["sync", "backup", "priority-support", "offline"], "limits": {"storage_gb": 512.5, "devices": 3},
    "customer": {"name": "Zoë Example", "country": "DE"}})");
  const std::string message = guardian::to_canonical_json(payload);

  const guardian::Bytes& pk = signer.public_key();
  const guardian::Bytes signature = signer.sign(message);
  if (signature.size() != 64) {
    std::fprintf(stderr, "setup failed: no signature\n");
    return 1;
  }
  // The baseline: the library's own verification of the same signature, expressions built once.
  const guardian::Bytes msg_bytes(message.begin(), message.end());
  gcry_sexp_t data = build("(data (flags eddsa)(hash-alg sha512)(value %b))", msg_bytes);
  gcry_sexp_t key = build("(public-key (ecc (curve Ed25519)(flags eddsa)(q %b)))", pk);
  gcry_sexp_t sig_val = build("(sig-val (eddsa (r %b)(s %b)))", guardian::Bytes(signature.begin(), signature.begin() + 32),
                              guardian::Bytes(signature.begin() + 32, signature.end()));

  const nlohmann::json envelope = {{"payload", payload}, {"signature", guardian::test::base64_encode(signature)}};
  nlohmann::json out;
  if (!guardian::verify_signed_document(envelope, pk, out) || gcry_pk_verify(sig_val, data, key) != 0) {
    std::fprintf(stderr, "setup failed: the signature does not verify\n");
    return 1;
  }

  // The backend's key is decoded and checked once and kept; a caller's key given as bytes is
  // checked on every call.
  const guardian::Ed25519PublicKey decoded(pk);
  const int n = 200;
  const auto bare_call = [&] { bench::keep(gcry_pk_verify(sig_val, data, key)); };
  const auto full_call = [&] {
    nlohmann::json p;
    bench::keep(guardian::verify_signed_document(envelope, decoded, p));
  };
  const double bare = bench::time_per_call(bare_call, n);
  const double ed = bench::time_per_call([&] { bench::keep(guardian::ed25519_verify(message, signature, decoded)); }, n);
  const double full = bench::time_per_call(full_call, n);
  const double caller = bench::time_per_call([&] {
    nlohmann::json p;
    bench::keep(guardian::verify_signed_document(envelope, pk, p));
  }, n);
  const double canon = bench::time_per_call([&] { bench::keep(guardian::to_canonical_json(payload)); }, 20000);

  std::printf("payload: %zu canonical bytes\n", message.size());
  bench::report_ratio("ed25519_verify vs bare gcry_pk_verify", ed, bare);
  bench::report_ratio("verify_signed_document vs bare", full, bare);
  bench::report_ratio("same, key given as bytes, vs bare", caller, bare);
  bench::report_ratio("to_canonical_json vs verify_signed_document", canon, full);
  std::printf("verify_signed_document / bare, median of paired runs: %.3f\n",
              bench::median_ratio(full_call, bare_call, n / 2));
  std::printf("verifications per second: document %.0f, ed25519_verify %.0f, bare library %.0f\n", 1 / full, 1 / ed,
              1 / bare);
  gcry_sexp_release(data);
  gcry_sexp_release(key);
  gcry_sexp_release(sig_val);
  return 0;
}
