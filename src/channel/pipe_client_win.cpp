#include <windows.h>

#include <algorithm>

#include "channel/pipe_client.hpp"
#include "channel/pipe_io.hpp"
#include "base/json_text.hpp"
#include "base/object_owner.hpp"
#include "base/unique.hpp"

namespace guardian {
namespace {

// The server's process, judged against the time the pipe was opened. When its executable
// cannot be determined (but the process exists), the server is trusted only when the pipe
// object is owned by LocalSystem or the Administrators group. A process created after the
// pipe was opened is not the server (its id was reused): untrusted, with no second chance by
// owner.
bool server_trusted(HANDLE pipe, const std::wstring& trusted_dir, uint64_t opened_at) {
  ULONG pid = 0;
  if (GetNamedPipeServerProcessId(pipe, &pid)) {
    const PeerCheck server = check_peer_process(pid, opened_at, trusted_dir);
    if (server.verdict != PeerVerdict::unidentified) return server.verdict == PeerVerdict::trusted;
    // A server whose process no longer exists is not the agent, whoever owns the pipe: its
    // instance was made by a process that handed it on and ended (every instance of a name
    // carries the first one's owner).
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process && GetLastError() == ERROR_INVALID_PARAMETER) return false;
  }
  return kernel_object_owner(pipe) == ObjectOwner::system_or_admins;
}

// A wait for a free instance cannot be cancelled: with a cancel event it is cut into slices
// this long, between which the event is looked at.
constexpr ULONGLONG kCancellableWaitSliceMs = 50;

// Opens the pipe; while every instance is busy, waits for a free one until the deadline.
// Between the waits the cancel event (when given) is looked at, and ends the wait.
UniqueFile open_pipe(const std::wstring& pipe_name, ULONGLONG deadline, HANDLE cancel_event) {
  const ULONGLONG slice = cancel_event ? kCancellableWaitSliceMs : 1000;
  for (;;) {
    UniqueFile pipe(CreateFileW(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | kPipeClientFlags, nullptr));
    if (pipe) return pipe;
    const DWORD open_error = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (open_error != ERROR_PIPE_BUSY || now >= deadline) return pipe;
    if (cancel_event && WaitForSingleObject(cancel_event, 0) == WAIT_OBJECT_0) return pipe;
    // A wait that ends without a free instance is not the end: the server may be at its
    // connection limit, and an instance comes back when a connection ends.
    if (!WaitNamedPipeW(pipe_name.c_str(), static_cast<DWORD>(std::min<ULONGLONG>(slice, deadline - now))) &&
        GetLastError() != ERROR_SEM_TIMEOUT)
      return pipe;
  }
}

}  // namespace

bool pipe_request(const std::wstring& pipe_name, const std::wstring& trusted_dir, const nlohmann::json& request,
                  nlohmann::json& reply, std::string& error, unsigned long timeout_ms, void* cancel_event) {
  UniqueFile pipe = open_pipe(pipe_name, GetTickCount64() + timeout_ms, cancel_event);
  if (!pipe) {
    error = "no_server";
    return false;
  }
  const uint64_t opened_at = precise_time_now();

  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);

  if (!trusted_dir.empty() && !server_trusted(pipe.get(), trusted_dir, opened_at)) {
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
