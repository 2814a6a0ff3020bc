#pragma once
// libgcrypt, started once per process. No secure memory: nothing this program hands the
// library needs locked pages. A failed start stays failed.
#include <gcrypt.h>

namespace guardian {

inline bool gcrypt_ready() {
  static const bool ready = [] {
    if (!gcry_check_version(GCRYPT_VERSION)) return false;
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  return ready;
}

}  // namespace guardian
