// The one start of libgcrypt per process, over the table either build fills.
#include "store/gcrypt_api.hpp"

namespace guardian {
namespace {

struct Loaded {
  GcryptApi api;
  std::string error;
  bool ready = false;
};

bool start(const GcryptApi& api, std::string& error) {
  if (!api.check_version(GCRYPT_VERSION)) {
    error = std::string("libgcrypt is older than ") + GCRYPT_VERSION;
    return false;
  }
  api.control(GCRYCTL_DISABLE_SECMEM, 0);
  api.control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  return true;
}

const Loaded& loaded() {
  static const Loaded once = [] {
    Loaded l;
    l.ready = load_gcrypt_library(l.api, l.error) && start(l.api, l.error);
    return l;
  }();
  return once;
}

}  // namespace

const GcryptApi* gcrypt() { return loaded().ready ? &loaded().api : nullptr; }
const std::string& gcrypt_error() { return loaded().error; }

}  // namespace guardian
