#include "app/cli.hpp"

int main(int argc, char** argv) {
  guardian::use_binary_stdio();
  return guardian::run_command_line(argc, argv);
}
