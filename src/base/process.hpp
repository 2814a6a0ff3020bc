#pragma once
// The few facts about the running process that portable code needs.
#include <cstdint>

namespace guardian {

uint32_t current_process_id();

}  // namespace guardian
