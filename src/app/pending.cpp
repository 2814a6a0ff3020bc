// Commands whose implementation has not landed yet: they say so instead of pretending.
#include <cstdio>

#include "app/commands.hpp"
#include "runtime/agent.hpp"

namespace guardian {
namespace {
int not_built(const char* command) {
  std::fprintf(stderr, "%s: not available in this build\n", command);
  return 1;
}
}  // namespace

int run_agent(bool) { return not_built("the agent body"); }

int install_service() { return not_built("--install"); }
int uninstall_service() { return not_built("--uninstall"); }
int pipe_command(const std::string& op, bool) { return not_built(("--" + op).c_str()); }

}  // namespace guardian
