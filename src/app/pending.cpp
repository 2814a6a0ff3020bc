// Commands whose implementation has not landed yet: they say so instead of pretending.
#include <cstdio>

#include "app/commands.hpp"

namespace guardian {
namespace {
int not_built(const char* command) {
  std::fprintf(stderr, "%s: not available in this build\n", command);
  return 1;
}
}  // namespace

int install_service() { return not_built("--install"); }
int uninstall_service() { return not_built("--uninstall"); }

}  // namespace guardian
