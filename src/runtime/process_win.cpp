#include <windows.h>

#include "runtime/process.hpp"

namespace guardian {

uint32_t current_process_id() { return GetCurrentProcessId(); }

}  // namespace guardian
