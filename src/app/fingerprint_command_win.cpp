// "--fingerprint": the device identity computed locally, printed as JSON.
#include <cstdio>

#include "app/commands.hpp"
#include "device/identity.hpp"
#include "base/json_text.hpp"

namespace guardian {

int fingerprint_command() {
  const DeviceIdentity identity = collect_device_identity();
  const std::string text = pretty_json(identity_document(identity));
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
  return identity.fingerprint.size() == 64 ? 0 : 2;
}

}  // namespace guardian
