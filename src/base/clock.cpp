// Portable: no Windows headers.
#include "base/clock.hpp"

#include <cstdio>
#include <ctime>

namespace guardian {

int64_t now_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

std::string iso8601_utc(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
#ifdef _WIN32
  if (gmtime_s(&parts, &t) != 0) parts = std::tm{};
#else
  if (!gmtime_r(&t, &parts)) parts = std::tm{};
#endif
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return buffer;
}

}  // namespace guardian
