// The libgcrypt table of the native build, where the library is linked.
#include "store/gcrypt_api.hpp"

namespace guardian {

bool load_gcrypt_library(GcryptApi& api, std::string&) {
  api = GcryptApi{gcry_check_version, gcry_control,         gcry_sexp_build,          gcry_sexp_release,
                  gcry_pk_verify,     gcry_mpi_new,         gcry_mpi_release,         gcry_mpi_set_opaque_copy,
                  gcry_mpi_get_nbits, gcry_mpi_cmp_ui,      gcry_mpi_point_new,       gcry_mpi_point_release,
                  gcry_mpi_ec_new,    gcry_ctx_release,     gcry_mpi_ec_set_mpi,      gcry_mpi_ec_get_point,
                  gcry_mpi_ec_get_mpi, gcry_mpi_ec_get_affine, gcry_mpi_ec_mul};
  return true;
}

}  // namespace guardian
