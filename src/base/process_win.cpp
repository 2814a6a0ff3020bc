#include <windows.h>

#include "base/process.hpp"

namespace guardian {

uint32_t current_process_id() { return GetCurrentProcessId(); }

}  // namespace guardian
