#include <windows.h>
#include <aclapi.h>

#include "channel/pipe_client.hpp"
#include "channel/pipe_io.hpp"
#include "base/json_text.hpp"
#include "base/unique.hpp"

namespace guardian {
namespace {

// When the server's executable cannot be determined: trusted only when the pipe object is
// owned by LocalSystem or the Administrators group.
bool owned_by_system_or_admins(HANDLE pipe) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) !=
      ERROR_SUCCESS)
    return false;
  UniqueLocal sd_owner(sd);
  return owner && (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
}

bool server_trusted(HANDLE pipe, const std::wstring& trusted_dir) {
  ULONG pid = 0;
  std::wstring image;
  if (GetNamedPipeServerProcessId(pipe, &pid)) image = process_image_path(pid);
  if (!image.empty()) return is_in_directory(image, trusted_dir);
  return owned_by_system_or_admins(pipe);
}

}  // namespace

bool pipe_request(const std::wstring& pipe_name, const std::wstring& trusted_dir, const nlohmann::json& request,
                  nlohmann::json& reply, std::string& error, unsigned long timeout_ms, void* cancel_event) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  UniqueFile pipe;
  for (;;) {
    pipe.reset(CreateFileW(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr));
    if (pipe) break;
    const DWORD open_error = GetLastError();
    if (open_error == ERROR_PIPE_BUSY && GetTickCount64() < deadline && WaitNamedPipeW(pipe_name.c_str(), 1000))
      continue;
    error = "no_server";
    return false;
  }

  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);

  if (!trusted_dir.empty() && !server_trusted(pipe.get(), trusted_dir)) {
    error = "untrusted_server";
    return false;
  }

  const std::string text = compact_json(request);
  std::string payload;
  const bool exchanged = write_frame(pipe.get(), text, timeout_ms, cancel_event) &&
                         read_frame(pipe.get(), payload, timeout_ms, cancel_event);
  pipe.reset();
  if (!exchanged) {
    error = "io";
    return false;
  }
  reply = parse_json(payload.begin(), payload.end());
  if (reply.is_discarded()) reply = nullptr;
  if (reply.is_object()) return true;
  error = "bad_json";
  return false;
}

}  // namespace guardian
