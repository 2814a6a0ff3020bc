// "--fingerprint": the device identity computed locally, printed as JSON.
#include <cstdio>

#include "app/commands.hpp"
#include "device/identity.hpp"
#include "runtime/log.hpp"

namespace guardian {

int fingerprint_command() {
  // No storage directory is involved, so a WMI failure is reported on standard error only.
  configure_log(L"", true);
  const DeviceIdentity identity = collect_device_identity();
  // Replace rather than throw should any text from the system not be valid UTF-8.
  const std::string text =
      identity_document(identity).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
  return identity.fingerprint.size() == 64 ? 0 : 2;
}

}  // namespace guardian
