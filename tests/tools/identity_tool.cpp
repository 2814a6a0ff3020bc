// Test tool: one identity pass with the log echoed to standard error; prints the fingerprint.
#include <cstdio>

#include "device/identity.hpp"
#include "base/log.hpp"

int main() {
  guardian::configure_log(L"", true);
  const guardian::DeviceIdentity identity = guardian::collect_device_identity();
  std::printf("%s\n", identity.fingerprint.c_str());
  return identity.fingerprint.size() == 64 ? 0 : 2;
}
