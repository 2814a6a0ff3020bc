// Test tool: a companion that misbehaves in a chosen way, on the companion's pipe.
// Usage: fake_sentinel MODE   (OV_STORAGE_DIR names the storage directory)
//   other_nonce  answers with a body that carries another nonce
//   bad_mac      answers with a MAC under another key
//   not_ok       answers correctly but with "ok" false
//   silent       accepts and reads the request, never answers
//   deaf         accepts and never reads the request
// Runs until its standard input closes or it is killed.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "channel/auth.hpp"
#include "channel/pipe_client.hpp"
#include "channel/pipe_io.hpp"
#include "channel/pipe_server.hpp"
#include "device/identity.hpp"
#include "runtime/config.hpp"
#include "base/unique.hpp"
#include "store/protected_store.hpp"

using namespace guardian;

namespace {

// Holds every connection it accepts, reading or not as asked, and never answers.
void serve_mute(bool read_requests) {
  std::vector<UniqueFile> held;
  for (;;) {
    UniqueFile pipe(CreateNamedPipeW(kSentinelPipe, PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                     65540, 65540, 0, nullptr));
    if (!pipe) return;
    if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) continue;
    std::printf("accepted\n");
    std::fflush(stdout);
    if (read_requests) {
      char buffer[65540];
      DWORD got = 0;
      ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr);
      std::printf("read %lu\n", got);
      std::fflush(stdout);
    }
    held.push_back(std::move(pipe));
  }
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "silent" || mode == "deaf") {
    std::thread([mode] { serve_mute(mode == "silent"); }).detach();
  } else {
    const DeviceIdentity identity = collect_device_identity();
    Bytes key;
    if (!read_channel_key(ProtectedStore(resolve_storage_dir(true), identity.fingerprint), identity.fingerprint,
                          key)) {
      std::fprintf(stderr, "no channel key\n");
      return 2;
    }
    static PipeServer server(kSentinelPipe, module_dir(), [key, mode](const nlohmann::json& req, const std::wstring&) {
      const std::string nonce = member_text(req, "nonce");
      if (mode == "other_nonce") return make_reply(key, true, nonce + "x", nlohmann::json::object());
      if (mode == "bad_mac") return make_reply(Bytes(32, 0x5A), true, nonce, nlohmann::json::object());
      return make_reply(key, false, nonce, nlohmann::json::object());
    });
    if (!server.start()) return 3;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char c;
  while (std::fread(&c, 1, 1, stdin) == 1) {
  }
  return 0;
}
