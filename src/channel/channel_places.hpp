#pragma once
// Where the channel's two ends meet by default, for the agent and the client library alike: the
// agent's program, its pipe (channel/pipe_client.hpp) and its storage folder, which holds
// "channel.bin" (channel/auth.hpp).
#include <string>

namespace guardian {

// The agent's executable, which the clients also run for the device identity.
inline constexpr wchar_t kAgentProgramName[] = L"ostrival_guardian.exe";

// <common application data>\Ostrival\guardian ("C:\ProgramData" when the system cannot name it).
std::wstring default_storage_dir();

}  // namespace guardian
