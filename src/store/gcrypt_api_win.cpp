// The libgcrypt table of the Windows build, loaded when first needed and kept.
#include <windows.h>

#include "base/library.hpp"
#include "store/gcrypt_api.hpp"

namespace guardian {
namespace {

constexpr wchar_t kGcryptDll[] = L"libgcrypt-20.dll";

}  // namespace

// The DLL of the folder of the module that holds this code; libgpg-error-0.dll, which it
// imports, from the same folder.
bool load_gcrypt_library(GcryptApi& api, std::string& error) {
  const HMODULE dll = load_library_beside(&kGcryptDll, kGcryptDll, error);
  return dll && resolve(dll, "gcry_check_version", api.check_version, error) &&
         resolve(dll, "gcry_control", api.control, error) && resolve(dll, "gcry_sexp_build", api.sexp_build, error) &&
         resolve(dll, "gcry_sexp_release", api.sexp_release, error) &&
         resolve(dll, "gcry_pk_verify", api.pk_verify, error) && resolve(dll, "gcry_mpi_new", api.mpi_new, error) &&
         resolve(dll, "gcry_mpi_release", api.mpi_release, error) &&
         resolve(dll, "gcry_mpi_set_opaque_copy", api.mpi_set_opaque_copy, error) &&
         resolve(dll, "gcry_mpi_get_nbits", api.mpi_get_nbits, error) &&
         resolve(dll, "gcry_mpi_cmp_ui", api.mpi_cmp_ui, error) &&
         resolve(dll, "gcry_mpi_point_new", api.mpi_point_new, error) &&
         resolve(dll, "gcry_mpi_point_release", api.mpi_point_release, error) &&
         resolve(dll, "gcry_mpi_ec_new", api.mpi_ec_new, error) &&
         resolve(dll, "gcry_ctx_release", api.ctx_release, error) &&
         resolve(dll, "gcry_mpi_ec_set_mpi", api.mpi_ec_set_mpi, error) &&
         resolve(dll, "gcry_mpi_ec_get_point", api.mpi_ec_get_point, error) &&
         resolve(dll, "gcry_mpi_ec_get_mpi", api.mpi_ec_get_mpi, error) &&
         resolve(dll, "gcry_mpi_ec_get_affine", api.mpi_ec_get_affine, error) &&
         resolve(dll, "gcry_mpi_ec_mul", api.mpi_ec_mul, error);
}

}  // namespace guardian
