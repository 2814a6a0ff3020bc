#pragma once
// libgcrypt through a table of the functions this program calls. The Windows build loads the
// library when it is first needed (gcrypt_api_win.cpp): libgcrypt-20.dll from the folder of
// the module that holds this code, which may be a DLL of ours inside another program. The
// native build links it and fills the table directly (gcrypt_api_posix.cpp). Either way the
// library is started once per process, without secure memory (nothing handed to it needs
// locked pages); a failed load or start stays failed.
// Without the library's short macro names (mpi_new and the like), which would rewrite the
// table's members.
#ifndef GCRYPT_NO_MPI_MACROS
#define GCRYPT_NO_MPI_MACROS 1
#endif
#include <gcrypt.h>

#include <string>

namespace guardian {

struct GcryptApi {
  decltype(&::gcry_check_version) check_version = nullptr;
  decltype(&::gcry_control) control = nullptr;
  decltype(&::gcry_sexp_build) sexp_build = nullptr;
  decltype(&::gcry_sexp_release) sexp_release = nullptr;
  decltype(&::gcry_pk_verify) pk_verify = nullptr;
  decltype(&::gcry_mpi_new) mpi_new = nullptr;
  decltype(&::gcry_mpi_release) mpi_release = nullptr;
  decltype(&::gcry_mpi_set_opaque_copy) mpi_set_opaque_copy = nullptr;
  decltype(&::gcry_mpi_get_nbits) mpi_get_nbits = nullptr;
  decltype(&::gcry_mpi_cmp_ui) mpi_cmp_ui = nullptr;
  decltype(&::gcry_mpi_point_new) mpi_point_new = nullptr;
  decltype(&::gcry_mpi_point_release) mpi_point_release = nullptr;
  decltype(&::gcry_mpi_ec_new) mpi_ec_new = nullptr;
  decltype(&::gcry_ctx_release) ctx_release = nullptr;
  decltype(&::gcry_mpi_ec_set_mpi) mpi_ec_set_mpi = nullptr;
  decltype(&::gcry_mpi_ec_get_point) mpi_ec_get_point = nullptr;
  decltype(&::gcry_mpi_ec_get_mpi) mpi_ec_get_mpi = nullptr;
  decltype(&::gcry_mpi_ec_get_affine) mpi_ec_get_affine = nullptr;
  decltype(&::gcry_mpi_ec_mul) mpi_ec_mul = nullptr;
};

// The table, loaded and started on the first call (a one-time initialisation); null when
// that failed, and then gcrypt_error() says why.
const GcryptApi* gcrypt();
const std::string& gcrypt_error();

// Fills the table: one implementation per platform. False, with error, when it cannot.
bool load_gcrypt_library(GcryptApi& api, std::string& error);

}  // namespace guardian
