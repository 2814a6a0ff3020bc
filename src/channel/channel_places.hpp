#pragma once
// Where the channel's two ends meet by default, for the agent and the client library alike: the
// agent's program, its pipe (channel/pipe_client.hpp) and its storage folder, which holds
// "channel.bin" (channel/auth.hpp).
#include <string>
#include <string_view>

namespace guardian {

// The agent's executable, which the clients also run for the device identity.
inline constexpr wchar_t kAgentProgramName[] = L"ostrival_guardian.exe";

// <common application data>\Ostrival\guardian ("C:\ProgramData" when the system cannot name it).
std::wstring default_storage_dir();

// The folder the service uses: the one the registry names (StorageFolder, see
// base/system_registration.hpp) while it cannot use its default one, else the default. The
// agent itself always starts from the default; its clients read channel.bin here.
std::wstring storage_dir_in_use();

// The form of the only folder the service uses instead of its default one:
// "<base>\\Ostrival-<suffix>\\guardian" in the common application-data folder (base), the
// suffix 8 random lowercase hexadecimal digits (a fixed name could be made and held beforehand
// like the default one). is_storage_fallback_dir: whether dir has that form; a recorded folder
// is used only then.
std::wstring storage_fallback_dir(std::wstring_view base, std::string_view suffix);
bool is_storage_fallback_dir(std::wstring_view base, std::wstring_view dir);

}  // namespace guardian
