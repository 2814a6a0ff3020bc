#pragma once
// The command line: help text, argument scan and the commands' entry points.
#include <string>

namespace guardian {

inline constexpr char kServiceName[] = "OstrivalGuardian";
inline constexpr wchar_t kServiceNameW[] = L"OstrivalGuardian";

// The help text with the version filled in; every line ends in "\n".
std::string help_text();

// True when any argument from argv[2] on is exactly flag ("--unpinned", "--json").
bool scan_flag(int argc, const char* const* argv, const char* flag);

// The argument after the first flag from argv[2] on, or null ("--to-pipe NAME").
const char* flag_value(int argc, const char* const* argv, const char* flag);

// The first argument from argv[2] on that is none of known (a list ended by a null); null
// when every one is.
const char* first_unknown_flag(int argc, const char* const* argv, const char* const* known);

// The flags that follow a command, read for every command.
struct CommandFlags {
  bool unpinned = false;  // the pipe commands: the server is not pinned to this folder
  bool json = false;      // "--diagnose": one JSON document instead of lines
  const char* to_pipe = nullptr;  // "--fingerprint": the pipe to write the document into
  bool upgrade = false;           // "--uninstall": for an upgrade, which keeps the Event Log source
};

// The exit code of a command line that a command cannot run (an argument it does not take).
inline constexpr int kUsageExitCode = 2;

// Runs the command of argv[1] and returns the process exit code.
int run_command_line(int argc, const char* const* argv);

}  // namespace guardian
