// Test tool: a companion (or any pipe server) that misbehaves in a chosen way.
// Usage: fake_sentinel [--pipe NAME] MODE   (OV_STORAGE_DIR names the storage directory;
// the pipe is the companion's unless NAME is given)
//   other_nonce  answers with a body that carries another nonce
//   bad_mac      answers with a MAC under another key
//   not_ok       answers correctly but with "ok" false
//   silent       accepts and reads the request, never answers
//   deaf         accepts and never reads the request
//   trickle      reads the request, announces a 65,536-byte reply and sends it one byte a second
//   nested       reads the request, answers with a reply whose body nests 32,000 arrays deep
// Prints "accepted" for every connection (and "read N" after reading), runs until its
// standard input closes or it is killed.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "channel/auth.hpp"
#include "channel/frame.hpp"
#include "channel/pipe_client.hpp"
#include "channel/pipe_io.hpp"
#include "channel/pipe_server.hpp"
#include "device/identity.hpp"
#include "runtime/config.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "store/protected_store.hpp"

using namespace guardian;

namespace {

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

bool write_message(HANDLE pipe, const std::string& bytes) {
  DWORD wrote = 0;
  return WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr) && wrote == bytes.size();
}

// One connection, served as the mode says, on a thread of its own.
void serve_raw_connection(UniqueFile pipe, const std::string& mode) {
  if (mode != "deaf") {
    char buffer[65540];
    DWORD got = 0;
    ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr);
    say("read " + std::to_string(got));
  }
  if (mode == "trickle") {
    const uint32_t n = kMaxFramePayload;
    if (!write_message(pipe.get(), std::string(reinterpret_cast<const char*>(&n), 4))) return;
    while (write_message(pipe.get(), "[")) Sleep(1000);
    return;
  }
  if (mode == "nested") {
    const std::string deep = std::string(32000, '[') + std::string(32000, ']');
    write_message(pipe.get(), encode_frame(R"({"body":{"deep":)" + deep +
                                           R"(,"nonce":"x"},"mac":"00","nonce":"x","ok":true})"));
  }
  // Holds the connection until the client goes away.
  char c;
  DWORD got = 0;
  while (ReadFile(pipe.get(), &c, 1, &got, nullptr) || GetLastError() == ERROR_MORE_DATA) {
  }
}

UniqueFile raw_instance(const std::wstring& name) {
  return UniqueFile(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 65540, 65540, 0, nullptr));
}

// Serves from the given first instance on; the pipe exists before this is called.
void serve_raw(const std::wstring& name, const std::string& mode, UniqueFile pipe) {
  for (; pipe; pipe = raw_instance(name)) {
    if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) continue;
    say("accepted");
    std::thread(serve_raw_connection, std::move(pipe), mode).detach();
  }
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  std::wstring name = kSentinelPipe;
  int first = 1;
  if (argc > 2 && std::string(argv[1]) == "--pipe") {
    name = to_utf16(argv[2]);
    first = 3;
  }
  const std::string mode = argc > first ? argv[first] : "";
  if (mode == "silent" || mode == "deaf" || mode == "trickle" || mode == "nested") {
    UniqueFile first = raw_instance(name);
    if (!first) return 3;
    std::thread(serve_raw, name, mode, std::move(first)).detach();
  } else {
    const DeviceIdentity identity = collect_device_identity();
    Bytes key;
    if (!read_channel_key(ProtectedStore(resolve_client_storage_dir(), identity.fingerprint), identity.fingerprint,
                          key)) {
      std::fprintf(stderr, "no channel key\n");
      return 2;
    }
    static PipeServer server(name, module_dir(), [key, mode](const nlohmann::json& req, const std::wstring&) {
      const std::string nonce = member_text(req, "nonce");
      if (mode == "other_nonce") return make_reply(key, true, nonce + "x", nlohmann::json::object());
      if (mode == "bad_mac") return make_reply(Bytes(32, 0x5A), true, nonce, nlohmann::json::object());
      return make_reply(key, false, nonce, nlohmann::json::object());
    });
    if (!server.start()) return 3;
  }
  say("ready");
  char c;
  while (std::fread(&c, 1, 1, stdin) == 1) {
  }
  return 0;
}
