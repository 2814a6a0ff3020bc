#pragma once
// Wall-clock seconds since the Unix epoch and their UTC rendering.
#include <cstdint>
#include <string>

namespace guardian {

int64_t now_seconds();

// "%04d-%02d-%02dT%02d:%02d:%02dZ"
std::string iso8601_utc(int64_t seconds);

}  // namespace guardian
