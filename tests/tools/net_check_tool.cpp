// Test helper: the reachability check against a given origin and probe path.
// Usage: net_check_tool ORIGIN PROBE_PATH; exit code and output as "--net-check".
#include <cstdio>

#include "base/binary_stdio.hpp"
#include "net/http_client.hpp"

int main(int argc, char** argv) {
  guardian::use_binary_stdio();
  if (argc != 3) {
    std::fprintf(stderr, "usage: net_check_tool ORIGIN PROBE_PATH\n");
    return 64;
  }
  return guardian::net_check_with(argv[1], argv[2]);
}
