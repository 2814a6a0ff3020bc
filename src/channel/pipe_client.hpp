#pragma once
// One request over a named pipe, one reply back.
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace guardian {

inline constexpr wchar_t kGuardianPipe[] = L"\\\\.\\pipe\\Ostrival.Guardian";
inline constexpr wchar_t kSentinelPipe[] = L"\\\\.\\pipe\\Ostrival.Sentinel";

// How one pipe_request may run.
struct PipeCallLimits {
  unsigned long timeout_ms = 30000;  // the wait for a free instance, and each frame
  void* cancel_event = nullptr;      // ends a pending write or read (as "io") or the wait for a busy pipe
  uint64_t deadline = 0;             // a GetTickCount64 time the whole call ends by; 0: none
  std::string* detail = nullptr;     // on failure: what failed, with the Windows error and the paths
};

// Connects (waiting while every instance is busy, until timeout_ms has passed), checks that
// the server's process was there when the pipe was opened and that its executable lies in
// trusted_dir (skipped when it is empty), sends the request as one frame and reads one frame
// back. Each frame has timeout_ms in all: the request's write, and the reply's length and
// payload together, however the server trickles them.
// On failure error is one of "no_server", "access_denied" (the pipe refused this process),
// "untrusted_server", "io", "bad_json".
bool pipe_request(const std::wstring& pipe_name, const std::wstring& trusted_dir, const nlohmann::json& request,
                  nlohmann::json& reply, std::string& error, const PipeCallLimits& limits);

// The same with a time-out and an optional cancel event only.
bool pipe_request(const std::wstring& pipe_name, const std::wstring& trusted_dir, const nlohmann::json& request,
                  nlohmann::json& reply, std::string& error, unsigned long timeout_ms, void* cancel_event = nullptr);

// The folder in its final form: the path GetFinalPathNameByHandleW gives for it (short names
// written long, links, junctions and substituted drives followed), without its "\\?\"; empty
// when the folder cannot be opened, with the Windows error in error. A bare drive ("C:") is
// its root.
std::wstring final_folder_form(const std::wstring& folder, unsigned long& error);

// Whether the image path, as Windows reports it (with its "\\?\" or without), lies in the
// directory as written or in the directory's final form. A trusted folder named through an
// 8.3 name, a "\\?\" path, a substituted drive or a junction then still holds what lies in
// it. The image's own folder is never resolved.
bool is_in_directory_final(std::wstring_view image_path, std::wstring_view directory);

}  // namespace guardian
