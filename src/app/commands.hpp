#pragma once
// The functions behind the rows of the command table that this folder implements. Each
// returns the process exit code. "--net-check" is declared by net/http_client.hpp.
#include <string>

namespace guardian {

int console_main();            // "--console"
int run_service_dispatcher();  // no argument, or anything unrecognised
int install_service();         // "--install"
int uninstall_service(bool upgrade);  // "--uninstall", "--uninstall --upgrade"
int fingerprint_command(const char* to_pipe = nullptr);  // "--fingerprint [--to-pipe NAME]"
int pipe_command(const std::string& op, bool unpinned);  // "--ping", "--specs", "--peer"
int diagnose_command(bool json);  // "--diagnose"

}  // namespace guardian
