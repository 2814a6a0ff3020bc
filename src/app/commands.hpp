#pragma once
// The functions behind the rows of the command table. Each returns the process exit code.
#include <string>

namespace guardian {

int console_main();            // "--console"
int run_service_dispatcher();  // no argument, or anything unrecognised
int install_service();         // "--install"
int uninstall_service();       // "--uninstall"
int fingerprint_command();     // "--fingerprint"
int pipe_command(const std::string& op, bool unpinned);  // "--ping", "--specs", "--peer"
int net_check();               // "--net-check"

}  // namespace guardian
