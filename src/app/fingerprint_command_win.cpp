// "--fingerprint": the device identity computed locally, printed as JSON. With "--to-pipe NAME"
// (the identity pass of the client library and of the agent, which run this program for it)
// the document goes into that pipe instead, which the caller made and waits on.
#include <windows.h>

#include <cstdio>

#include "app/commands.hpp"
#include "base/json_text.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"
#include "device/identity.hpp"

namespace guardian {
namespace {

bool write_to_pipe(const char* name, const std::string& text) {
  const std::wstring pipe_name = to_utf16(name);
  if (!identity_pipe_name_acceptable(pipe_name)) {
    std::fprintf(stderr, "--to-pipe: not a pipe this command writes to: %s\n", name);
    return false;
  }
  // Identification only: whoever serves the name learns who wrote, and cannot act as them.
  // The pipe has one instance: while another client holds it (until the caller disconnects a
  // client that is not this process), wait for it, as long as the pass may last.
  const ULONGLONG deadline = GetTickCount64() + kIdentityPassLimitMs;
  UniqueFile pipe;
  for (;;) {
    pipe.reset(CreateFileW(pipe_name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe) break;
    const DWORD error = GetLastError();
    if (error != ERROR_PIPE_BUSY || GetTickCount64() >= deadline) {
      std::fprintf(stderr, "CreateFile %s: %s\n", name, win_error_text(error).c_str());
      return false;
    }
    WaitNamedPipeW(pipe_name.c_str(), 1000);
  }
  DWORD wrote = 0;
  if (!WriteFile(pipe.get(), text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) || wrote != text.size()) {
    std::fprintf(stderr, "WriteFile %s: %s\n", name, win_error_text(GetLastError()).c_str());
    return false;
  }
  return true;
}

}  // namespace

int fingerprint_command(const char* to_pipe) {
  const DeviceIdentity identity = collect_device_identity();
  const std::string text = pretty_json(identity_document(identity));
  if (to_pipe) {
    if (!write_to_pipe(to_pipe, text)) return 2;
  } else {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }
  return identity.fingerprint.size() == 64 ? 0 : 2;
}

}  // namespace guardian
