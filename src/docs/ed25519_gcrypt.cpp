// Ed25519 verification through libgcrypt, behind the portable refusals of ed25519_rules.cpp.
// The library is reached through its table (store/gcrypt_api.hpp), which exists only once it
// has been loaded: every object below is made and released through a loaded table.
#include <memory>
#include <type_traits>

#include "docs/ed25519.hpp"
#include "store/gcrypt_api.hpp"

namespace guardian {
namespace {

template <class T, auto Release>
struct Releaser {
  void operator()(T v) const { (gcrypt()->*Release)(v); }
};
template <class T, auto Release>
using Owned = std::unique_ptr<std::remove_pointer_t<T>, Releaser<T, Release>>;

using Sexp = Owned<gcry_sexp_t, &GcryptApi::sexp_release>;
using Mpi = Owned<gcry_mpi_t, &GcryptApi::mpi_release>;
using Point = Owned<gcry_mpi_point_t, &GcryptApi::mpi_point_release>;
using Context = Owned<gcry_ctx_t, &GcryptApi::ctx_release>;

// The library's field multiplication for this curve (libgcrypt 1.10) aborts the process
// ("mulm_25519: different sizes") when a coordinate of the key's point fits in fewer 64-bit
// words than the field's four: x or y below 2^192. A generated key lands there with a chance
// of about 2^-62; a key given from outside may be made to, and is refused instead.
constexpr unsigned kFewestCoordinateBits = 193;

// [L]A is the neutral point: A lies in the prime-order subgroup. Keys that carry a torsion
// component are refused, which makes the cofactorless check the library performs agree with
// the cofactored one for every key that gets that far. So are keys the library cannot verify
// with (above).
bool usable_point(const GcryptApi& g, const uint8_t* key) {
  gcry_ctx_t raw_ctx = nullptr;
  if (g.mpi_ec_new(&raw_ctx, nullptr, "Ed25519")) return false;
  const Context ctx(raw_ctx);
  const Mpi q(g.mpi_set_opaque_copy(nullptr, key, 256));
  if (!q || g.mpi_ec_set_mpi("q", q.get(), ctx.get())) return false;
  const Point a(g.mpi_ec_get_point("q", ctx.get(), 1));
  const Mpi order(g.mpi_ec_get_mpi("n", ctx.get(), 1));
  if (!a || !order) return false;
  const Mpi ax(g.mpi_new(0));
  const Mpi ay(g.mpi_new(0));
  if (g.mpi_ec_get_affine(ax.get(), ay.get(), a.get(), ctx.get()) ||
      g.mpi_get_nbits(ax.get()) < kFewestCoordinateBits || g.mpi_get_nbits(ay.get()) < kFewestCoordinateBits)
    return false;
  const Point product(g.mpi_point_new(0));
  g.mpi_ec_mul(product.get(), order.get(), a.get(), ctx.get());
  const Mpi x(g.mpi_new(0));
  const Mpi y(g.mpi_new(0));
  if (g.mpi_ec_get_affine(x.get(), y.get(), product.get(), ctx.get())) return false;
  return g.mpi_cmp_ui(x.get(), 0) == 0 && g.mpi_cmp_ui(y.get(), 1) == 0;
}

}  // namespace

Ed25519PublicKey::Ed25519PublicKey(const Bytes& bytes) : bytes_(bytes) {
  const GcryptApi* g = gcrypt();
  usable_ = bytes_.size() == kEd25519KeySize && ed25519_point_encoding_acceptable(bytes_.data()) && g &&
            usable_point(*g, bytes_.data());
}

bool ed25519_verify(std::string_view message, const Bytes& signature, const Ed25519PublicKey& key) {
  const GcryptApi* g = gcrypt();
  if (!g || !key.usable() || !ed25519_signature_acceptable(signature)) return false;
  const Bytes& public_key = key.bytes();

  gcry_sexp_t raw = nullptr;
  if (g->sexp_build(&raw, nullptr, "(public-key (ecc (curve Ed25519)(flags eddsa)(q %b)))",
                      static_cast<int>(public_key.size()), public_key.data()))
    return false;
  const Sexp gkey(raw);
  raw = nullptr;
  if (g->sexp_build(&raw, nullptr, "(data (flags eddsa)(hash-alg sha512)(value %b))",
                      static_cast<int>(message.size()), message.data()))
    return false;
  const Sexp data(raw);
  raw = nullptr;
  if (g->sexp_build(&raw, nullptr, "(sig-val (eddsa (r %b)(s %b)))", 32, signature.data(), 32,
                      signature.data() + 32))
    return false;
  const Sexp sig(raw);
  return g->pk_verify(sig.get(), data.get(), gkey.get()) == 0;
}

const std::string& ed25519_library_error() {
  static const std::string none;
  return gcrypt() ? none : gcrypt_error();
}

}  // namespace guardian
