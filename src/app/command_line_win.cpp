#include <windows.h>

#include <cstdio>
#include <cstring>

#include "app/cli.hpp"
#include "app/commands.hpp"
#include "build_config.hpp"
#include "net/http_client.hpp"

namespace guardian {
namespace {

struct CommandRow {
  const char* name;
  int (*run)(bool unpinned);
};

int print_version(bool) {
  std::printf("%s\n", build::kVersion);
  std::fflush(stdout);
  return 0;
}

int print_help(bool) {
  const std::string text = help_text();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return 0;
}

// Tested in this order; the first exact, case-sensitive match runs.
constexpr CommandRow kCommands[] = {
    {"--console", [](bool) { return console_main(); }},
    {"--install", [](bool) { return install_service(); }},
    {"--uninstall", [](bool) { return uninstall_service(); }},
    {"--fingerprint", [](bool) { return fingerprint_command(); }},
    {"--ping", [](bool unpinned) { return pipe_command("ping", unpinned); }},
    {"--specs", [](bool unpinned) { return pipe_command("specs", unpinned); }},
    {"--peer", [](bool unpinned) { return pipe_command("peer", unpinned); }},
    {"--version", print_version},
    {"--net-check", [](bool) { return net_check(); }},
    {"--help", print_help},
    {"-h", print_help},
    {"/?", print_help},
};

}  // namespace

int run_command_line(int argc, const char* const* argv) {
  const bool unpinned = scan_unpinned(argc, argv);
  const char* command = argc > 1 && argv[1] ? argv[1] : "";
  for (const CommandRow& row : kCommands)
    if (std::strcmp(command, row.name) == 0) return row.run(unpinned);

  // Anything else, no argument included: the service dispatcher. From a console it fails
  // with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT and the help is shown instead.
  const int dispatched = run_service_dispatcher();
  if (dispatched == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return print_help(unpinned);
  return dispatched == 0 ? 0 : 1;
}

}  // namespace guardian
