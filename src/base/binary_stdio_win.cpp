#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "base/binary_stdio.hpp"

namespace guardian {

void use_binary_stdio() {
  std::fflush(stdout);
  std::fflush(stderr);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace guardian
