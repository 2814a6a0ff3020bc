// Test tool: loads or creates the channel secret in a storage directory and prints it.
// Usage: channel_secret_tool <storage dir> <fingerprint> [start-at-tick [announce]]
// With start-at-tick, waits until GetTickCount64() reaches it, so that several processes
// can race for the first create. With announce, writes "creating" to standard error right
// before, so that a test can kill the process while it creates the secret.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channel/auth.hpp"
#include "base/log.hpp"
#include "base/text.hpp"
#include "store/protected_store.hpp"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: channel_secret_tool DIR FINGERPRINT [START_TICK [announce]]\n");
    return 64;
  }
  guardian::configure_log(L"", true);
  if (argc > 3) {
    const ULONGLONG start = std::strtoull(argv[3], nullptr, 10);
    while (GetTickCount64() < start) Sleep(0);
  }
  const guardian::ProtectedStore store(guardian::to_utf16(argv[1]), argv[2]);
  if (argc > 4 && std::strcmp(argv[4], "announce") == 0) {
    std::fputs("creating\n", stderr);
    std::fflush(stderr);
  }
  const guardian::Bytes secret = guardian::load_or_create_channel_secret(store);
  std::printf("%s\n", guardian::to_hex(secret).c_str());
  return secret.size() == 32 ? 0 : 1;
}
