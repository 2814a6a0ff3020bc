#pragma once
// The command line: help text, argument scan and the commands' entry points.
#include <string>

namespace guardian {

inline constexpr char kServiceName[] = "OstrivalGuardian";
inline constexpr wchar_t kServiceNameW[] = L"OstrivalGuardian";

// The help text with the version filled in; every line ends in "\n".
std::string help_text();

// True when any argument from argv[2] on is exactly "--unpinned".
bool scan_unpinned(int argc, const char* const* argv);

// Runs the command of argv[1] and returns the process exit code.
int run_command_line(int argc, const char* const* argv);

}  // namespace guardian
