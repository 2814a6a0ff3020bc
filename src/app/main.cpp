#include "app/cli.hpp"
#include "base/binary_stdio.hpp"

int main(int argc, char** argv) {
  guardian::use_binary_stdio();
  return guardian::run_command_line(argc, argv);
}
