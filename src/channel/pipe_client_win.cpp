#include <windows.h>

#include <algorithm>

#include "channel/frame.hpp"
#include "channel/pipe_client.hpp"
#include "channel/pipe_io.hpp"
#include "base/json_text.hpp"
#include "base/object_owner.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"

namespace guardian {
namespace {

void tell(std::string* detail, std::string text) {
  if (detail) *detail = std::move(text);
}

// The server's process, judged against the time the pipe was opened. When its executable
// cannot be determined (but the process exists), the server is trusted only when the pipe
// object is owned by LocalSystem or the Administrators group. A process created after the
// pipe was opened is not the server (its id was reused): untrusted, with no second chance by
// owner.
bool server_trusted(HANDLE pipe, const std::wstring& trusted_dir, uint64_t opened_at, std::string* detail) {
  ULONG pid = 0;
  if (GetNamedPipeServerProcessId(pipe, &pid)) {
    const PeerCheck server = check_peer_process(pid, opened_at, trusted_dir);
    switch (server.verdict) {
      case PeerVerdict::trusted:
        return true;
      case PeerVerdict::outside:
        // The trusted folder may be named in another form than the one the server's image
        // path has (a DLL loaded through a short name, a "\\?\" path, a junction).
        if (is_in_directory_final(server.image, trusted_dir)) return true;
        tell(detail, "the pipe's server, process " + std::to_string(pid) + " (" + to_utf8(server.image) +
                         "), does not run from " + to_utf8(trusted_dir));
        return false;
      case PeerVerdict::reused:
        tell(detail, "the pipe's server, process " + std::to_string(pid) + ", was created after the pipe was opened");
        return false;
      case PeerVerdict::unidentified:
        break;
    }
    // A server whose process no longer exists is not the agent, whoever owns the pipe: its
    // instance was made by a process that handed it on and ended (every instance of a name
    // carries the first one's owner).
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process && GetLastError() == ERROR_INVALID_PARAMETER) {
      tell(detail, "the pipe's server, process " + std::to_string(pid) + ", no longer exists");
      return false;
    }
  }
  if (kernel_object_owner(pipe) == ObjectOwner::system_or_admins) return true;
  tell(detail, "the pipe's server could not be identified, and the pipe is not owned by LocalSystem or the "
               "Administrators");
  return false;
}

// A wait for a free instance cannot be cancelled: with a cancel event it is cut into slices
// this long, between which the event is looked at.
constexpr ULONGLONG kCancellableWaitSliceMs = 50;

// Opens the pipe; while every instance is busy, waits for a free one until the deadline.
// Between the waits the cancel event (when given) is looked at, and ends the wait. On failure
// error is the open's Windows error.
UniqueFile open_pipe(const std::wstring& pipe_name, ULONGLONG deadline, HANDLE cancel_event, DWORD& error) {
  const ULONGLONG slice = cancel_event ? kCancellableWaitSliceMs : 1000;
  for (;;) {
    UniqueFile pipe(CreateFileW(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | kPipeClientFlags, nullptr));
    if (pipe) return pipe;
    error = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (error != ERROR_PIPE_BUSY || now >= deadline) return pipe;
    if (cancel_event && WaitForSingleObject(cancel_event, 0) == WAIT_OBJECT_0) return pipe;
    // A wait that ends without a free instance is not the end: the server may be at its
    // connection limit, and an instance comes back when a connection ends.
    if (!WaitNamedPipeW(pipe_name.c_str(), static_cast<DWORD>(std::min<ULONGLONG>(slice, deadline - now)))) {
      const DWORD wait_error = GetLastError();
      if (wait_error != ERROR_SEM_TIMEOUT) {
        error = wait_error;
        return pipe;
      }
    }
  }
}

// What is left of a frame's time: its own time-out, cut short by the call's deadline.
DWORD frame_time(unsigned long timeout_ms, uint64_t deadline) {
  if (deadline == 0) return timeout_ms;
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(timeout_ms, deadline - now));
}

bool signalled(void* event) { return event && WaitForSingleObject(static_cast<HANDLE>(event), 0) == WAIT_OBJECT_0; }

// Why a write or read of a frame failed: its error, or the time it was given.
std::string frame_failure(const char* what, DWORD error, ULONGLONG started, DWORD allowed, void* cancel_event) {
  if (signalled(cancel_event)) return std::string(what) + ": cancelled";
  if (GetTickCount64() - started >= allowed) return std::string(what) + ": not done within " + std::to_string(allowed) + " ms";
  return std::string(what) + ": " + win_error_text(error);
}

}  // namespace

std::wstring final_folder_form(const std::wstring& folder, unsigned long& error) {
  // No access is asked for: the name is all that is read, and a folder that this process may
  // not list still has one. A bare drive is its root, never its current directory.
  const UniqueFile handle(CreateFileW(folder_to_open(folder).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) {
    error = GetLastError();
    return {};
  }
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(handle.get(), path.data(), static_cast<DWORD>(path.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) {
      error = GetLastError();
      return {};
    }
    if (n < path.size()) {
      path.resize(n);
      return plain_path_form(path);
    }
    path.resize(n + 1);  // n is the size needed, with the terminator
  }
}

bool is_in_directory_final(std::wstring_view image_path, std::wstring_view directory) {
  // The image path is taken as Windows reports it, only its "\\?\" dropped, and never resolved:
  // a name resolved now may no longer be the file that runs. A folder renamed, and replaced by
  // a link to the trusted folder while a program started from it still runs, would make that
  // program look as if it ran from the trusted folder. Only the trusted folder is resolved.
  const std::wstring image = plain_path_form(image_path);
  if (is_in_directory(image, directory)) return true;
  if (image.empty() || directory.empty()) return false;
  unsigned long error = 0;
  const std::wstring final_dir = final_folder_form(std::wstring(directory), error);
  return !final_dir.empty() && is_in_directory(image, final_dir);
}

bool pipe_request(const std::wstring& pipe_name, const std::wstring& trusted_dir, const nlohmann::json& request,
                  nlohmann::json& reply, std::string& error, unsigned long timeout_ms, void* cancel_event) {
  PipeCallLimits limits;
  limits.timeout_ms = timeout_ms;
  limits.cancel_event = cancel_event;
  return pipe_request(pipe_name, trusted_dir, request, reply, error, limits);
}

bool pipe_request(const std::wstring& pipe_name, const std::wstring& trusted_dir, const nlohmann::json& request,
                  nlohmann::json& reply, std::string& error, const PipeCallLimits& limits) {
  const HANDLE cancel_event = static_cast<HANDLE>(limits.cancel_event);
  ULONGLONG open_deadline = GetTickCount64() + limits.timeout_ms;
  if (limits.deadline != 0) open_deadline = std::min<ULONGLONG>(open_deadline, limits.deadline);
  DWORD open_error = 0;
  UniqueFile pipe = open_pipe(pipe_name, open_deadline, cancel_event, open_error);
  if (!pipe) {
    // A pipe that refuses this process (its access list, or the integrity level or the
    // application container of the process) is not one that is missing.
    error = open_error == ERROR_ACCESS_DENIED ? "access_denied" : "no_server";
    tell(limits.detail, "CreateFile " + to_utf8(pipe_name) + ": " + win_error_text(open_error));
    return false;
  }
  const uint64_t opened_at = precise_time_now();

  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);

  if (!trusted_dir.empty() && !server_trusted(pipe.get(), trusted_dir, opened_at, limits.detail)) {
    error = "untrusted_server";
    return false;
  }

  const std::string text = compact_json(request);
  std::string payload;
  ULONGLONG started = GetTickCount64();
  DWORD allowed = frame_time(limits.timeout_ms, limits.deadline);
  if (!write_frame(pipe.get(), text, allowed, cancel_event)) {
    const DWORD write_error = GetLastError();
    error = "io";
    tell(limits.detail, text.size() > kMaxFramePayload
                            ? "the request is larger than a frame"
                            : frame_failure("writing the request", write_error, started, allowed, cancel_event));
    return false;
  }
  started = GetTickCount64();
  allowed = frame_time(limits.timeout_ms, limits.deadline);
  if (!read_frame(pipe.get(), payload, allowed, cancel_event)) {
    const DWORD read_error = GetLastError();
    error = "io";
    tell(limits.detail, frame_failure("reading the reply", read_error, started, allowed, cancel_event));
    return false;
  }
  pipe.reset();
  reply = parse_json(payload.begin(), payload.end());
  if (reply.is_discarded()) reply = nullptr;
  if (reply.is_object()) return true;
  error = "bad_json";
  tell(limits.detail, "the reply is not a JSON object");
  return false;
}

}  // namespace guardian
