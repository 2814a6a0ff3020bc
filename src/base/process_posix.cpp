// The process facts of the native build of the portable core.
#include <unistd.h>

#include "base/process.hpp"

namespace guardian {

uint32_t current_process_id() { return static_cast<uint32_t>(getpid()); }

}  // namespace guardian
