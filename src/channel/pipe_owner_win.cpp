#include <windows.h>

#include "channel/pipe_io.hpp"
#include "channel/pipe_owner.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"

namespace guardian {
namespace {

constexpr int kBusyRetries = 3;
constexpr DWORD kBusyWaitMs = 1000;

}  // namespace

PipeServerInfo find_pipe_server(const std::wstring& pipe_name) {
  PipeServerInfo info;
  for (int attempt = 0;; ++attempt) {
    UniqueFile pipe(CreateFileW(pipe_name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, kPipeClientFlags, nullptr));
    if (pipe) {
      info.served = true;
      ULONG pid = 0;
      if (GetNamedPipeServerProcessId(pipe.get(), &pid)) {
        info.pid = pid;
        info.image = process_image_path(pid);
      }
      return info;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return info;
    info.served = true;  // the name exists: busy, refused, or otherwise not to be opened
    if (error != ERROR_PIPE_BUSY || attempt + 1 >= kBusyRetries) return info;
    WaitNamedPipeW(pipe_name.c_str(), kBusyWaitMs);
  }
}

std::string pipe_taken_by_another_process(const std::wstring& pipe_name) {
  const PipeServerInfo server = find_pipe_server(pipe_name);
  if (!server.served || server.pid == GetCurrentProcessId()) return {};
  std::string text = "pipe " + to_utf8(pipe_name) + " is already served by ";
  if (server.pid == 0) return text + "another process";
  text += "process " + std::to_string(server.pid);
  if (!server.image.empty()) text += " (" + to_utf8(server.image) + ")";
  return text;
}

}  // namespace guardian
