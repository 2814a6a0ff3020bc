#pragma once
// One request over a named pipe, one reply back.
#include <string>

#include <nlohmann/json.hpp>

namespace guardian {

inline constexpr wchar_t kGuardianPipe[] = L"\\\\.\\pipe\\Ostrival.Guardian";
inline constexpr wchar_t kSentinelPipe[] = L"\\\\.\\pipe\\Ostrival.Sentinel";

// Connects (waiting while every instance is busy, until timeout_ms has passed), checks that
// the server's process was there when the pipe was opened and that its executable lies in
// trusted_dir (skipped when it is empty), sends the request as one frame and reads one frame
// back. Each frame has timeout_ms in all: the request's write, and the reply's length and
// payload together, however the server trickles them.
// On failure error is one of "no_server", "untrusted_server", "io", "bad_json".
// cancel_event (optional) ends a pending write or read at once, as "io", and the wait for a
// busy pipe, as "no_server".
bool pipe_request(const std::wstring& pipe_name, const std::wstring& trusted_dir, const nlohmann::json& request,
                  nlohmann::json& reply, std::string& error, unsigned long timeout_ms, void* cancel_event = nullptr);

}  // namespace guardian
