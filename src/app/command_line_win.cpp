#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/cli.hpp"
#include "app/commands.hpp"
#include "base/log_format.hpp"
#include "build_config.hpp"
#include "net/http_client.hpp"

namespace guardian {
namespace {

struct CommandRow {
  const char* name;
  int (*run)(const CommandFlags& flags);
  // For a command meant for tools: the only flags it takes (ended by a null), so that a
  // mistyped one is a usage error rather than a silent default. Null: extra arguments are
  // ignored.
  const char* const* flags = nullptr;
};

constexpr const char* kDiagnoseFlags[] = {"--json", nullptr};

int print_version(const CommandFlags&) {
  std::printf("%s\n", build::kVersion);
  std::fflush(stdout);
  return 0;
}

int print_help(const CommandFlags&) {
  const std::string text = help_text();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return 0;
}

// Tested in this order; the first exact, case-sensitive match runs.
constexpr CommandRow kCommands[] = {
    {"--console", [](const CommandFlags&) { return console_main(); }},
    {"--install", [](const CommandFlags&) { return install_service(); }},
    {"--uninstall", [](const CommandFlags& f) { return uninstall_service(f.upgrade); }},
    {"--fingerprint", [](const CommandFlags& f) { return fingerprint_command(f.to_pipe); }},
    {"--ping", [](const CommandFlags& f) { return pipe_command("ping", f.unpinned); }},
    {"--specs", [](const CommandFlags& f) { return pipe_command("specs", f.unpinned); }},
    {"--peer", [](const CommandFlags& f) { return pipe_command("peer", f.unpinned); }},
    {"--version", print_version},
    {"--net-check", [](const CommandFlags&) { return net_check(); }},
    {"--diagnose", [](const CommandFlags& f) { return diagnose_command(f.json); }, kDiagnoseFlags},
    {"--help", print_help},
    {"-h", print_help},
    {"/?", print_help},
};

}  // namespace

int run_command_line(int argc, const char* const* argv) {
  const CommandFlags flags{scan_flag(argc, argv, "--unpinned"), scan_flag(argc, argv, "--json"),
                           flag_value(argc, argv, "--to-pipe"), scan_flag(argc, argv, "--upgrade")};
  const char* command = argc > 1 && argv[1] ? argv[1] : "";
  for (const CommandRow& row : kCommands) {
    if (std::strcmp(command, row.name) != 0) continue;
    if (const char* unknown = row.flags ? first_unknown_flag(argc, argv, row.flags) : nullptr) {
      std::string usage =
          std::string(row.name) + ": unknown argument \"" + visible_text(unknown) + "\"; usage: ostrival_guardian.exe " +
          row.name;
      for (const char* const* flag = row.flags; *flag; ++flag) usage += std::string(" [") + *flag + "]";
      std::fprintf(stderr, "%s\n", usage.c_str());
      std::fflush(stderr);
      return kUsageExitCode;
    }
    return row.run(flags);
  }

  // Anything else, no argument included: the service dispatcher. From a console it fails
  // with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT and the help is shown instead.
  const int dispatched = run_service_dispatcher();
  if (dispatched == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return print_help(flags);
  return dispatched == 0 ? 0 : 1;
}

}  // namespace guardian
