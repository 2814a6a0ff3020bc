// The one start of libgcrypt per process, over the table either build fills.
#include "store/gcrypt_api.hpp"

#include "base/loaded_table.hpp"

namespace guardian {
namespace {

bool start(const GcryptApi& api, std::string& error) {
  if (!api.check_version(GCRYPT_VERSION)) {
    error = std::string("libgcrypt is older than ") + GCRYPT_VERSION;
    return false;
  }
  api.control(GCRYCTL_DISABLE_SECMEM, 0);
  api.control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  return true;
}

bool load_and_start(GcryptApi& api, std::string& error) {
  return load_gcrypt_library(api, error) && start(api, error);
}

const LoadedTable<GcryptApi>& loaded() { return load_once<GcryptApi, load_and_start>(); }

}  // namespace

const GcryptApi* gcrypt() { return loaded().ready ? &loaded().api : nullptr; }
const std::string& gcrypt_error() { return loaded().error; }

}  // namespace guardian
